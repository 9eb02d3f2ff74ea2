// Arbitrary JSON text through json_spirit::read, then json_spirit::write in each layout.
//
// A value holding a NaN or an infinite real (the reader makes 1e400 infinite) must be refused
// with std::runtime_error "real value <nan|inf|-inf> has no JSON form", naming the first such
// real in writing order. Every other value must be written, compact, pretty, with single-line
// arrays and with non-ASCII escaped, as text that read accepts and gives back equal, and that
// writes again to the very same text (so -0.0 keeps its sign). Escaped text must be pure ASCII.
// Anything else is a crash, with the first place where the value read back differs.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "FuzzSupport.h"
#include "json_spirit/json_spirit_reader.h"
#include "json_spirit/json_spirit_writer.h"

using json_spirit::mValue;
using vsfuzz::Fail;
using vsfuzz::Require;

namespace {

// The first NaN or infinity in writing order ("nan", "inf", "-inf"), or null.
const char* NonFinite(const mValue& value) {
    if (value.type() == json_spirit::real_type && !std::isfinite(value.get_real())) {
        return std::isnan(value.get_real()) ? "nan" : value.get_real() < 0 ? "-inf" : "inf";
    }
    const char* found = nullptr;
    if (value.type() == json_spirit::obj_type) {
        for (auto member = value.get_obj().begin(); !found && member != value.get_obj().end();
             ++member) {
            found = NonFinite(member->second);
        }
    } else if (value.type() == json_spirit::array_type) {
        for (auto element = value.get_array().begin(); !found && element != value.get_array().end();
             ++element) {
            found = NonFinite(*element);
        }
    }
    return found;
}

// Where two values differ, or empty when they are equal.
std::string Difference(const mValue& a, const mValue& b) {
    if (a == b) {
        return std::string();
    }
    if (a.type() == json_spirit::real_type && b.type() == json_spirit::real_type) {
        return "the real " + json_spirit::write(a) + " read back as " + json_spirit::write(b);
    }
    if (a.type() == json_spirit::array_type && b.type() == json_spirit::array_type &&
        a.get_array().size() == b.get_array().size()) {
        for (std::size_t i = 0; i < a.get_array().size(); ++i) {
            std::string inner = Difference(a.get_array()[i], b.get_array()[i]);
            if (!inner.empty()) {
                return inner;
            }
        }
    }
    if (a.type() == json_spirit::obj_type && b.type() == json_spirit::obj_type) {
        for (const auto& [key, member] : a.get_obj()) {
            const auto found = b.get_obj().find(key);
            std::string inner =
                found == b.get_obj().end() ? "a key is lost" : Difference(member, found->second);
            if (!inner.empty()) {
                return inner;
            }
        }
    }
    return "read(write(v)) differs from v";
}

void CheckLayout(const mValue& value, unsigned options) {
    const std::string text = json_spirit::write(value, options);
    if ((options & json_spirit::always_escape_nonascii) != 0) {
        Require(std::all_of(text.begin(), text.end(),
                            [](char c) { return static_cast<unsigned char>(c) < 0x80; }),
                "escaped text is pure ASCII");
    }
    mValue back;
    Require(json_spirit::read(text, back), "read accepts what write wrote");
    const std::string difference = Difference(value, back);
    if (!difference.empty()) {
        Fail(difference + ", in: " + text.substr(0, 300));
    }
    Require(json_spirit::write(back, options) == text, "what was read back writes the same text");
}

void CheckRefusal(const mValue& value, const char* name) {
    try {
        json_spirit::write(value);
    } catch (const std::runtime_error& e) {
        Require(e.what() == std::string("real value ") + name + " has no JSON form", e.what());
        return;
    }
    Fail("a value with a NaN or an infinity was written");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    mValue value;
    if (!json_spirit::read(text, value)) {
        return 0;
    }
    if (const char* name = NonFinite(value)) {
        CheckRefusal(value, name);
        return 0;
    }
    try {
        for (const unsigned options :
             {json_spirit::none, json_spirit::pretty_print, json_spirit::single_line_arrays,
              json_spirit::always_escape_nonascii}) {
            CheckLayout(value, options);
        }
    } catch (const std::exception& e) {
        Fail(std::string("write refused a value the reader gave: ") + e.what());
    }
    return 0;
}
