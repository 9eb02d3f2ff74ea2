// The json_spirit-compatible value model on its own.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <tuple>
#include <vector>

#include "Thrown.h"
#include "json_spirit/json_spirit_value.h"

using json_spirit::mArray;
using json_spirit::mObject;
using json_spirit::mValue;

namespace {

const std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
const std::int64_t kI64Min = std::numeric_limits<std::int64_t>::min();

// A call's result as text, or what it threw.
template <class Call>
std::string Try(Call call) {
    std::string text;
    const std::string error = Thrown([&] { text = std::to_string(call()); });
    return error == "<no exception>" ? text : error;
}

}  // namespace

TEST(JsonValue, EachAccessorOnEachWrongTypeThrowsItsPair) {
    const std::vector<std::pair<mValue, int>> samples = {
        {mObject{}, 0}, {mArray{}, 1}, {"s", 2}, {true, 3},
        {-7, 4},        {kU64Max, 4},  {1.5, 5}, {mValue(), 6},
    };
    using Accessor = std::function<void(mValue&)>;
    const std::vector<std::tuple<const char*, int, Accessor>> accessors = {
        {"get_obj", 0, [](mValue& v) { static_cast<const mValue&>(v).get_obj(); }},
        {"get_obj mutable", 0, [](mValue& v) { v.get_obj(); }},
        {"get_array", 1, [](mValue& v) { static_cast<const mValue&>(v).get_array(); }},
        {"get_array mutable", 1, [](mValue& v) { v.get_array(); }},
        {"get_str", 2, [](mValue& v) { v.get_str(); }},
        {"get_bool", 3, [](mValue& v) { v.get_bool(); }},
        {"get_int", 4, [](mValue& v) { v.get_int(); }},
        {"get_int64", 4, [](mValue& v) { v.get_int64(); }},
        {"get_uint64", 4, [](mValue& v) { v.get_uint64(); }},
        {"get_real", 5, [](mValue& v) { v.get_real(); }},
    };
    for (auto [value, type] : samples) {
        EXPECT_EQ(value.type(), type);
        EXPECT_EQ(value.is_null(), type == 6);
        for (const auto& [name, expected, accessor] : accessors) {
            SCOPED_TRACE(std::string(name) + " on type " + std::to_string(type));
            if (type != expected && !(expected == 5 && type == 4)) {
                EXPECT_EQ(
                    Thrown([&] { accessor(value); }),
                    "value type is " + std::to_string(type) + " not " + std::to_string(expected));
            }
        }
    }
}

TEST(JsonValue, IntegersOfEitherSignednessReadExactlyOrThrowOutOfRange) {
    // value, get_int, get_int64, get_uint64
    const std::vector<std::tuple<mValue, std::string, std::string, std::string>> rows = {
        {-1, "-1", "-1", "value -1 is out of range for uint64"},
        {std::int64_t{2147483648}, "value 2147483648 is out of range for int", "2147483648",
         "2147483648"},
        {kI64Min, "value -9223372036854775808 is out of range for int", "-9223372036854775808",
         "value -9223372036854775808 is out of range for uint64"},
        {kU64Max, "value 18446744073709551615 is out of range for int",
         "value 18446744073709551615 is out of range for int64", "18446744073709551615"},
    };
    for (const auto& [value, asInt, asInt64, asUint64] : rows) {
        EXPECT_EQ(Try([&] { return value.get_int(); }), asInt);
        EXPECT_EQ(Try([&] { return value.get_int64(); }), asInt64);
        EXPECT_EQ(Try([&] { return value.get_uint64(); }), asUint64);
    }
    EXPECT_EQ(mValue(kU64Max).get_real(), 18446744073709551615.0);
    EXPECT_EQ(mValue(5), mValue(std::uint64_t{5}));
    EXPECT_NE(mValue(-1), mValue(kU64Max));
    EXPECT_NE(mValue(5), mValue(5.0));
}

TEST(JsonValue, CopiesAreDeepAndIndependent) {
    mValue original = mObject{{"list", mArray{"a", mObject{{"k", "v"}}}}};
    const mValue pristine = original;
    mValue copy = original;
    copy.get_obj()["list"].get_array()[1].get_obj()["k"] = "changed";
    copy.get_obj()["list"].get_array().push_back(3);
    EXPECT_EQ(original, pristine);
    EXPECT_NE(copy, pristine);
    original.get_obj()["list"].get_array()[1].get_obj()["k"] = mArray{"replaced"};
    EXPECT_EQ(copy, (mObject{{"list", mArray{"a", mObject{{"k", "changed"}}, 3}}}));
}
