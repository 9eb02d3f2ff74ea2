#include "ToolOutput.h"

#include <gtest/gtest.h>

#include <string>

using namespace vsguidcache;

namespace {

TEST(ToolOutput, Age) {
    const struct {
        int64_t seconds;
        const char* text;
    } cases[] = {
        {-1, "future"},    {0, "0s"},     {59, "59s"},         {60, "1m"},   {61, "1m 1s"},
        {3599, "59m 59s"}, {3600, "1h"},  {3660, "1h 1m"},     {3601, "1h"}, {86400, "1d"},
        {90000, "1d 1h"},  {86459, "1d"}, {30 * 86400, "30d"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Age(c.seconds), c.text) << c.seconds;
    }
}

TEST(ToolOutput, Utf8IsStrict) {
    const struct {
        std::string bytes;
        size_t first;  // Utf8SequenceLength
        bool utf8;
    } cases[] = {
        {"a", 1, true},
        {"\xc3\xa9", 2, true},
        {"\xe2\x82\xac", 3, true},
        {"\xf0\x9f\x98\x80", 4, true},
        {"\xf4\x8f\xbf\xbf", 4, true},   // U+10FFFF
        {"\xf4\x90\x80\x80", 0, false},  // beyond U+10FFFF
        {"\xc0\xaf", 0, false},          // overlong
        {"\xe0\x80\xaf", 0, false},      // overlong
        {"\xed\xa0\x80", 0, false},      // a surrogate
        {"\x80", 0, false},              // a continuation first
        {"\xc3", 0, false},              // cut short
        {"\xc3(", 0, false},             // not continued
        {"\xe9t\xe9", 0, false},         // Latin-1
        {"ok\xc3", 1, false},            // bad at the end
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8SequenceLength(c.bytes), c.first) << c.bytes;
        EXPECT_EQ(IsUtf8(c.bytes), c.utf8) << c.bytes;
    }
    EXPECT_TRUE(IsUtf8(""));
}

TEST(ToolOutput, Latin1ToUtf8MapsEachByteToItsCodePoint) {
    EXPECT_EQ(Latin1ToUtf8("abc"), "abc");
    EXPECT_EQ(Latin1ToUtf8("\xe9"), "\xc3\xa9");
    EXPECT_EQ(Latin1ToUtf8("\x80\xff"), "\xc2\x80\xc3\xbf");
    EXPECT_EQ(Latin1ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(ToolOutput, JsonObjectNamesTheLatin1FieldsLast) {
    const struct {
        std::string bytes;
        const char* json;
    } cases[] = {
        {"plain", R"({"k":"plain","n":1})"},
        {"caf\xc3\xa9", "{\"k\":\"caf\xc3\xa9\",\"n\":1}"},
        {"caf\xe9", "{\"k\":\"caf\xc3\xa9\",\"n\":1,\"latin1\":[\"k\"]}"},
        {"q\"\\\n\x01", R"({"k":"q\"\\\n\u0001","n":1})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(boost::json::serialize(JsonObject().Text("k", c.bytes).Value("n", 1).Done()),
                  c.json);
    }
}

std::string Printed(bool json, const std::vector<CacheEntry>& entries) {
    CacheLocation where;
    where.directory = "/var/cache/x";
    where.expiry = 3600;
    testing::internal::CaptureStdout();
    PrintEntries(json, where, entries, "entries");
    return testing::internal::GetCapturedStdout();
}

TEST(ToolOutput, PrintEntries) {
    CacheEntry live;
    live.key = "k\x1b]";
    live.first = "a";
    live.second = "b";
    live.third = "c";
    live.readable = true;
    live.ageSeconds = 61;
    CacheEntry broken;
    broken.key = "z";
    broken.expired = true;
    broken.ageSeconds = -5;
    const std::string head = "/var/cache/x (expiry 1h)\n" + std::string("KEY") +
                             std::string(22, ' ') + "FIRST" + std::string(16, ' ') + "SECOND" +
                             std::string(15, ' ') + "THIRD" + std::string(24, ' ') +
                             "     AGE  STATE\n";
    EXPECT_EQ(Printed(false, {}), head + "0 entries\n");
    const std::string table = Printed(false, {live, broken});
    EXPECT_EQ(table, head + "k\\x1b]" + std::string(18, ' ') + " a" + std::string(20, ' ') + "b" +
                         std::string(20, ' ') + "c" + std::string(28, ' ') + "   1m 1s  live\n" +
                         "z" + std::string(24, ' ') + std::string(21, ' ') + std::string(21, ' ') +
                         std::string(29, ' ') + "  future  not a record, expired\n" +
                         "2 entries\n");
    EXPECT_EQ(Printed(true, {live}),
              R"({"directory":"/var/cache/x","expirySeconds":3600,"entries":[{"key":"k\u001b]",)"
              R"("first":"a","second":"b","third":"c","ageSeconds":61,"expired":false,)"
              R"("record":true}]})"
              "\n");
}

TEST(ToolOutput, SayAndFail) {
    testing::internal::CaptureStdout();
    Say(false, "k", "removed", "gone\x07");
    Say(true, "k\xff", "removed", "unused");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "gone\\x07\n{\"key\":\"k\xc3\xbf\",\"result\":\"removed\",\"latin1\":[\"key\"]}\n");
    testing::internal::CaptureStderr();
    const int code = Fail(static_cast<Exit>(3), "bad\x1b");
    EXPECT_EQ(code, 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "vsguidcache: bad\\x1b\n");
}

}  // namespace
