// The last response's header lines, read from the transport's header block when a caller asks,
// so that a request pays nothing for them (HeaderBlock.cpp parses).
#include <string>
#include <utility>
#include <vector>

#include "HeaderBlock.h"
#include "VSRestApiConnection.h"

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
        if (vsrest::EqualsIgnoringCase(lineName, name)) {
            joined += found ? ", " : "";
            joined += value;
            found = true;
        }
    }
    return joined;
}
