// Arbitrary JSON text through json_spirit::read and CVSJsonParser::ConvertNestedStringList.
//
// read reports malformed text by its result, read_or_throw by std::runtime_error, and the two
// agree. Every member of a parsed object (a parsed value that is not an object is put under a
// key of a new one), and a key that is missing, goes through ConvertNestedStringList: it either
// appends exactly the non-null elements or throws std::runtime_error itself (no other type, not
// even a derived one) with the text "value type is <actual> not <1|2>". Anything else escapes
// the target and is a crash.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "FuzzSupport.h"
#include "VSJsonParser.h"
#include "json_spirit/json_spirit_reader.h"

using vsfuzz::Fail;
using vsfuzz::Require;

namespace {

// "value type is A not E" with A a type number other than E, and E the expected type.
bool IsTypeError(const std::string& message, int expected) {
    const std::string head = "value type is ";
    const std::string tail = " not " + std::to_string(expected);
    if (message.size() != head.size() + 1 + tail.size() ||
        message.compare(0, head.size(), head) != 0 ||
        message.compare(head.size() + 1, std::string::npos, tail) != 0) {
        return false;
    }
    const char actual = message[head.size()];
    return actual >= '0' && actual <= '6' && actual - '0' != expected;
}

void CheckRead(const std::string& text, bool parsed) {
    json_spirit::mValue again;
    try {
        json_spirit::read_or_throw(text, again);
        Require(parsed, "read_or_throw accepts only what read accepts");
    } catch (const std::runtime_error& e) {
        Require(typeid(e) == typeid(std::runtime_error), "read_or_throw throws runtime_error");
        Require(!parsed, "read_or_throw refuses only what read refuses");
        Require(again.is_null(), "a refused text leaves the value as it was");
    }
}

void Convert(CVSJsonParser& json, const json_spirit::mObject& object, const std::string& key) {
    std::vector<std::string> values{"kept"};
    try {
        Require(json.ConvertNestedStringList(object, key, values), "a normal return is true");
    } catch (const std::runtime_error& e) {
        if (typeid(e) != typeid(std::runtime_error)) {
            Fail(std::string("ConvertNestedStringList threw a ") + typeid(e).name());
        }
        const auto found = object.find(key);
        const bool isArray =
            found != object.end() && found->second.type() == json_spirit::array_type;
        Require(IsTypeError(e.what(), isArray ? 2 : 1), e.what());
        Require(isArray || values.size() == 1, "a non-array appends nothing");
        return;
    }
    Require(values.front() == "kept", "earlier strings stay in front");
    size_t strings = 0;
    for (const json_spirit::mValue& item : object.at(key).get_array()) {
        if (!item.is_null()) {
            Require(item.get_str() == values.at(++strings), "strings appended in array order");
        }
    }
    Require(values.size() == strings + 1, "exactly the non-null elements are appended");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    json_spirit::mValue value;
    const bool parsed = json_spirit::read(text, value);  // documented not to throw
    Require(parsed || value.is_null(), "a refused text leaves the value as it was");
    CheckRead(text, parsed);
    if (!parsed) {
        return 0;
    }

    json_spirit::mObject object;
    if (value.type() == json_spirit::obj_type) {
        object = value.get_obj();
    } else {
        object["list"] = value;
    }
    CVSJsonParser json;
    std::string missing = "#";
    for (const auto& member : object) {
        Convert(json, object, member.first);
        missing += member.first;  // longer than every key, so no key equals it
    }
    Convert(json, object, missing);
    return 0;
}
