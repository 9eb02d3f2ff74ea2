// The last response's header lines, read from the transport's header block when a caller asks,
// so that a request pays nothing for them. The block holds every response of the exchange (an
// interim "100 Continue", each redirect followed, a proxy's CONNECT answer), each opened by its
// status line; only the last one's lines are the answer's.
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ConnectionState.h"
#include "VSRestApiConnection.h"

namespace {

using HeaderLines = std::vector<std::pair<std::string, std::string>>;

std::string_view Trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// One line of the block into `lines`: a status line starts the list again, a line that begins
// with a blank continues the one before, a line without a name is not a header line.
void AddLine(std::string_view line, HeaderLines& lines) {
    if (line.substr(0, 5) == "HTTP/") {
        lines.clear();
    } else if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
        if (!lines.empty()) {
            std::string& value = lines.back().second;
            value += value.empty() ? "" : " ";
            value += Trimmed(line);
        }
    } else if (const size_t colon = line.find(':'); colon != 0 && colon != line.npos) {
        lines.emplace_back(std::string(line.substr(0, colon)),
                           std::string(Trimmed(line.substr(colon + 1))));
    }
}

HeaderLines ParseBlock(const char* block, unsigned long length) {
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

}  // namespace

std::vector<std::pair<std::string, std::string>> CVSRestApiConnection::getLastResponseHeaders() {
    JxCriticalSectionLock lock(&m_csLock);
    unsigned long length = 0;
    const char* block = m_pCurl->GetHttpResponse(length, true);
    return ParseBlock(block, length);
}

std::string CVSRestApiConnection::getLastResponseHeader(const std::string& name) {
    std::string joined;
    bool found = false;
    for (const auto& [lineName, value] : getLastResponseHeaders()) {
        if (EqualsIgnoringCase(lineName, name)) {
            joined += found ? ", " : "";
            joined += value;
            found = true;
        }
    }
    return joined;
}
