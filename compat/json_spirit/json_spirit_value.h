// A small json_spirit-compatible JSON value model, map-based form only.
//
// A value is one of seven types, numbered as json_spirit numbers them (Value_type below); the
// numbers appear in the type-check message. Objects are std::map (keys unique, ordered
// byte-wise), arrays std::vector; copies are deep.
//
// Typed accessors check the type first and throw std::runtime_error with exactly
//     "value type is <actual> not <expected>"
// (the two numbers in decimal, nothing after them) when it does not match. Further rules:
//  - Signed and unsigned 64-bit integers are both type 4 (int_type); is_uint64() tells them
//    apart. get_int, get_int64 and get_uint64 read either kind, and throw std::runtime_error
//    "value <n> is out of range for <int|int64|uint64>" rather than wrap a value that does not
//    fit the requested type.
//  - get_real also reads an integer, as JSON text does not tell 1 from 1.0.
//  - Equality is by type and content; integers compare by numeric value whatever their
//    signedness, and an integer never equals a real.
#pragma once

#include <boost/variant.hpp>
#include <cstdint>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace json_spirit {

enum Value_type { obj_type, array_type, str_type, bool_type, int_type, real_type, null_type };

struct Null {};
inline bool operator==(Null, Null) {
    return true;
}

template <class Config>
class Value_impl;

template <class String>
struct Config_map {
    typedef String String_type;
    typedef Value_impl<Config_map> Value_type;
    typedef std::map<String_type, Value_type> Object_type;
    typedef std::vector<Value_type> Array_type;
    typedef typename Object_type::value_type Pair_type;
};

template <class Config>
class Value_impl {
public:
    typedef Config Config_type;
    typedef typename Config::String_type String_type;
    typedef typename Config::Object_type Object;
    typedef typename Config::Array_type Array;
    typedef typename String_type::const_pointer Const_str_ptr;

    Value_impl() : m_variant(Null()) {}
    Value_impl(Const_str_ptr value) : m_variant(String_type(value)) {}
    Value_impl(const String_type& value) : m_variant(value) {}
    Value_impl(String_type&& value) : m_variant(std::move(value)) {}
    Value_impl(const Object& value) : m_variant(value) {}
    Value_impl(Object&& value) : m_variant(std::move(value)) {}
    Value_impl(const Array& value) : m_variant(value) {}
    Value_impl(Array&& value) : m_variant(std::move(value)) {}
    Value_impl(bool value) : m_variant(value) {}
    Value_impl(int value) : m_variant(static_cast<std::int64_t>(value)) {}
    Value_impl(std::int64_t value) : m_variant(value) {}
    Value_impl(std::uint64_t value) : m_variant(value) {}
    Value_impl(double value) : m_variant(value) {}

    Value_type type() const {
        const int which = m_variant.which();
        return which == kUint64Index ? int_type : static_cast<Value_type>(which);
    }
    bool is_uint64() const { return m_variant.which() == kUint64Index; }
    bool is_null() const { return type() == null_type; }

    const String_type& get_str() const { return Get<String_type>(str_type); }
    const Object& get_obj() const { return Get<Object>(obj_type); }
    Object& get_obj() { return Get<Object>(obj_type); }
    const Array& get_array() const { return Get<Array>(array_type); }
    Array& get_array() { return Get<Array>(array_type); }
    bool get_bool() const { return Get<bool>(bool_type); }

    int get_int() const {
        check_type(int_type);
        const std::int64_t low = std::numeric_limits<int>::min();
        const std::int64_t high = std::numeric_limits<int>::max();
        if (is_uint64() ? Unsigned() > static_cast<std::uint64_t>(high)
                        : Signed() < low || Signed() > high) {
            ThrowOutOfRange("int");
        }
        return static_cast<int>(is_uint64() ? static_cast<std::int64_t>(Unsigned()) : Signed());
    }
    std::int64_t get_int64() const {
        check_type(int_type);
        const std::uint64_t high = std::numeric_limits<std::int64_t>::max();
        if (is_uint64() && Unsigned() > high) {
            ThrowOutOfRange("int64");
        }
        return is_uint64() ? static_cast<std::int64_t>(Unsigned()) : Signed();
    }
    std::uint64_t get_uint64() const {
        check_type(int_type);
        if (!is_uint64() && Signed() < 0) {
            ThrowOutOfRange("uint64");
        }
        return is_uint64() ? Unsigned() : static_cast<std::uint64_t>(Signed());
    }
    double get_real() const {
        if (type() == int_type) {
            return is_uint64() ? static_cast<double>(Unsigned()) : static_cast<double>(Signed());
        }
        return Get<double>(real_type);
    }

    bool operator==(const Value_impl& other) const {
        if (type() != other.type()) {
            return false;
        }
        if (type() == int_type && is_uint64() != other.is_uint64()) {
            // Mixed signedness: equal only for a non-negative signed value of the same size.
            const std::int64_t s = is_uint64() ? other.Signed() : Signed();
            const std::uint64_t u = is_uint64() ? Unsigned() : other.Unsigned();
            return s >= 0 && static_cast<std::uint64_t>(s) == u;
        }
        return m_variant == other.m_variant;
    }
    bool operator!=(const Value_impl& other) const { return !(*this == other); }

    void check_type(Value_type expected) const {
        if (type() != expected) {
            throw std::runtime_error("value type is " + std::to_string(type()) + " not " +
                                     std::to_string(expected));
        }
    }

private:
    // The first seven alternatives sit at the index of their Value_type; unsigned integers
    // come last and report int_type.
    typedef boost::variant<boost::recursive_wrapper<Object>, boost::recursive_wrapper<Array>,
                           String_type, bool, std::int64_t, double, Null, std::uint64_t>
        Variant;
    static constexpr int kUint64Index = 7;

    template <class T>
    const T& Get(Value_type expected) const {
        check_type(expected);
        return boost::get<T>(m_variant);
    }
    template <class T>
    T& Get(Value_type expected) {
        check_type(expected);
        return boost::get<T>(m_variant);
    }
    std::int64_t Signed() const { return boost::get<std::int64_t>(m_variant); }
    std::uint64_t Unsigned() const { return boost::get<std::uint64_t>(m_variant); }
    [[noreturn]] void ThrowOutOfRange(const char* target) const {
        const std::string text =
            is_uint64() ? std::to_string(Unsigned()) : std::to_string(Signed());
        throw std::runtime_error("value " + text + " is out of range for " + target);
    }

    Variant m_variant;
};

typedef Config_map<std::string> mConfig;
typedef mConfig::Value_type mValue;
typedef mConfig::Object_type mObject;
typedef mConfig::Array_type mArray;
typedef mConfig::Pair_type mPair;

}  // namespace json_spirit
