// The last response's header lines, read from the transport's header block when a caller asks,
// so that a request pays nothing for them (HeaderBlock.cpp parses).
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "HeaderBlock.h"
#include "VSRestApiConnection.h"

namespace {

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

}  // namespace

std::vector<std::pair<std::string, std::string>> CVSRestApiConnection::getLastResponseHeaders() {
    JxCriticalSectionLock lock(&m_csLock);
    unsigned long length = 0;
    const char* block = m_pCurl->GetHttpResponse(length, true);
    return vsrest::ParseHeaderBlock(block, length);
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
