// json_spirit::read and read_or_throw over real and malformed JSON text.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "Thrown.h"
#include "json_spirit/json_spirit_reader.h"

using json_spirit::mArray;
using json_spirit::mObject;
using json_spirit::mValue;

TEST(JsonReader, ReadsNestedDocumentWithEscapesAndWideIntegers) {
    const std::string text = R"({
  "name": "vm-01",
  "disks": [{"id": 1, "size": 18446744073709551615}, {"id": -9223372036854775808}],
  "tags": ["caf\u00e9", "\ud83d\ude00", "tab\t\"quoted\"\\", null],
  "big": 9223372036854775808, "huge": 18446744073709551616,
  "ratio": 0.25, "near": [54e-308, 5.409760742964738e+124],
  "far": [-1e400, 1.7976931348623159e308, -1e-400, 2.5e-324],
  "on": true, "none": null, "empty": {}, "list": [],
  "dup": 1, "dup": "last"
})";
    const mValue expected = mObject{
        {"name", "vm-01"},
        {"disks", mArray{mObject{{"id", 1}, {"size", std::uint64_t{18446744073709551615u}}},
                         mObject{{"id", INT64_MIN}}}},
        {"tags", mArray{"caf\xc3\xa9", "\xf0\x9f\x98\x80", "tab\t\"quoted\"\\", mValue()}},
        {"big", std::uint64_t{9223372036854775808u}},
        {"huge", 18446744073709551616.0},
        {"ratio", 0.25},
        {"near", mArray{54e-308, 5.409760742964738e+124}},  // Boost.JSON alone is an ulp off
        {"far", mArray{-HUGE_VAL, HUGE_VAL, -0.0, 5e-324}},
        {"on", true},
        {"none", mValue()},
        {"empty", mObject{}},
        {"list", mArray{}},
        {"dup", "last"},
    };
    mValue value;
    ASSERT_TRUE(json_spirit::read(text, value));
    EXPECT_EQ(value, expected);
    const mValue& size = value.get_obj().at("disks").get_array()[0].get_obj().at("size");
    EXPECT_EQ(size.type(), json_spirit::int_type);
    EXPECT_TRUE(size.is_uint64());
    EXPECT_EQ(size.get_uint64(), 18446744073709551615u);
    EXPECT_EQ(value.get_obj().at("big").get_uint64(), 9223372036854775808u);
    EXPECT_TRUE(std::signbit(value.get_obj().at("far").get_array()[2].get_real()));

    mValue thrown;
    json_spirit::read_or_throw(" [\"only\"]\n", thrown);
    EXPECT_EQ(thrown, mArray{"only"});
}

TEST(JsonReader, MalformedTextLeavesValueAndTellsWhereItFailed) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "incomplete JSON at line 1, column 1"},
        {"[1,\n 2,\n x]", "syntax error at line 3, column 2"},
        {"{\"a\":1}\n  {}", "extra data at line 2, column 3"},
        {"\"bad \\x escape\"", "syntax error at line 1, column 7"},
        {"\"lone \\ud83d\"", "syntax error at line 1, column 13"},
        {"\"\xff\"", "syntax error at line 1, column 2"},
        {std::string(257, '[') + std::string(257, ']'), "too deep at line 1, column 257"},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text.substr(0, 20));
        mValue value("kept");
        EXPECT_FALSE(json_spirit::read(text, value));
        EXPECT_EQ(Thrown([&] { json_spirit::read_or_throw(text, value); }), message);
        EXPECT_EQ(value, mValue("kept"));
    }
    mValue deepest;
    EXPECT_TRUE(json_spirit::read(std::string(256, '[') + std::string(256, ']'), deepest));
}
