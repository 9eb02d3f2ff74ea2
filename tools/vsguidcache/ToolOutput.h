// What the tool prints: ages, the table and the --json objects, with every stored byte shown so
// that a terminal cannot be steered by it and a JSON reader can map it back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json.hpp>

#include "CacheView.h"
#include "ExitCodes.h"
#include "Printable.h"  // control bytes and backslashes escaped, as the example prints them

namespace vsguidcache {

// "3d 4h", "59s", "future" for a negative age.
std::string Age(int64_t seconds);

// The length of the UTF-8 sequence at the start of `text` (not empty), or 0 when it is not one.
size_t Utf8SequenceLength(std::string_view text);
bool IsUtf8(std::string_view text);

// Each byte as the code point of the same value.
std::string Latin1ToUtf8(std::string_view bytes);

// One object of the --json output. Keys, fields and paths are bytes in whatever code page
// wrote them, but JSON text is UTF-8: a field that is not UTF-8 goes out as Latin-1 and is
// named in the object's "latin1" list, so that a reader can tell which fields to map back.
class JsonObject {
public:
    JsonObject& Text(boost::json::string_view name, const std::string& bytes);
    JsonObject& Value(boost::json::string_view name, boost::json::value value);
    // The object, with the Latin-1 list last so that the other fields keep their order.
    boost::json::object Done();

private:
    boost::json::object m_object;
    boost::json::array m_latin1;
};

void PrintJson(const boost::json::object& object);

// The entries as a table, or as one JSON object with them under `title`.
void PrintEntries(bool json, const CacheLocation& where, const std::vector<CacheEntry>& entries,
                  const char* title);

// A command's outcome: `text` for a person, or the key and `outcome` as JSON.
void Say(bool json, const std::string& key, const char* outcome, const std::string& text);

// The message on standard error; returns `code` for the caller to exit with.
int Fail(Exit code, const std::string& message);

}  // namespace vsguidcache
