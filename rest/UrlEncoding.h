// Percent-encoding for query arguments. UrlEncode hands a text to the transport's escaping;
// when that gives nothing back, the caller must still get an encoded text, never the raw one
// ("a&b=c" would add a parameter of its own to the query), so this encodes it the same way:
// every byte but RFC 3986's unreserved characters as %XX.
// Internal: not installed.
#pragma once

#include <string>

namespace vsrest {

std::string PercentEncode(const std::string& text);

}  // namespace vsrest
