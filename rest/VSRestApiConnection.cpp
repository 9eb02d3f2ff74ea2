#include "VSRestApiConnection.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "ConnectionState.h"
#include "Labels.h"
#include "LibraryLog.h"
#include "RetryPolicy.h"
#include "ServerText.h"
#include "Timings.h"
#include "TransportSeam.h"
#include "UrlEncoding.h"

using namespace vsrest::labels;

namespace {

constexpr size_t kQueryArgumentBuffer = 2048;

constexpr const char* kNotConnected = "not connected: call connect() first";

// How often a request's header hooks run when each run issues a nested request and the
// transport cannot set the lines aside (no header stack): the second run normally finds the
// login done; a third that still nests means the hooks never settle.
constexpr int kHeaderRuns = 3;

// The transport policy the library promises, set through the option setters at every connect:
// http and https only, redirects (when a client turns following on) to https only, TLS 1.2 or
// later, a connect timeout and an abort of a transfer that stalls.
struct IntPolicy {
    CURLoption option;
    const char* name;
    int value;
};
constexpr IntPolicy kIntPolicy[] = {
    {CURLOPT_SSLVERSION, "CURLOPT_SSLVERSION", CURL_SSLVERSION_TLSv1_2},
    {CURLOPT_CONNECTTIMEOUT, "CURLOPT_CONNECTTIMEOUT", 30},
    {CURLOPT_LOW_SPEED_LIMIT, "CURLOPT_LOW_SPEED_LIMIT", 1},
    {CURLOPT_LOW_SPEED_TIME, "CURLOPT_LOW_SPEED_TIME", 60},
    // The whole exchange's bound: the stall abort ends only a transfer slower than 1 byte/s.
    {CURLOPT_TIMEOUT_MS, "CURLOPT_TIMEOUT_MS", CVSRestApiConnection::kDefaultRequestDeadlineMs},
};
struct StringPolicy {
    CURLoption option;
    const char* name;
    const char* value;
};
constexpr StringPolicy kStringPolicy[] = {
    {CURLOPT_PROTOCOLS_STR, "CURLOPT_PROTOCOLS_STR", "http,https"},
    {CURLOPT_REDIR_PROTOCOLS_STR, "CURLOPT_REDIR_PROTOCOLS_STR", "https"},
};

// Which connection, if any, the calling thread watches for nested requests while its header
// hooks run, and how many requests the hooks made on it (RunHeaderHooks watches, RequestFrame
// counts).
struct NestWatch {
    const void* connection = nullptr;
    unsigned entries = 0;
};
thread_local NestWatch t_nestWatch;

}  // namespace

// One request's nesting state, set up and undone in one place. A request may be issued from
// inside another's hooks (a lazy login in addLoginCurlHeaders); it runs the whole path itself,
// with its own secret marking, header lines and body loan, and the outer request must find its
// own again whichever way the inner one returns. The frame opens right after the connected
// check and its destructor undoes in reverse what it set up. Without a header stack the outer
// request's lines cannot be set aside, so RunHeaderHooks runs its hooks again, told of the
// nesting by the frame. The depth lives in the connection's private state, the marking in
// m_bSecretExchange, which clients read. What can throw (the client's isSecretRequest, setting
// the lines aside) comes before any state is changed.
class CVSRestApiConnection::RequestFrame {
public:
    RequestFrame(CVSRestApiConnection& conn, bool secret)
        : m_conn(conn),
          m_bOuterSecret(conn.m_bSecretExchange),
          m_pszOuterMethod(conn.m_pPrivate->pszMethod),
          m_bSetAside(conn.m_pPrivate->nRequestDepth > 0 && vsrest::PushHeaders(*conn.m_pCurl)) {
        if (t_nestWatch.connection == &conn) {
            ++t_nestWatch.entries;  // a request from this connection's own header hooks
        }
        conn.m_bSecretExchange = secret;
        conn.m_pPrivate->pszMethod = conn.m_pPrivate->pszNextMethod;
        conn.m_pPrivate->pszNextMethod = nullptr;  // not a nested request's
        ++conn.m_pPrivate->nRequestDepth;
    }
    ~RequestFrame() {
        if (m_bLent) {
            vsrest::EndBodyLoan(*m_conn.m_pCurl);
        }
        if (m_bSetAside) {
            vsrest::PopHeaders(*m_conn.m_pCurl);
        }
        --m_conn.m_pPrivate->nRequestDepth;
        m_conn.m_pPrivate->pszMethod = m_pszOuterMethod;
        m_conn.m_bSecretExchange = m_bOuterSecret;
    }
    RequestFrame(const RequestFrame&) = delete;
    RequestFrame& operator=(const RequestFrame&) = delete;

    // Lends the body that recvResp took over back to the transport, so that the hooks after it
    // still read it through GetHttpResponse, until the request returns: past that point the
    // string is the caller's to change or destroy. Only the request path lends, so a client's
    // own sendReq that calls recvResp lends nothing.
    void LendBody(const std::string& body) {
        vsrest::LendBody(*m_conn.m_pCurl, body);
        m_bLent = true;
    }

private:
    CVSRestApiConnection& m_conn;
    const bool m_bOuterSecret;
    const char* const m_pszOuterMethod;
    const bool m_bSetAside;
    bool m_bLent = false;
};

VSRestApiRequestOptions::~VSRestApiRequestOptions() = default;

CVSRestApiConnection::CVSRestApiConnection()
    : m_pCurl(nullptr),
      m_bConnected(false),
      m_debug(nullptr),
      m_bUseHttps(false),
      m_nPort(0),
      m_bDebugEnabled(false),
      m_bUseLoginHeaders(false),
      m_bSecretExchange(false),
      m_pPrivate(std::make_unique<Private>()) {
    // Last, so that a throwing transport constructor leaves nothing behind to free.
    m_pCurl = new JXLibCurl();
    vsrest::FailureNotes::Clear(this);  // a note of an object that lived here before
}

CVSRestApiConnection::~CVSRestApiConnection() {
    vsrest::FailureNotes::Clear(this);
    delete m_pCurl;
    m_pCurl = nullptr;
}

void CVSRestApiConnection::enableDebug() {
    m_bDebugEnabled = true;
}

bool CVSRestApiConnection::connect(const std::string& server, bool skipSslVerify,
                                   const std::string& caFile) {
    // Under the request lock, where getLastCurlError reads the reason of a refusal.
    JxCriticalSectionLock lock(&m_csLock);
    // Refusals that touch nothing come first: the earlier server, transport and state hold.
    const std::string refusal =
        m_strContentType.empty()
            ? "Content type is not set"
            : vsrest::SetupRefusal(server, m_nPort, m_strBasePath, skipSslVerify ? "" : caFile);
    if (!refusal.empty()) {
        RefuseConnect(refusal);
        return false;
    }
    // From here on the transport has dropped its earlier settings (the CA file, verification),
    // so a failure must not leave the object connected with whatever half of them is set.
    m_bConnected = ConfigureTransport(skipSslVerify, caFile);
    if (m_bConnected) {
        m_strServer = server;
        vsrest::ForgetFailure(*m_pCurl, this);
    }
    return m_bConnected;
}

bool CVSRestApiConnection::ConfigureTransport(bool skipSslVerify, const std::string& caFile) {
    if (!m_pCurl->JXLibCurlInit(m_strContentType.c_str(), skipSslVerify, false, nullptr)) {
        RefuseConnect("Failed to Initialize Curl Library");
        return false;
    }
    if (!m_pCurl->JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_NOSIGNAL, 1)) {
        RefuseConnect("Failed to set curl option:[CURLOPT_NOSIGNAL]");
        return false;
    }
    if (!ApplyTransportPolicy() || !ApplyConnectTimeout(kConnectLabel) || !ApplyProxy()) {
        return false;
    }
    if (!skipSslVerify && !caFile.empty() &&
        !m_pCurl->JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_CAINFO, caFile)) {
        RefuseConnect("Failed to set curl option CURLOPT_CAINFO :[" + caFile + "]");
        return false;
    }
    return true;
}

// The policy is the library's to keep, so it is set here on any platform's transport; one the
// transport refuses fails connect rather than leave requests without it.
bool CVSRestApiConnection::ApplyTransportPolicy() {
    for (const IntPolicy& policy : kIntPolicy) {
        if (!m_pCurl->JXLibCurlSetAdditionalOptionsIntValue(policy.option, policy.value)) {
            RefuseConnect(std::string("Failed to set curl option:[") + policy.name + "]");
            return false;
        }
    }
    for (const StringPolicy& policy : kStringPolicy) {
        if (!m_pCurl->JXLibCurlSetAdditionalOptionsStringValue(policy.option, policy.value)) {
            RefuseConnect(std::string("Failed to set curl option:[") + policy.name + "]");
            return false;
        }
    }
    // Compressed bodies in every encoding libcurl was built with (Compression.cpp): a saving,
    // not a safeguard, so a transport that refuses the option still connects, with plain bodies.
    if (!m_pCurl->JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_ACCEPT_ENCODING, "")) {
        vslog::Debug(m_debug, kConnectLabel, 2,
                     "The transport refused CURLOPT_ACCEPT_ENCODING: "
                     "bodies come uncompressed");
    }
    return true;
}

// The Error line, and the same text where a caller reads failures (getLastCurlError).
void CVSRestApiConnection::RefuseConnect(const std::string& reason) {
    vslog::Error(m_debug, kConnectLabel, "%s", reason.c_str());
    vsrest::RecordFailure(*m_pCurl, this, reason);
}

bool CVSRestApiConnection::computeUrl(const std::string& server, const std::string& resource,
                                      const VSRestApiRequestOptions* /*options*/,
                                      std::string& url) {
    // Plain appends rather than a string stream: the stream was the largest cost that the
    // library added to a request, and it writes the port with the global locale's digit
    // grouping ("8,443") once a program installs a locale that groups.
    std::string composed(m_bUseHttps ? "https://" : "http://");
    composed += server;
    if (m_nPort != 0) {
        composed += ':';
        composed += std::to_string(m_nPort);
    }
    composed += m_strBasePath;
    // One "/" between the base path and a resource without one, unless the base path ends in
    // one: a base path of "/" or "/api/" gives "/vms" and "/api/vms", not "//vms" (a path that
    // some servers refuse). A resource that starts with "/" is written as given.
    const bool slashed = !m_strBasePath.empty() && m_strBasePath.back() == '/';
    if ((resource.empty() || resource[0] != '/') && !slashed) {
        composed += '/';
    }
    composed += resource;
    url = std::move(composed);
    vslog::Debug(m_debug, kComputeUrlLabel, 2, "Computed URL [%s]", url.c_str());
    return true;
}

bool CVSRestApiConnection::get(const std::string& resource, std::string& response,
                               VSRestApiRequestOptions* options) {
    return sendReq(HTTP_REQ_GET, resource, std::string(), response, options);
}

bool CVSRestApiConnection::del(const std::string& resource, const std::string& body,
                               std::string& response, VSRestApiRequestOptions* options) {
    return sendReq(HTTP_REQ_DELETE, resource, body, response, options);
}

bool CVSRestApiConnection::post(const std::string& resource, const std::string& body,
                                std::string& response, VSRestApiRequestOptions* options) {
    return sendReq(HTTP_REQ_POST, resource, body, response, options);
}

bool CVSRestApiConnection::put(const std::string& resource, const std::string& body,
                               std::string& response, VSRestApiRequestOptions* options) {
    return sendReq(HTTP_REQ_PUT, resource, body, response, options);
}

bool CVSRestApiConnection::sendReq(HTTP_REQ_TYPE verb, const std::string& resource,
                                   const std::string& body, std::string& response,
                                   VSRestApiRequestOptions* options) {
    JxCriticalSectionLock lock(&m_csLock);
    if (!m_bConnected) {
        vslog::Error(m_debug, kSendReqLabel,
                     "Error:Connect module has to be called before making any queries.");
        vsrest::RecordFailure(*m_pCurl, this, kNotConnected);  // no exchange: status 0
        return false;
    }
    RequestFrame frame(*this, isSecretRequest(verb, resource, options));
    const int64_t startUs = AnswerClockUs();
    if (m_pPrivate->bConnectTimeoutPending && !ApplyConnectTimeout(kSendReqLabel)) {
        return false;
    }
    std::string url;
    computeUrl(m_strServer, resource, options, url);
    // A copy: a hook may change the connection's policy for the requests after this one.
    const VSRestApiRetryPolicy policy = m_pPrivate->retryPolicy;
    const bool policyOn = policy.nMaxAttempts > 1;
    const bool repeatable = policyOn && isRepeatableRequest(verb, resource, options);
    const vsrest::RetryClock clock(policyOn ? policy.nDeadlineMs : 0);
    std::optional<TimingsLine> timings;  // each attempt's line; the last one's after the others
    bool sent = false;
    for (int attempt = 1;; ++attempt) {
        if (m_pPrivate->IsCancelled()) {
            break;  // before this attempt, or the wait before it ended by cancel()
        }
        if (!RunHeaderHooks(verb, resource, body, options) || !LimitAttempt(clock.RemainingMs())) {
            return false;
        }
        const std::optional<bool> exchanged = SendOnce(verb, url, body);
        if (!exchanged) {
            return false;
        }
        sent = *exchanged;
        timings.emplace(*this, kSendReqLabel, verb, url);
        recvResp(response);  // takes the body over without a copy where the transport can
        frame.LendBody(response);
        if (sent || !repeatable ||
            !WaitToRetry(verb, url, response, policy, attempt, clock.RemainingMs())) {
            break;
        }
    }
    if (!sent && m_pPrivate->IsCancelled()) {
        Private::NoteCancelled(*m_pCurl, this, timings.has_value());
    }
    Conclude(sent, verb, url, body, response);
    LogAnswer(verb, url, response, startUs);
    return sent;
}

// One attempt's exchange, after its request lines, with the request's method (patch, head) set
// around the send only. No value when the method could not be set: nothing was sent.
std::optional<bool> CVSRestApiConnection::SendOnce(HTTP_REQ_TYPE verb, const std::string& url,
                                                   const std::string& body) {
    LogRequest(verb, url, body);
    if (body.empty()) {
        LogBodylessRequest(verb, url);
    }
    vsrest::FailureNotes::Clear(this);  // an exchange: the text of the one before is gone
    if (!SetMethod(true, kSendReqLabel)) {
        return std::nullopt;
    }
    const bool sent = Exchanged(m_pCurl->JXLibCurlSendHttpReqLog(
        verb, url.c_str(), body.data(), body.size(), false, false, nullptr));
    return SetMethod(false, kSendReqLabel) && sent;
}

// After the last attempt: the failure's lines (none for a status the client expects), or the
// login hook and the response line.
void CVSRestApiConnection::Conclude(bool sent, HTTP_REQ_TYPE verb, const std::string& url,
                                    const std::string& body, const std::string& response) {
    if (!sent) {
        if (!IsExpectedStatus()) {
            LogError(verb, url, body, response);
        }
        return;
    }
    if (m_bUseLoginHeaders) {
        saveLoginCurlHeaders();
    }
    LogResponse(verb, url, response);
}

// The attempt's time limit, once the library keeps CURLOPT_TIMEOUT_MS (a deadline or a policy
// was set): a transport that refuses it fails the request rather than let it run unbounded.
bool CVSRestApiConnection::LimitAttempt(long remainingMs) {
    if (!m_pPrivate->bSetsTimeout) {
        return true;
    }
    const long timeout = vsrest::AttemptTimeoutMs(m_pPrivate->nRequestDeadlineMs, remainingMs);
    const int value = static_cast<int>(std::min<long>(timeout, INT_MAX));
    if (m_pCurl->JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT_MS, value)) {
        return true;
    }
    const std::string reason = "Failed to set curl option:[CURLOPT_TIMEOUT_MS]";
    vslog::Error(m_debug, kSendReqLabel, "%s", reason.c_str());
    vsrest::RecordFailure(*m_pCurl, this, reason);
    return false;
}

// After a failed attempt of a repeatable request: whether the outcome and the policy allow
// another, and then the wait for it (one line first, at level 0, so that the default log shows
// why a request took longer). False: the attempt just made is the request's last.
bool CVSRestApiConnection::WaitToRetry(HTTP_REQ_TYPE verb, const std::string& url,
                                       const std::string& response,
                                       const VSRestApiRetryPolicy& policy, int attempt,
                                       long remainingMs) {
    if (attempt >= policy.nMaxAttempts) {
        return false;
    }
    unsigned long length = 0;
    const char* block = m_pCurl->GetHttpResponse(length, true);
    if (IsExpectedStatus() ||
        !vsrest::IsRetriedOutcome(m_pCurl->GetHttpErrorCode(), length != 0 || !response.empty())) {
        return false;
    }
    long retryAfterMs = -1;
    vsrest::ParseRetryAfter(vsrest::RetryAfterValue(block, length), std::time(nullptr),
                            retryAfterMs);
    const long wait =
        vsrest::NextWaitMs(policy, attempt, retryAfterMs, remainingMs, vsrest::JitterUnit());
    if (wait < 0) {
        return false;
    }
    vslog::Debug(m_debug, kSendReqLabel, 0,
                 "Retrying %s [%s]: attempt %d of %d failed (%s); next attempt in %ld ms",
                 VerbText(verb), url.c_str(), attempt, policy.nMaxAttempts,
                 getLastCurlError().c_str(), wait);
    return m_pPrivate->WaitBetweenAttempts(wait);
}

void CVSRestApiConnection::setRetryPolicy(const VSRestApiRetryPolicy& policy) {
    JxCriticalSectionLock lock(&m_csLock);
    m_pPrivate->retryPolicy = policy;
    m_pPrivate->bSetsTimeout = m_pPrivate->bSetsTimeout || policy.nMaxAttempts > 1;
}

VSRestApiRetryPolicy CVSRestApiConnection::getRetryPolicy() {
    JxCriticalSectionLock lock(&m_csLock);
    return m_pPrivate->retryPolicy;
}

void CVSRestApiConnection::setRequestDeadline(long deadlineMs) {
    JxCriticalSectionLock lock(&m_csLock);
    m_pPrivate->nRequestDeadlineMs = std::max(deadlineMs, 0L);
    m_pPrivate->bSetsTimeout = true;
}

// The header hooks, with the transport's list emptied first. A failing hook has written its
// own line; the request still goes out. Where the transport cannot set lines aside, a request
// the hooks issued on this connection emptied the list and filled it with its own lines, so the
// hooks run again (a lazy login finds its token the second time); hooks that issue a request on
// every run fail the request, with a reason, rather than send another request's lines.
bool CVSRestApiConnection::RunHeaderHooks(HTTP_REQ_TYPE verb, const std::string& resource,
                                          const std::string& body,
                                          const VSRestApiRequestOptions* options) {
    constexpr bool kStack = vsrest::HasHeaderStack<JXLibCurl>::value;
    for (int run = 0; run < (kStack ? 1 : kHeaderRuns); ++run) {
        const NestWatch outer = t_nestWatch;
        t_nestWatch = NestWatch{this, 0};
        m_pCurl->JXLibCurlFreeHttpHeaderList();
        addCurlHeaders(verb, resource, body, options);
        if (m_bUseLoginHeaders) {
            addLoginCurlHeaders();
        }
        const bool nested = t_nestWatch.entries != 0;
        t_nestWatch = outer;
        if (kStack || !nested) {
            WithholdEncodingOffer(kSendReqLabel);
            return true;
        }
    }
    const std::string reason =
        "the header hooks issued a request on every one of " + std::to_string(kHeaderRuns) +
        " runs, and the transport cannot keep the requests' header lines apart";
    vslog::Error(m_debug, kSendReqLabel, "%s", reason.c_str());
    vsrest::RecordFailure(*m_pCurl, this, reason);
    return false;
}

// The send's result as the library promises it: true only for an answer with a status below
// 400, whatever the platform's send says of a completed exchange. A status the send let
// through is the failure's reason where the transport gave none.
bool CVSRestApiConnection::Exchanged(bool sent) {
    const int64_t status = m_pCurl->GetHttpErrorCode();
    if (!sent || (status > 0 && status < 400)) {
        return sent;
    }
    const char* text = m_pCurl->GetCurlErrorBuffer();
    if (text == nullptr || *text == '\0') {
        vsrest::FailureNotes::Set(this, status == 0 ? "the response carried no HTTP status"
                                                    : "HTTP error " + std::to_string(status));
    }
    return false;
}

void CVSRestApiConnection::recvResp(std::string& response) {
    vsrest::TakeBody(*m_pCurl, response);
}

bool CVSRestApiConnection::addCurlHeaders(HTTP_REQ_TYPE /*verb*/, const std::string& /*resource*/,
                                          const std::string& /*body*/,
                                          const VSRestApiRequestOptions* /*options*/) {
    return addCommonCurlHeaders();
}

bool CVSRestApiConnection::addCommonCurlHeaders() {
    if (!m_pCurl->JXLibCurlAppendHeader(HTTP_HDR_STANDARD, "Accept-Language: en_US")) {
        vslog::Error(m_debug, kCommonHeadersLabel, "Failed to set CURL Accept-Language header");
        return false;
    }
    if (!m_pCurl->JXLibCurlAppendHeader(HTTP_HDR_STANDARD, "User-Agent: curl/7.32.0")) {
        vslog::Error(m_debug, kCommonHeadersLabel, "Failed to set CURL UserAgent header");
        return false;
    }
    return true;
}

bool CVSRestApiConnection::addLoginCurlHeaders() {
    return true;
}

bool CVSRestApiConnection::saveLoginCurlHeaders() {
    return true;
}

bool CVSRestApiConnection::isSecretRequest(HTTP_REQ_TYPE /*verb*/, const std::string& /*resource*/,
                                           const VSRestApiRequestOptions* /*options*/) {
    return false;
}

bool CVSRestApiConnection::isRepeatableRequest(HTTP_REQ_TYPE verb, const std::string& /*resource*/,
                                               const VSRestApiRequestOptions* /*options*/) {
    return verb != HTTP_REQ_POST;
}

long CVSRestApiConnection::getLastHttpStatus() {
    JxCriticalSectionLock lock(&m_csLock);
    return static_cast<long>(m_pCurl->GetHttpErrorCode());
}

std::string CVSRestApiConnection::getLastCurlError() {
    // Under the request lock, so a caller on another thread reads the text of a finished
    // exchange, not one the transport is writing (the lock is recursive for LogError).
    JxCriticalSectionLock lock(&m_csLock);
    std::string note;
    if (vsrest::FailureNotes::Find(this, note)) {
        return note;
    }
    const char* text = m_pCurl->GetCurlErrorBuffer();
    return text != nullptr ? std::string(text) : std::string();
}

// Both passes format into storage of their own (the stack buffer, or `longer` past it): an
// argument may point into the query, which must not change before they are done.
void CVSRestApiConnection::appendQueryStringArgument(std::string& query, const char* format, ...) {
    char buffer[kQueryArgumentBuffer];
    buffer[0] = '\0';
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    std::string longer;
    if (needed >= 0 && static_cast<size_t>(needed) >= sizeof buffer) {
        // Longer than the buffer: format again at full size rather than cut the argument.
        longer.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(&longer[0], longer.size(), format, again);
        longer.resize(static_cast<size_t>(needed));
    }
    va_end(again);
    query += query.find('?') == std::string::npos ? '?' : '&';
    if (!longer.empty()) {
        query += longer;
    } else {
        // Bounded: after an encoding error the buffer need not hold a terminating NUL.
        query.append(buffer, strnlen(buffer, sizeof buffer));
    }
}

void CVSRestApiConnection::appendQueryParameter(std::string& query, const std::string& name,
                                                const std::string& value) {
    // Both before the query changes, since either may be the query itself; an empty text has
    // nothing to encode (the transport's empty answer would read as a failure).
    const auto encoded = [this](const std::string& text) {
        return text.empty() ? text : UrlEncode(text);
    };
    std::string argument = encoded(name);
    argument += '=';
    argument += encoded(value);
    query += query.find('?') == std::string::npos ? '?' : '&';
    query += argument;
}

std::string CVSRestApiConnection::UrlEncode(const std::string& text) {
    std::string result;
    m_pCurl->JXLibCurlUrlEscape(text, result);
    if (result.empty()) {
        vslog::Error(m_debug, kUrlEncodeLabel, "Failed to encode [%s] - result empty",
                     text.c_str());
        // The caller still gets a usable string, but never the raw text: "a&b=c" handed back
        // unencoded would add a parameter of its own to the query.
        result = vsrest::PercentEncode(text);
    } else {
        vslog::Debug(m_debug, kUrlEncodeLabel, 2, "Encoded [%s]=>[%s]", text.c_str(),
                     result.c_str());
    }
    return result;
}
