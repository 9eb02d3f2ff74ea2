// The settings a client assigns once: the connect timeout, the statuses that are answers, the
// cap on the bodies that exchange lines show. They live in the private state and hold across
// connects; connect sets the timeout after its policy, and the request path sets it again
// before the next request when it changes after connect.
#include <algorithm>
#include <climits>
#include <string>

#include "ConnectionState.h"
#include "LibraryLog.h"
#include "TransportSeam.h"
#include "VSRestApiConnection.h"

void CVSRestApiConnection::setConnectTimeout(long timeoutMs) {
    JxCriticalSectionLock lock(&m_csLock);
    m_pPrivate->nConnectTimeoutMs = std::max(timeoutMs, 0L);
    m_pPrivate->bConnectTimeoutPending = true;
}

void CVSRestApiConnection::setExpectedStatuses(const std::vector<long>& statuses) {
    JxCriticalSectionLock lock(&m_csLock);
    m_pPrivate->expectedStatuses = statuses;
}

void CVSRestApiConnection::setLogBodyLimit(size_t bytes) {
    JxCriticalSectionLock lock(&m_csLock);
    m_pPrivate->nLogBodyLimit = bytes;
}

// In milliseconds where the transport takes them, else in the whole seconds that HTTP-8 lists,
// rounded up so that the bound is never shorter than asked. False, with the reason recorded,
// when it takes neither.
bool CVSRestApiConnection::ApplyConnectTimeout(const char* label) {
    Private& state = *m_pPrivate;
    if (state.nConnectTimeoutMs < 0) {
        return true;
    }
    const long ms = std::min<long>(state.nConnectTimeoutMs, INT_MAX);
    const int seconds = static_cast<int>((ms + 999) / 1000);
    if (m_pCurl->JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_CONNECTTIMEOUT_MS,
                                                       static_cast<int>(ms)) ||
        m_pCurl->JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_CONNECTTIMEOUT, seconds)) {
        state.bConnectTimeoutPending = false;
        return true;
    }
    const std::string reason = "Failed to set curl option:[CURLOPT_CONNECTTIMEOUT]";
    vslog::Error(m_debug, label, "%s", reason.c_str());
    vsrest::RecordFailure(*m_pCurl, this, reason);
    return false;
}

bool CVSRestApiConnection::IsExpectedStatus() const {
    const std::vector<long>& expected = m_pPrivate->expectedStatuses;
    const long status = static_cast<long>(m_pCurl->GetHttpErrorCode());
    return status > 0 && std::find(expected.begin(), expected.end(), status) != expected.end();
}
