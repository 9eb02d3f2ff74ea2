/// @class CVSJsonParser
/// @brief String lists out of parsed JSON.
///
/// The caller parses the JSON text (for instance with json_spirit::read from
/// "json_spirit/json_spirit_reader.h") and hands in an object of the map-based value model.
#pragma once

#include <string>
#include <vector>

#include "JxJson.h"
#include "TqDebug.h"
#include "VSSupportExport.h"
#include "json_spirit/json_spirit_value.h"

class VSSUPPORT_EXPORT CVSJsonParser : public JxJson {
public:
    /// A parser with no state of its own: one object serves any number of calls.
    CVSJsonParser();
    /// Destroys the parser; nothing handed in is touched.
    virtual ~CVSJsonParser();
    CVSJsonParser(const CVSJsonParser&) = delete;
    CVSJsonParser& operator=(const CVSJsonParser&) = delete;

    /// Appends the strings of the array under key (exact, case-sensitive) to values, in array
    /// order, after what values already holds; null elements are skipped, empty strings and
    /// duplicates kept. Only one level is read. Returns true; every failure is an exception
    /// passed through unchanged from the value model, std::runtime_error
    /// `"value type is <actual> not <expected>"`:
    ///  - the member is not an array: (actual, 1), values unchanged;
    ///  - a missing key counts as a member holding null: (6, 1), values unchanged;
    ///  - an element is neither null nor a string: (actual, 2), the strings of the earlier
    ///    elements stay appended and the rest are not read.
    bool ConvertNestedStringList(const json_spirit::mObject& object, const std::string& key,
                                 std::vector<std::string>& values);

private:
    TqDebug m_debug;  // writes nothing; kept for the platform's log lifecycle
};
