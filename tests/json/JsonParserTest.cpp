// CVSJsonParser::ConvertNestedStringList over hand-built objects.
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "Thrown.h"
#include "VSJsonParser.h"

using json_spirit::mArray;
using json_spirit::mObject;
using json_spirit::mValue;

namespace {

struct Case {
    const char* name;
    std::string key;
    mValue member;  // stored under "names"; "Names" always holds ["upper"]
    std::vector<std::string> expected;
    std::string error;  // empty: returns true
};

std::string Pair(int actual, int expected) {
    return "value type is " + std::to_string(actual) + " not " + std::to_string(expected);
}

}  // namespace

TEST(JsonParser, AppendsStringsOrPassesTypeErrorsThrough) {
    const std::vector<Case> cases = {
        {"empty array", "names", mArray{}, {"old"}, ""},
        {"nulls only", "names", mArray{mValue(), mValue()}, {"old"}, ""},
        {"null skipped, empty and duplicate kept",
         "names",
         mArray{"a", mValue(), "", "a"},
         {"old", "a", "", "a"},
         ""},
        {"other key of other case", "Names", mValue(), {"old", "upper"}, ""},
        {"nested array", "names", mArray{mArray{"x"}}, {"old"}, Pair(1, 2)},
        {"number stops the walk", "names", mArray{"a", 5, "b"}, {"old", "a"}, Pair(4, 2)},
        {"boolean element", "names", mArray{true}, {"old"}, Pair(3, 2)},
        {"object element", "names", mArray{mObject{}}, {"old"}, Pair(0, 2)},
        {"real element", "names", mArray{1.5}, {"old"}, Pair(5, 2)},
        {"null member", "names", mValue(), {"old"}, Pair(6, 1)},
        {"string member", "names", "a", {"old"}, Pair(2, 1)},
        {"number member", "names", 7, {"old"}, Pair(4, 1)},
        {"missing key", "absent", mArray{"a"}, {"old"}, Pair(6, 1)},
        {"missing key differing in case only", "NAMES", mArray{"a"}, {"old"}, Pair(6, 1)},
    };
    LogCapture log;
    CVSJsonParser parser;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const mObject object{{"names", c.member}, {"Names", mArray{"upper"}}};
        std::vector<std::string> values{"old"};
        bool result = false;
        const std::string error =
            Thrown([&] { result = parser.ConvertNestedStringList(object, c.key, values); });
        EXPECT_EQ(error, c.error.empty() ? "<no exception>" : c.error);
        EXPECT_EQ(result, c.error.empty());
        EXPECT_EQ(values, c.expected);
    }
    EXPECT_TRUE(log.Records().empty());
}
