// json_spirit::write: the exact text, what it refuses, and that read gives the value back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <vector>

#include "Thrown.h"
#include "json_spirit/json_spirit_reader.h"
#include "json_spirit/json_spirit_writer.h"

using json_spirit::mArray;
using json_spirit::mObject;
using json_spirit::mValue;

static_assert(json_spirit::writer_detail::kMaxDepth == json_spirit::reader_detail::kMaxDepth,
              "the writer refuses exactly the nesting the reader refuses");

namespace {

mValue Nested(std::size_t depth) {
    mValue value = mArray{};
    for (std::size_t i = 1; i < depth; ++i) {
        value = mArray{value};
    }
    return value;
}

const mValue kDocument = mObject{{"a", mArray{1, mObject{}, mArray{}}},
                                 {"b", mObject{{"c", "d"}}},
                                 {"e", mArray{true, mValue()}}};

}  // namespace

TEST(JsonWriter, WritesExactTextOrRefusesWithoutWritingAnything) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::string bad = "invalid UTF-8 at byte ";
    struct Row {
        mValue value;
        unsigned options;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {std::string("\"\\/\b\f\n\r\t\x01\x1f\x7f\0!", 13), 0,
         std::string(R"("\"\\/\b\f\n\r\t\u0001\u001f)") + "\x7f\\u0000!\""},
        {"\xc2\x80\xc3\xa9\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf", 0,
         "\"\xc2\x80\xc3\xa9\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf"
         "\""},
        {"\xc2\x80\xc3\xa9\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf",
         json_spirit::always_escape_nonascii | json_spirit::raw_utf8,
         R"("\u0080\u00e9\u0800\ud7ff\uffff\ud83d\ude00\udbff\udfff")"},
        {"\xc0\xaf", 0, bad + "0 of a string"},              // overlong '/'
        {"ab\xe0\x9f\xbf", 0, bad + "2 of a string"},        // overlong U+07FF
        {"\xed\xa0\x80", 0, bad + "0 of a string"},          // surrogate
        {"\xf4\x90\x80\x80", 0, bad + "0 of a string"},      // beyond U+10FFFF
        {"\xf0\x8f\xbf\xbf", 0, bad + "0 of a string"},      // overlong U+FFFF
        {"x\x80", 0, bad + "1 of a string"},                 // stray continuation
        {"\xe2\x82", 0, bad + "0 of a string"},              // cut off
        {"\xf0\x9f\x98x", 0, bad + "0 of a string"},         // missing continuation
        {"\xf8\x88\x80\x80\x80", 0, bad + "0 of a string"},  // five-byte form
        {mObject{{"ok", 1}, {"\xff", 2}}, 0, bad + "0 of a string"},
        {mArray{INT64_MIN, INT64_MAX, UINT64_MAX, 0, -1}, 0,
         "[-9223372036854775808,9223372036854775807,18446744073709551615,0,-1]"},
        {mArray{0.1, 1e300, -0.0, 5e-324, 1.0, 1.2345678901234567e19, -1.7976931348623157e308,
                54e-308, 5.409760742964738e+124},
         0,
         "[0.1,1e+300,-0.0,5e-324,1.0,12345678901234567168.0,-1.7976931348623157e+308,5.4e-307,"
         "5.409760742964738e+124]"},
        {mArray{1, std::nan("")}, 0, "real value nan has no JSON form"},
        {inf, 0, "real value inf has no JSON form"},
        {mObject{{"x", -inf}}, 0, "real value -inf has no JSON form"},
        {Nested(256), 0, std::string(256, '[') + std::string(256, ']')},
        {mObject{{"n", Nested(256)}}, 0, "nesting deeper than 256 levels"},
        {kDocument, 0, R"({"a":[1,{},[]],"b":{"c":"d"},"e":[true,null]})"},
        {kDocument, json_spirit::single_line_arrays,
         "{\n    \"a\" : [\n        1,\n        {},\n        []\n    ],\n    \"b\" : {\n        "
         "\"c\" : \"d\"\n    },\n    \"e\" : [ true, null ]\n}"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        const bool writes = std::string("[{\"").find(row.expected[0]) != std::string::npos;
        std::string text;
        EXPECT_EQ(Thrown([&] { text = json_spirit::write(row.value, row.options); }),
                  writes ? "<no exception>" : row.expected);
        EXPECT_EQ(text, writes ? row.expected : "");
        std::ostringstream os;
        Thrown([&] { json_spirit::write(row.value, os, row.options); });
        EXPECT_EQ(os.str(), text);
    }
    const std::string pretty =
        "{\n    \"a\" : [\n        1,\n        {},\n        []\n    ],\n    \"b\" : {\n        "
        "\"c\" : \"d\"\n    },\n    \"e\" : [\n        true,\n        null\n    ]\n}";
    EXPECT_EQ(json_spirit::write_formatted(kDocument), pretty);
    EXPECT_EQ(json_spirit::write_string(kDocument, true), pretty);
}

TEST(JsonWriter, ReadGivesBackWhatWasWritten) {
    const std::vector<mValue> values = {
        mObject{{std::string("k\"\\\n\0\x1f", 6), "\xf0\x9f\x98\x80\xe2\x82\xac\xc3\xa9"},
                {"", mArray{INT64_MIN, UINT64_MAX, -0.0, 0.1, 1e300, 5e-324, 18446744073709551616.0,
                            54e-308, 5.409760742964738e+124}},
                {"z", kDocument}},
        Nested(256), mArray{"", 2.5, false, mValue()}};
    for (const mValue& value : values) {
        for (const unsigned options :
             {json_spirit::none, json_spirit::pretty_print, json_spirit::always_escape_nonascii}) {
            const std::string text = json_spirit::write(value, options);
            SCOPED_TRACE(text.substr(0, 60));
            mValue back;
            ASSERT_TRUE(json_spirit::read(text, back));
            EXPECT_EQ(back, value);
            EXPECT_EQ(json_spirit::write(back, options), text);  // -0.0 keeps its sign
        }
    }
    // Any finite double's text reads back as the very same bits.
    std::mt19937_64 bits(7);
    for (int i = 0; i < 20000; ++i) {
        const std::uint64_t pattern = bits();
        double real = 0;
        std::memcpy(&real, &pattern, sizeof real);
        if (std::isfinite(real)) {
            const std::string text = json_spirit::write(real);
            mValue back;
            ASSERT_TRUE(json_spirit::read(text, back));
            ASSERT_TRUE(back.get_real() == real &&
                        std::signbit(back.get_real()) == std::signbit(real))
                << text;
        }
    }
}
