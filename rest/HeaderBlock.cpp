// The parser of a response's header block. The block holds every response of the exchange (an
// interim "100 Continue", each redirect followed, a proxy's CONNECT answer), each opened by its
// status line; only the last one's lines are the answer's. The server writes all of it. A value
// is handed over as the server sent it, a CR or NUL inside included: a client that checks it
// sees what came, and one that copies it into a header line of its own is refused by the
// transport rather than sent a value changed on the way.
#include "HeaderBlock.h"

#include <algorithm>
#include <string_view>

namespace {

using HeaderLines = std::vector<std::pair<std::string, std::string>>;

std::string_view Trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A field name is a token: a line whose name holds a blank or a control byte is no header line.
bool IsToken(std::string_view name) {
    constexpr std::string_view kMarks = "!#$%&'*+-.^_`|~";
    for (const char c : name) {
        const bool alnum =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!alnum && kMarks.find(c) == std::string_view::npos) {
            return false;
        }
    }
    return !name.empty();
}

// One line of the block into `lines`: a status line starts the list again, a line that begins
// with a blank continues the one before (joined with one blank), a line without a name is not a
// header line.
void AddLine(std::string_view line, HeaderLines& lines) {
    if (line.substr(0, 5) == "HTTP/") {
        lines.clear();
    } else if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
        const std::string_view more = Trimmed(line);
        if (!lines.empty() && !more.empty()) {
            std::string& value = lines.back().second;
            value += value.empty() ? "" : " ";
            value += more;
        }
    } else if (const size_t colon = line.find(':');
               colon != line.npos && IsToken(line.substr(0, colon))) {
        lines.emplace_back(std::string(line.substr(0, colon)),
                           std::string(Trimmed(line.substr(colon + 1))));
    }
}

}  // namespace

namespace vsrest {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

HeaderLines ParseHeaderBlock(const char* block, unsigned long length) {
    HeaderLines lines;
    const std::string_view text =
        block != nullptr ? std::string_view(block, length) : std::string_view();
    for (size_t pos = 0; pos < text.size();) {
        const size_t end = std::min(text.find('\n', pos), text.size());
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        AddLine(line, lines);
    }
    return lines;
}

}  // namespace vsrest
