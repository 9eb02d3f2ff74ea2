// PATCH and HEAD. The transport knows four verbs, so these two take the request path of a POST
// and of a GET, and the method is set on the transport through its option setters right around
// the send (CURLOPT_CUSTOMREQUEST, CURLOPT_NOBODY) and taken off right after it: neither a
// request that the hooks issue nor the next request inherits it. patch() and head() hand the
// method to the sendReq they call; the request frame takes it from there (pszNextMethod to
// pszMethod), so a nested request starts without one.
#include <cstring>
#include <string>

#include "ConnectionState.h"
#include "LibraryLog.h"
#include "TransportSeam.h"
#include "VSRestApiConnection.h"

namespace {

constexpr const char* kPatch = "PATCH";
constexpr const char* kHead = "HEAD";

// Clears a method that a client's own sendReq, which need not call the base's, left untaken.
struct NextMethod {
    const char*& pending;
    NextMethod(const char*& slot, const char* method) : pending(slot) { pending = method; }
    ~NextMethod() { pending = nullptr; }
    NextMethod(const NextMethod&) = delete;
    NextMethod& operator=(const NextMethod&) = delete;
};

}  // namespace

bool CVSRestApiConnection::patch(const std::string& resource, const std::string& body,
                                 std::string& response, VSRestApiRequestOptions* options) {
    return SendWithMethod(kPatch, HTTP_REQ_POST, resource, body, response, options);
}

bool CVSRestApiConnection::head(const std::string& resource, VSRestApiRequestOptions* options) {
    std::string none;
    return SendWithMethod(kHead, HTTP_REQ_GET, resource, std::string(), none, options);
}

bool CVSRestApiConnection::SendWithMethod(const char* method, HTTP_REQ_TYPE verb,
                                          const std::string& resource, const std::string& body,
                                          std::string& response, VSRestApiRequestOptions* options) {
    JxCriticalSectionLock lock(&m_csLock);
    const NextMethod next(m_pPrivate->pszNextMethod, method);
    return sendReq(verb, resource, body, response, options);
}

const char* CVSRestApiConnection::requestMethod() const {
    return m_pPrivate->pszMethod;
}

const char* CVSRestApiConnection::VerbText(HTTP_REQ_TYPE verb) const {
    const char* method = m_pPrivate->pszMethod;
    return method != nullptr ? method : JXLibCurl::GetHttpReqTypeString(verb);
}

// A transport that refuses the method fails the request before the send: it would otherwise go
// out as the POST or GET underneath, and a POST creates what a PATCH was to change.
bool CVSRestApiConnection::SetMethod(bool on, const char* label) {
    const char* method = m_pPrivate->pszMethod;
    if (method == nullptr) {
        return true;
    }
    const bool head = std::strcmp(method, kHead) == 0;
    const bool set =
        head ? m_pCurl->JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_NOBODY, on ? 1 : 0)
             : m_pCurl->JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_CUSTOMREQUEST,
                                                                 on ? method : "");
    if (set) {
        return true;
    }
    if (!on) {
        // The next POST or GET would go out with this method: no request is sent until a new
        // connect, which sets the transport up again.
        m_bConnected = false;
        vslog::Error(m_debug, label, "the transport kept the %s method: connect again", method);
        return false;
    }
    const std::string reason = std::string("the transport refused ") +
                               (head ? "CURLOPT_NOBODY" : "CURLOPT_CUSTOMREQUEST") + ": " + method +
                               " cannot be sent";
    vslog::Error(m_debug, label, "%s", reason.c_str());
    vsrest::RecordFailure(*m_pCurl, this, reason);
    return false;
}
