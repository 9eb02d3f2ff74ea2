#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FakeTransport.h"
#include "LogCapture.h"
#include "RestLabels.h"
#include "VSRestApiConnection.h"

using rest_labels::kUrlEncode;
using ::testing::ElementsAre;

namespace {

// The real transport, reached only through the two public helpers.
class QueryConnection : public CVSRestApiConnection {};

}  // namespace

TEST(QueryString, SeparatorsFollowTheFirstQuestionMark) {
    QueryConnection conn;
    std::string query = "vms";
    conn.appendQueryStringArgument(query, "page=%d", 2);
    conn.appendQueryStringArgument(query, "name=%s", "web");
    EXPECT_EQ(query, "vms?page=2&name=web");

    std::string inValue = "search/a?b";  // a "?" anywhere counts
    conn.appendQueryStringArgument(inValue, "x=%d", 1);
    EXPECT_EQ(inValue, "search/a?b&x=1");

    std::string empty;
    conn.appendQueryStringArgument(empty, "%s", "");
    EXPECT_EQ(empty, "?");
    conn.appendQueryStringArgument(empty, "%s", "");
    EXPECT_EQ(empty, "?&");
}

TEST(QueryString, LongArgumentsAreAppendedWhole) {
    QueryConnection conn;
    for (size_t length : {2046u, 2047u, 2048u, 2049u, 70000u}) {
        SCOPED_TRACE(length);
        const std::string value(length, 'v');
        std::string query = "r";
        conn.appendQueryStringArgument(query, "k=%s", value.c_str());
        EXPECT_EQ(query, "r?k=" + value);
        conn.appendQueryStringArgument(query, "tail=%d", 9);
        EXPECT_EQ(query.substr(query.size() - 7), "&tail=9");

        // The argument may point into the query it is appended to.
        std::string self(length, 'q');
        const std::string once = self + "?" + self;
        conn.appendQueryStringArgument(self, "%s", self.c_str());
        EXPECT_EQ(self, once);
        conn.appendQueryStringArgument(self, "%s", self.c_str());
        EXPECT_EQ(self, once + "&" + once);
    }
}

TEST(UrlEncode, EncodesThroughTheTransportAndLogs) {
    LogCapture log;
    QueryConnection conn;
    EXPECT_EQ(conn.UrlEncode("vm 1/a&b"), "vm%201%2Fa%26b");
    EXPECT_EQ(conn.UrlEncode("plain-Text_1.0~"), "plain-Text_1.0~");
    const auto lines = log.From(kUrlEncode);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].kind, TqDebugRecord::Debug);
    EXPECT_EQ(lines[0].level, 2);
    EXPECT_EQ(lines[0].message, "Encoded [vm 1/a&b]=>[vm%201%2Fa%26b]");
    EXPECT_EQ(lines[1].message, "Encoded [plain-Text_1.0~]=>[plain-Text_1.0~]");
}

TEST(UrlEncode, EmptyResultGivesTheInputBack) {
    LogCapture log;
    QueryConnection conn;
    EXPECT_EQ(conn.UrlEncode(""), "");
    RecordingConnection fake;  // a transport that answers with nothing
    // Never the raw text: it would add parameters of its own to the query.
    EXPECT_EQ(fake.UrlEncode("a b&c=d\xe9-._~"), "a%20b%26c%3Dd%E9-._~");
    const auto lines = log.From(kUrlEncode);
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& line : lines) {
        EXPECT_EQ(line.kind, TqDebugRecord::Error);
    }
    EXPECT_EQ(lines[0].message, "Failed to encode [] - result empty");
    EXPECT_EQ(lines[1].message, "Failed to encode [a b&c=d\xe9-._~] - result empty");
}
