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
// duplicate keys in an object the last one wins. Nesting deeper than kMaxDepth arrays and
// objects is refused, which bounds the stack that reading and destroying a value need.
//
// Header-only on top of the Boost.JSON parser: link Boost::json (the shared libboost_json).
#pragma once

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parser.hpp>
#include <boost/json/value.hpp>
#include <cstddef>
#include <stdexcept>
#include <string>

#include "json_spirit_value.h"

namespace json_spirit {
namespace reader_detail {

constexpr std::size_t kMaxDepth = 256;

inline mValue Convert(const boost::json::value& from) {
    switch (from.kind()) {
        case boost::json::kind::object: {
            mObject object;
            for (const auto& member : from.get_object()) {
                object[std::string(member.key())] = Convert(member.value());
            }
            return mValue(std::move(object));
        }
        case boost::json::kind::array: {
            mArray array;
            array.reserve(from.get_array().size());
            for (const auto& element : from.get_array()) {
                array.push_back(Convert(element));
            }
            return mValue(std::move(array));
        }
        case boost::json::kind::string:
            return mValue(std::string(from.get_string()));
        case boost::json::kind::bool_:
            return mValue(from.get_bool());
        case boost::json::kind::int64:
            return mValue(from.get_int64());
        case boost::json::kind::uint64:
            return mValue(from.get_uint64());
        case boost::json::kind::double_:
            return mValue(from.get_double());
        case boost::json::kind::null:
            break;
    }
    return mValue();
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
    // The intermediate document is dropped at once: a monotonic arena is the cheapest home.
    boost::json::monotonic_resource arena;
    boost::json::parse_options options;
    options.max_depth = kMaxDepth;
    boost::json::parser parser(boost::json::storage_ptr(), options);
    parser.reset(&arena);
    boost::json::error_code error;
    const std::size_t consumed = parser.write(text.data(), text.size(), error);
    if (error) {
        return error.message() + " at " + Position(text, consumed);
    }
    value = Convert(parser.release());
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
