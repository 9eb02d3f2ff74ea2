// The parser of a response's header block, which a server writes: hidden, and apart so that its
// promises are fuzzed on their own. Internal: not installed.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vsrest {

// The header lines of the last response in `block` (length bytes, any bytes), in order: names
// are tokens as the server wrote them; values have no blank at either end and hold no line feed
// (a CR or NUL inside stays as it came); a folded line joins the one before with one blank.
// Linear in the block; the text it returns is never longer than the block.
[[gnu::visibility("hidden")]] std::vector<std::pair<std::string, std::string>> ParseHeaderBlock(
    const char* block, unsigned long length);

// Header names compare without regard to ASCII letter case.
[[gnu::visibility("hidden")]] bool EqualsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace vsrest
