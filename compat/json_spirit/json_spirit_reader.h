// Reads JSON text (RFC 8259, UTF-8) into the map-based value model.
//
//   bool read(const std::string& text, mValue& value);
//       true and the document in value; false on malformed text, value left as it was.
//   void read_or_throw(const std::string& text, mValue& value);
//       the same, but malformed text throws std::runtime_error "<reason> at line L, column C"
//       (both from 1, columns counted in bytes), value left as it was.
//
// The whole text must be one JSON value, optionally surrounded by whitespace. Integers become
// signed 64-bit values, or unsigned ones above the signed range, and reals beyond that; on
// duplicate keys in an object the last one wins. A real is the double nearest to its text
// (ties to even), so the writer's text of any finite double reads back as that very double; a
// real beyond the double range becomes an infinity of its sign (1e400 is inf, which the writer
// refuses), one below half the smallest subnormal a zero of its sign. Nesting deeper than
// kMaxDepth arrays and objects is refused, which bounds the stack that reading and destroying a
// value need.
//
// Header-only on top of the Boost.JSON parser: link Boost::json (the shared libboost_json).
//
// Design: Boost.JSON's basic_parser checks the grammar, the UTF-8 and the depth, and finds the
// position of a fault; Builder, its handler, puts each value straight where it belongs in the
// mValue under way, with no intermediate document: an open array or object is already in its
// parent, which gets nothing else until it closes. A real is converted from its text with
// std::from_chars, which rounds correctly; the parser's own conversion (Boost 1.81) can land
// one unit in the last place away and serves only to tell an overflow from an underflow.
#pragma once

#include <boost/json/array.hpp>
#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/object.hpp>
#include <boost/json/string.hpp>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "json_spirit_value.h"

namespace json_spirit {
namespace reader_detail {

constexpr std::size_t kMaxDepth = 256;

// The double nearest to a real's text. Out of range, from_chars leaves the result alone; the
// parser's approximation, which is off by at most a few units, tells which way it fell.
inline double Real(std::string_view text, double approximation) {
    double real = 0;
    const std::from_chars_result result =
        std::from_chars(text.data(), text.data() + text.size(), real);
    if (result.ec == std::errc::result_out_of_range) {
        real =
            approximation < 1 && approximation > -1 ? 0.0 : std::numeric_limits<double>::infinity();
        return text.front() == '-' ? -real : real;
    }
    return real;
}

// The handler of boost::json::basic_parser: every event adds to the value under way.
class Builder {
public:
    // The limits of the parser's own document, so that the same texts are refused.
    static constexpr std::size_t max_object_size = boost::json::object::max_size();
    static constexpr std::size_t max_array_size = boost::json::array::max_size();
    static constexpr std::size_t max_key_size = boost::json::string::max_size();
    static constexpr std::size_t max_string_size = boost::json::string::max_size();

    using error_code = boost::json::error_code;
    using string_view = boost::json::string_view;

    mValue& Root() { return mRoot; }

    bool on_document_begin(error_code& /*ec*/) { return true; }
    bool on_document_end(error_code& /*ec*/) { return true; }
    bool on_array_begin(error_code& /*ec*/) {
        mOpen.push_back({&Place(mArray()).get_array(), nullptr});
        return true;
    }
    bool on_array_end(std::size_t /*n*/, error_code& /*ec*/) { return Close(); }
    bool on_object_begin(error_code& /*ec*/) {
        mOpen.push_back({nullptr, &Place(mObject()).get_obj()});
        return true;
    }
    bool on_object_end(std::size_t /*n*/, error_code& /*ec*/) { return Close(); }
    bool on_string_part(string_view s, std::size_t /*n*/, error_code& /*ec*/) { return Part(s); }
    bool on_string(string_view s, std::size_t /*n*/, error_code& /*ec*/) { return Add(Text(s)); }
    bool on_key_part(string_view s, std::size_t /*n*/, error_code& /*ec*/) { return Part(s); }
    bool on_key(string_view s, std::size_t /*n*/, error_code& /*ec*/) {
        mKey = Text(s);
        return true;
    }
    bool on_number_part(string_view s, error_code& /*ec*/) { return Part(s); }
    bool on_int64(std::int64_t i, string_view /*s*/, error_code& /*ec*/) {
        mPart.clear();
        return Add(i);
    }
    bool on_uint64(std::uint64_t u, string_view /*s*/, error_code& /*ec*/) {
        mPart.clear();
        return Add(u);
    }
    bool on_double(double d, string_view s, error_code& /*ec*/);
    bool on_bool(bool b, error_code& /*ec*/) { return Add(b); }
    bool on_null(error_code& /*ec*/) { return Add(mValue()); }
    // Comments are not allowed in the options the reader passes.
    bool on_comment_part(string_view /*s*/, error_code& /*ec*/) { return true; }
    bool on_comment(string_view /*s*/, error_code& /*ec*/) { return true; }

private:
    // An array or object still open, where it will stay: nothing is added to its parent, so
    // nothing moves it, until it is closed. One of the two is set.
    struct Open {
        mArray* array;
        mObject* object;
    };

    template <class T>
    mValue& Place(T&& value);
    template <class T>
    bool Add(T&& value) {
        Place(std::forward<T>(value));
        return true;
    }
    bool Close() {
        mOpen.pop_back();
        return true;
    }
    bool Part(string_view s) {
        mPart.append(s.data(), s.size());
        return true;
    }
    std::string Text(string_view last);

    mValue mRoot;
    std::vector<Open> mOpen;
    std::string mKey;   // the key of the next member of the innermost open object
    std::string mPart;  // the text so far of a string, key or number cut in parts
};

// Moving an mValue that holds an array or object copies it into a new allocation (a
// boost::variant's recursive_wrapper), and a vector copies when it grows, as that move may
// throw; so a full array is moved into a larger one element by element, which costs one
// allocation per array or object in it rather than a copy of everything beneath.
inline void MakeRoom(mArray& array) {
    if (array.size() < array.capacity()) {
        return;
    }
    mArray larger;
    larger.reserve(array.empty() ? 4 : 2 * array.size());
    for (mValue& element : array) {
        larger.push_back(std::move(element));
    }
    array.swap(larger);
}

template <class T>
mValue& Builder::Place(T&& value) {
    if (mOpen.empty()) {
        return mRoot = mValue(std::forward<T>(value));
    }
    if (mArray* array = mOpen.back().array) {
        MakeRoom(*array);
        return array->emplace_back(std::forward<T>(value));
    }
    // try_emplace leaves its arguments alone when the key is there: the last one wins.
    const auto [member, added] =
        mOpen.back().object->try_emplace(std::move(mKey), std::forward<T>(value));
    if (!added) {
        member->second = mValue(std::forward<T>(value));
    }
    return member->second;
}

inline bool Builder::on_double(double d, string_view s, error_code& /*ec*/) {
    if (mPart.empty()) {
        return Add(Real(std::string_view(s.data(), s.size()), d));
    }
    Part(s);
    const double real = Real(mPart, d);
    mPart.clear();
    return Add(real);
}

inline std::string Builder::Text(string_view last) {
    if (mPart.empty()) {
        return std::string(last.data(), last.size());
    }
    Part(last);
    std::string whole = std::move(mPart);
    mPart.clear();
    return whole;
}

inline std::string Position(const std::string& text, std::size_t offset) {
    std::size_t line = 1;
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            lineStart = i + 1;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(offset - lineStart + 1);
}

// Empty result on success, else the reason and position of the first fault.
inline std::string Parse(const std::string& text, mValue& value) {
    boost::json::parse_options options;
    options.max_depth = kMaxDepth;
    boost::json::basic_parser<Builder> parser(options);
    boost::json::error_code error;
    const std::size_t consumed = parser.write_some(false, text.data(), text.size(), error);
    // The parser stops after the first value and the whitespace behind it.
    if (!error && consumed < text.size()) {
        error = boost::json::error::extra_data;
    }
    if (error) {
        return error.message() + " at " + Position(text, consumed);
    }
    value = std::move(parser.handler().Root());
    return std::string();
}

}  // namespace reader_detail

inline bool read(const std::string& text, mValue& value) {
    return reader_detail::Parse(text, value).empty();
}

inline void read_or_throw(const std::string& text, mValue& value) {
    const std::string error = reader_detail::Parse(text, value);
    if (!error.empty()) {
        throw std::runtime_error(error);
    }
}

}  // namespace json_spirit
