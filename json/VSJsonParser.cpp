#include "VSJsonParser.h"

namespace {

// What a missing key reads as: its type check then fails like that of a member holding null.
const json_spirit::mValue kMissingMember;

}  // namespace

CVSJsonParser::CVSJsonParser() : m_debug(nullptr) {}

CVSJsonParser::~CVSJsonParser() = default;

bool CVSJsonParser::ConvertNestedStringList(const json_spirit::mObject& object,
                                            const std::string& key,
                                            std::vector<std::string>& values) {
    const auto found = object.find(key);
    const json_spirit::mValue& member = found == object.end() ? kMissingMember : found->second;
    // A deep copy on purpose: the walk holds no reference into the caller's object.
    const json_spirit::mArray items = member.get_array();
    for (const json_spirit::mValue& item : items) {
        if (!item.is_null()) {
            values.push_back(item.get_str());
        }
    }
    return true;
}
