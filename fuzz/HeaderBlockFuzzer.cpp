// A response's header block, which the server writes, through the parser behind
// getLastResponseHeaders. Promised for any bytes: names are non-empty tokens; values hold no line
// feed and no blank at either end; the text returned is never longer than the block (so
// the work is linear in it); and only the last response counts: the lines after the block's last
// status line give the same result on their own.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "HeaderBlock.h"

using vsfuzz::Require;

namespace {

bool IsTokenChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

void CheckLine(const std::string& name, const std::string& value) {
    Require(!name.empty(), "an empty name");
    for (const char c : name) {
        Require(IsTokenChar(c), "a name that is not a token");
    }
    Require(value.find('\n') == std::string::npos, "a value that holds a line feed");
    Require(value.empty() || (value.front() != ' ' && value.front() != '\t' &&
                              value.back() != ' ' && value.back() != '\t'),
            "a value with a blank at an end");
}

// Where the block's last status line starts ("HTTP/" at the start of a line), or 0.
size_t LastResponse(std::string_view text) {
    size_t last = 0;
    for (size_t pos = 0; pos < text.size();) {
        if (text.substr(pos, 5) == "HTTP/") {
            last = pos;
        }
        const size_t end = text.find('\n', pos);
        pos = end == std::string_view::npos ? text.size() : end + 1;
    }
    return last;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* block = reinterpret_cast<const char*>(data);
    const auto lines = vsrest::ParseHeaderBlock(block, size);
    size_t returned = 0;
    for (const auto& [name, value] : lines) {
        CheckLine(name, value);
        returned += name.size() + value.size();
    }
    Require(returned <= size, "more text returned than the block holds");
    const size_t last = LastResponse(std::string_view(block, size));
    Require(vsrest::ParseHeaderBlock(block + last, size - last) == lines,
            "lines of an earlier response were kept");
    return 0;
}
