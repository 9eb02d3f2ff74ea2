// Writes the map-based value model as JSON text (RFC 8259, UTF-8).
//
//   std::string write(const mValue& value, unsigned int options = none);
//   void write(const mValue& value, std::ostream& os, unsigned int options = none);
//   std::string write_formatted(const mValue& value);   // write(value, pretty_print)
//   void write_formatted(const mValue& value, std::ostream& os);
//   std::string write_string(const mValue& value, bool pretty);   // the older name
//
// The text is meant to be read back as the very same value by any sound reader, so the writer
// refuses what it cannot write faithfully instead of changing it; read() here gives it back.
//  - Layout: compact by default. pretty_print puts each member and element on a line of its
//    own, four spaces further in per level, with " : " after a key; an empty object or array
//    stays "{}" or "[]". single_line_arrays implies pretty_print and writes an array that holds
//    no object or array on one line, "[ 1, 2 ]". Members come in the object's (byte) order.
//  - Strings and keys: '"', '\' and bytes below 0x20 are escaped (\b \f \n \r \t, else \u00xx);
//    every other byte is copied, so UTF-8 stays raw UTF-8 and raw_utf8 is the default (the flag
//    is accepted and changes nothing). always_escape_nonascii writes each character beyond
//    ASCII as \uxxxx instead, a surrogate pair above U+FFFF, for pure-ASCII text.
//  - Text that is not valid UTF-8 (a stray or missing continuation byte, an overlong form, a
//    surrogate, beyond U+10FFFF) throws std::runtime_error "invalid UTF-8 at byte N of a
//    string" (N from 0, at the sequence's first byte): passed on raw a reader would refuse the
//    text, replaced it would read back as something else.
//  - Integers are exact over the signed and the unsigned 64-bit range. A real is written in
//    the shortest form that reads back as the same double, always with a '.' or an exponent so
//    that it reads back as a real ("1.0", "-0.0", "1e+300"); remove_trailing_zeros is accepted
//    and changes nothing, as that form has none. NaN and the infinities have no JSON form:
//    std::runtime_error "real value <nan|inf|-inf> has no JSON form".
//  - Nesting deeper than kMaxDepth (256) arrays and objects, which the reader would refuse,
//    throws std::runtime_error "nesting deeper than 256 levels"; that also bounds the recursion.
//  - When anything throws, the stream forms have written nothing. Time is linear in the text.
//
// Header-only and standard C++17 alone (std::to_chars for the numbers); no Boost.JSON needed.
#pragma once

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "json_spirit_value.h"

namespace json_spirit {

enum Output_options {
    none = 0,
    pretty_print = 0x01,
    raw_utf8 = 0x02,
    remove_trailing_zeros = 0x04,
    single_line_arrays = 0x08,
    always_escape_nonascii = 0x10
};

namespace writer_detail {

constexpr std::size_t kMaxDepth = 256;

[[noreturn]] inline void ThrowInvalidUtf8(std::size_t at) {
    throw std::runtime_error("invalid UTF-8 at byte " + std::to_string(at) + " of a string");
}

// The length of the sequence a lead byte opens (0: no sequence does), and the range its
// second byte must fall in, which is what rules out overlong forms, surrogates and values
// beyond U+10FFFF.
inline std::size_t SequenceLength(unsigned char lead, unsigned char& low, unsigned char& high) {
    low = 0x80;
    high = 0xBF;
    if (lead < 0x80) {
        return 1;
    }
    if (lead < 0xC2) {
        return 0;
    }
    if (lead < 0xE0) {
        return 2;
    }
    if (lead < 0xF0) {
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
        return 3;
    }
    low = lead == 0xF0 ? 0x90 : low;
    high = lead == 0xF4 ? 0x8F : high;
    return lead < 0xF5 ? 4 : 0;
}

// The code point of the sequence at text[at], moving at past it; throws if it is not valid.
inline std::uint32_t NextCodePoint(const std::string& text, std::size_t& at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    unsigned char low = 0;
    unsigned char high = 0;
    const std::size_t length = SequenceLength(lead, low, high);
    if (length == 0 || text.size() - at < length) {
        ThrowInvalidUtf8(at);
    }
    static constexpr std::array<unsigned char, 5> kLeadBits = {0, 0x7F, 0x1F, 0x0F, 0x07};
    std::uint32_t code = lead & kLeadBits[length];
    for (std::size_t k = 1; k < length; ++k) {
        const auto byte = static_cast<unsigned char>(text[at + k]);
        if (byte < low || byte > high) {
            ThrowInvalidUtf8(at);
        }
        code = (code << 6) | (byte & 0x3Fu);
        low = 0x80;
        high = 0xBF;
    }
    at += length;
    return code;
}

inline void AppendUnit(std::string& out, std::uint32_t unit) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) {
        out += kHex[(unit >> shift) & 0xFu];
    }
}

inline void AppendAscii(std::string& out, char byte) {
    static constexpr std::string_view kEscaped = "\"\\\b\f\n\r\t";
    static constexpr std::string_view kLetter = "\"\\bfnrt";
    const std::size_t which = kEscaped.find(byte);
    if (which != std::string_view::npos) {
        out += '\\';
        out += kLetter[which];
    } else if (static_cast<unsigned char>(byte) < 0x20) {
        AppendUnit(out, static_cast<unsigned char>(byte));
    } else {
        out += byte;
    }
}

inline void AppendNonAscii(std::string& out, const std::string& text, std::size_t& at,
                           bool escape) {
    const std::size_t start = at;
    const std::uint32_t code = NextCodePoint(text, at);
    if (!escape) {
        out.append(text, start, at - start);
    } else if (code < 0x10000) {
        AppendUnit(out, code);
    } else {
        AppendUnit(out, 0xD800 + ((code - 0x10000) >> 10));
        AppendUnit(out, 0xDC00 + ((code - 0x10000) & 0x3FFu));
    }
}

inline void AppendString(std::string& out, const std::string& text, bool escape) {
    out += '"';
    std::size_t at = 0;
    while (at < text.size()) {
        if (static_cast<unsigned char>(text[at]) < 0x80) {
            AppendAscii(out, text[at++]);
        } else {
            AppendNonAscii(out, text, at, escape);
        }
    }
    out += '"';
}

template <class Number>
void AppendNumber(std::string& out, Number number) {
    // The longest shortest-form double is 24 characters; a 64-bit integer at most 20.
    std::array<char, 32> text{};
    char* const first = text.data();
    const std::to_chars_result result = std::to_chars(first, first + text.size(), number);
    out.append(first, result.ptr);
}

inline void AppendReal(std::string& out, double real) {
    if (!std::isfinite(real)) {
        const char* name = std::isnan(real) ? "nan" : real < 0 ? "-inf" : "inf";
        throw std::runtime_error(std::string("real value ") + name + " has no JSON form");
    }
    const std::size_t start = out.size();
    AppendNumber(out, real);
    // Without a '.' or an exponent the text would read back as an integer ("1", "-0", and
    // doubles like 1e19 that the shortest form writes out in full).
    if (out.find_first_of(".e", start) == std::string::npos) {
        out += ".0";
    }
}

inline bool IsComposite(const mValue& value) {
    return value.type() == obj_type || value.type() == array_type;
}

class Writer {
public:
    Writer(std::string& out, unsigned int options)
        : m_out(out),
          m_pretty((options & (pretty_print | single_line_arrays)) != 0),
          m_singleLineArrays((options & single_line_arrays) != 0),
          m_escape((options & always_escape_nonascii) != 0) {}

    // depth: the arrays and objects around value.
    void Value(const mValue& value, std::size_t depth) {
        switch (value.type()) {
            case obj_type:
                return Object(value.get_obj(), Deeper(depth));
            case array_type:
                return Array(value.get_array(), Deeper(depth));
            case str_type:
                return AppendString(m_out, value.get_str(), m_escape);
            case bool_type:
                m_out += value.get_bool() ? "true" : "false";
                return;
            case int_type:
                return Integer(value);
            case real_type:
                return AppendReal(m_out, value.get_real());
            case null_type:
                break;
        }
        m_out += "null";
    }

private:
    static std::size_t Deeper(std::size_t depth) {
        if (depth >= kMaxDepth) {
            throw std::runtime_error("nesting deeper than " + std::to_string(kMaxDepth) +
                                     " levels");
        }
        return depth + 1;
    }

    void Integer(const mValue& value) {
        if (value.is_uint64()) {
            AppendNumber(m_out, value.get_uint64());
        } else {
            AppendNumber(m_out, value.get_int64());
        }
    }

    void NewLine(std::size_t depth) {
        if (m_pretty) {
            m_out += '\n';
            m_out.append(depth * 4, ' ');
        }
    }

    void Object(const mObject& object, std::size_t depth) {
        if (object.empty()) {
            m_out += "{}";
            return;
        }
        m_out += '{';
        for (auto member = object.begin(); member != object.end(); ++member) {
            m_out += member == object.begin() ? "" : ",";
            NewLine(depth);
            AppendString(m_out, member->first, m_escape);
            m_out += m_pretty ? " : " : ":";
            Value(member->second, depth);
        }
        NewLine(depth - 1);
        m_out += '}';
    }

    void Array(const mArray& array, std::size_t depth) {
        if (array.empty()) {
            m_out += "[]";
            return;
        }
        const bool oneLine =
            m_singleLineArrays && std::none_of(array.begin(), array.end(), IsComposite);
        m_out += oneLine ? "[ " : "[";
        for (auto element = array.begin(); element != array.end(); ++element) {
            m_out += element == array.begin() ? "" : oneLine ? ", " : ",";
            if (!oneLine) {
                NewLine(depth);
            }
            Value(*element, depth);
        }
        if (oneLine) {
            m_out += " ]";
            return;
        }
        NewLine(depth - 1);
        m_out += ']';
    }

    std::string& m_out;
    const bool m_pretty;
    const bool m_singleLineArrays;
    const bool m_escape;
};

}  // namespace writer_detail

inline std::string write(const mValue& value, unsigned int options = none) {
    std::string text;
    writer_detail::Writer(text, options).Value(value, 0);
    return text;
}

inline void write(const mValue& value, std::ostream& os, unsigned int options = none) {
    // Written whole or not at all: the text is complete before the stream sees any of it.
    const std::string text = write(value, options);
    os.write(text.data(), static_cast<std::streamsize>(text.size()));
}

inline std::string write_formatted(const mValue& value) {
    return write(value, pretty_print);
}

inline void write_formatted(const mValue& value, std::ostream& os) {
    write(value, os, pretty_print);
}

inline std::string write_string(const mValue& value, bool pretty) {
    return write(value, pretty ? pretty_print : none);
}

}  // namespace json_spirit
