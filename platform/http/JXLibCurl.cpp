// JXLibCurl: the transport's life (init, option defaults and the checks of an option's type),
// the header lists, the exchange, and the hand-over of the response body. Collecting the
// response against its limits is JXLibCurlResponse.cpp's job, libcurl's trace
// JXLibCurlTrace.cpp's, keeping handles between objects JXLibCurlPool.cpp's; the state they
// share is JXLibCurlImpl.h (internal).
//
// Options and limits set before the object's first init are its standing settings (a client
// sets them in its constructor, before connect): every init sets them again after its
// defaults, and then verification, which init's own argument decides. A header line, the
// content type's included, never holds CR or LF.
//
// Who owns the response body, and when. This is the most delicate contract of the transport:
// the request path hands the body to its caller without a copy, while hooks that run after
// recvResp still read it through GetHttpResponse, as they did when the object kept it.
//  - During an exchange the object does: BodyCallback appends to Impl::response (a caller's
//    write callback receives the body instead, and the object then holds none). Every
//    exchange and every init first forgets a hand-over and a loan of the one before.
//  - After the exchange the object still does: GetHttpResponse(length, false) answers a
//    pointer into Impl::response, the object's until the next exchange or a take.
//  - After recvResp (JXLibCurlTakeHttpResponse) the caller's string does. The body is asked
//    for through the virtual GetHttpResponse; only an answer that is exactly the object's
//    whole buffer (same pointer, same length) is swapped into the caller's string, which
//    leaves the caller's old buffer here, cleared, to be reused by the next exchange, and
//    marks the body handed over: GetHttpResponse answers null. Any other answer (a derived
//    transport's storage of its own, or a part of ours) is copied exactly as answered, and
//    nothing is handed over.
//  - While the hooks run, the body is on loan (JXLibCurlLendHttpResponse): after a hand-over,
//    GetHttpResponse answers from the caller's string, which the object only points at; the
//    caller keeps it alive and unchanged. Without a hand-over, lending changes nothing, since
//    the object still holds what it answers.
//  - The loan ends with JXLibCurlEndHttpResponseLoan, the next exchange or init; the body is
//    then the caller's alone, and GetHttpResponse answers null again. A caller whose string
//    may go first ends the loan before it does (CVSRestApiConnection with a scope guard).
//  - The response header block never leaves the object.
#include "JXLibCurl.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

#include "JXLibCurlImpl.h"

using vsplatform::HeaderLines;
using vsplatform::kDefaultBodyLimit;
using vsplatform::kDefaultHeaderLimit;
using vsplatform::StandingOption;

namespace {

constexpr const char* kLabel =
    "bool JXLibCurl::JXLibCurlSendHttpReqLog(HTTP_REQ_TYPE, const char*, const void*, "
    "long unsigned int, bool, bool, const char*)";
constexpr const char* kInitLabel =
    "bool JXLibCurl::JXLibCurlInit(const char*, bool, bool, JXLibCurl::WriteCallback)";
constexpr const char* kAppendLabel =
    "bool JXLibCurl::JXLibCurlAppendHeader(_http_hdr_type_, const char*)";
// Enough of a header's name to recognise it, however long a caller made it.
constexpr int kMaxLoggedNameBytes = 64;

constexpr long kDefaultConnectTimeoutSeconds = 30;
constexpr long kDefaultLowSpeedLimitBytes = 1;
constexpr long kDefaultLowSpeedTimeSeconds = 60;

struct CurlFreeDeleter {
    void operator()(char* text) const { curl_free(text); }
};
using CurlText = std::unique_ptr<char, CurlFreeDeleter>;

bool OptionHasType(CURLoption option, std::initializer_list<curl_easytype> types) {
    const curl_easyoption* info = curl_easy_option_by_id(option);
    if (info == nullptr) {
        return false;
    }
    for (const curl_easytype type : types) {
        if (info->type == type) {
            return true;
        }
    }
    return false;
}

// Stores libcurl keeps across curl_easy_reset: a handle that had one on must not serve the next
// object, whose requests would carry the cookies or follow the redirections of this one's.
// Credentials: libcurl sends them as header lines and reuses a cached connection whoever the
// next request is for, so a connection that one account's requests used stays that object's.
void MarkIfPrivate(vsplatform::EasySession& easy, CURLoption option) {
    switch (option) {
        case CURLOPT_COOKIEFILE:
        case CURLOPT_COOKIEJAR:
        case CURLOPT_COOKIELIST:
        case CURLOPT_COOKIESESSION:
        case CURLOPT_ALTSVC:
        case CURLOPT_ALTSVC_CTRL:
        case CURLOPT_HSTS:
        case CURLOPT_HSTS_CTRL:
        case CURLOPT_USERPWD:
        case CURLOPT_USERNAME:
        case CURLOPT_PASSWORD:
        case CURLOPT_LOGIN_OPTIONS:
        case CURLOPT_SASL_AUTHZID:
        case CURLOPT_XOAUTH2_BEARER:
        case CURLOPT_HTTPAUTH:
        case CURLOPT_AWS_SIGV4:
        case CURLOPT_PROXYUSERPWD:
        case CURLOPT_PROXYUSERNAME:
        case CURLOPT_PROXYPASSWORD:
        case CURLOPT_PROXYAUTH:
        case CURLOPT_SSLCERT:
        case CURLOPT_SSLKEY:
        case CURLOPT_KEYPASSWD:
        case CURLOPT_TLSAUTH_USERNAME:
        case CURLOPT_TLSAUTH_PASSWORD:
        case CURLOPT_PROXY_SSLCERT:
        case CURLOPT_PROXY_SSLKEY:
        case CURLOPT_PROXY_KEYPASSWD:
            easy.MarkPrivate();
            break;
        default:
            break;
    }
}

// A line break would end the header line early and let the rest of the text be read as more
// header lines or as a second request on the same connection.
bool HoldsLineBreak(const char* text) {
    return std::strpbrk(text, "\r\n") != nullptr;
}

// Names the header, never its value: the value is what may carry a token.
void LogRefusedLine(TqDebug& debug, const char* line) {
    const size_t breakAt = std::strcspn(line, "\r\n");
    const char* colon = static_cast<const char*>(std::memchr(line, ':', breakAt));
    if (colon == nullptr) {
        debug.Error(kAppendLabel,
                    "a header line without a name was refused: it holds a line "
                    "break (CR or LF)");
        return;
    }
    const auto nameBytes = static_cast<int>(std::min<size_t>(
        static_cast<size_t>(colon - line), static_cast<size_t>(kMaxLoggedNameBytes)));
    debug.Error(kAppendLabel,
                "the header line \"%.*s\" was refused: its value holds a line break (CR or LF)",
                nameBytes, line);
}

}  // namespace

// False when libcurl refuses the protocol restriction: the object must not then fetch URLs.
bool JXLibCurl::Impl::ApplyDefaults(JXLibCurl* owner, bool skipSslVerify, bool verbose) {
    CURL* h = easy->Handle();
    // curl_easy_reset keeps the connection cache, so a repeated init does not drop keep-alive.
    curl_easy_reset(h);
    easy->TrackSockets();
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, owner->m_szErrorBuffer);
    curl_easy_setopt(h, CURLOPT_VERBOSE, verbose ? 1L : 0L);
    ApplyVerification(skipSslVerify);
    curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kDefaultConnectTimeoutSeconds);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, kDefaultLowSpeedLimitBytes);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kDefaultLowSpeedTimeSeconds);
    bodyLimit = kDefaultBodyLimit;
    headerLimit = kDefaultHeaderLimit;
    ApplyCallbacks(owner);
    // A URL taken from a server's document must not read local files (file://) or reach other
    // services (dict://, gopher://, ...); a redirect must not step down from TLS.
    return curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https") == CURLE_OK;
}

void JXLibCurl::Impl::ApplyVerification(bool skipSslVerify) {
    CURL* h = easy->Handle();
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, skipSslVerify ? 0L : 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, skipSslVerify ? 0L : 2L);
}

// Kept only before the first init; false when memory is short, for the option would then not
// survive the init its caller counts on.
bool JXLibCurl::Impl::Remember(StandingOption::Kind kind, CURLoption option, long number,
                               curl_off_t offset, const char* text) {
    if (initialised) {
        return true;
    }
    try {
        StandingOption entry{kind, option, number, offset, text != nullptr ? text : ""};
        for (StandingOption& kept : standing) {
            if (kept.option == option) {
                kept = std::move(entry);  // one entry per option: the record stays bounded
                return true;
            }
        }
        standing.push_back(std::move(entry));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// Each option was taken when it was set, so setting it again cannot fail for its type.
void JXLibCurl::Impl::ApplyStanding() {
    CURL* h = easy->Handle();
    for (const StandingOption& kept : standing) {
        switch (kept.kind) {
            case StandingOption::Kind::Long:
                curl_easy_setopt(h, kept.option, kept.number);
                break;
            case StandingOption::Kind::Offset:
                curl_easy_setopt(h, kept.option, kept.offset);
                break;
            case StandingOption::Kind::Text:
                curl_easy_setopt(h, kept.option, kept.text.c_str());
                break;
        }
    }
    if (standingLimits) {
        bodyLimit = standingBodyLimit;
        headerLimit = standingHeaderLimit;
    }
}

void JXLibCurl::Impl::ApplyCallbacks(JXLibCurl* owner) {
    CURL* h = easy->Handle();
    // The trace goes through the log, which masks secrets, instead of to stderr; it is set
    // always, so that CURLOPT_VERBOSE set later through the option setter is traced the same.
    curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &Impl::TraceCallback);
    curl_easy_setopt(h, CURLOPT_DEBUGDATA, this);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &Impl::HeaderCallback);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
    if (writeCallback != nullptr) {
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, writeCallback);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, owner);
    } else {
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Impl::BodyCallback);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
    }
    // Cancellation: the progress callback ends a transfer between its steps, the socket
    // callback lets JXLibCurlCancel wake one that waits on a silent peer.
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Impl::ProgressCallback);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_SOCKOPTFUNCTION, &Impl::SocketCallback);
    curl_easy_setopt(h, CURLOPT_SOCKOPTDATA, this);
}

// Every verb sets the same four options, so nothing of the previous request survives on the
// reused handle (libcurl keeps a custom method or a POST body otherwise).
void JXLibCurl::Impl::PrepareVerb(HTTP_REQ_TYPE verb, const void* body, unsigned long length) {
    CURL* h = easy->Handle();
    if (verb == HTTP_REQ_GET) {
        // HTTPGET last: setting POSTFIELDS, even to null, switches the handle back to POST.
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, static_cast<char*>(nullptr));
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(-1));
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, static_cast<char*>(nullptr));
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
        return ApplyMethod(verb);
    }
    const char* own = verb == HTTP_REQ_PUT ? "PUT" : verb == HTTP_REQ_DELETE ? "DELETE" : nullptr;
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, own);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body != nullptr ? body : "");
    ApplyMethod(verb);
}

bool JXLibCurl::Impl::KeepMethod(const std::string& value) noexcept {
    constexpr std::string_view kTokenMarks = "!#$%&'*+-.^_`|~";
    for (const char c : value) {
        const bool alnum =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!alnum && kTokenMarks.find(c) == std::string_view::npos) {
            return false;
        }
    }
    try {
        method = value;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// After the verb's options, which reset both (HTTPGET and POST clear NOBODY).
void JXLibCurl::Impl::ApplyMethod(HTTP_REQ_TYPE verb) {
    CURL* h = easy->Handle();
    if (!method.empty()) {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    if (noBody && verb == HTTP_REQ_GET) {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    }
}

// Null only when memory is short: the request then goes out with libcurl's own lines alone,
// as it did when a copied list could not be allocated.
curl_slist* JXLibCurl::Impl::BuildRequestHeaders() {
    static char kNoExpect[] = "Expect:";  // no "Expect: 100-continue" round trip before bodies
    try {
        requestHeaders.clear();
        requestHeaders.reserve(headers.Count() + 2);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    // libcurl takes the data as char* but never writes through it.
    if (!contentTypeLine.empty() && !headers.Has("Content-Type")) {
        requestHeaders.push_back({const_cast<char*>(contentTypeLine.c_str()), nullptr});
    }
    requestHeaders.push_back({kNoExpect, nullptr});
    for (size_t i = 0; i < headers.Count(); ++i) {
        requestHeaders.push_back({const_cast<char*>(headers[i].c_str()), nullptr});
    }
    for (size_t i = 1; i < requestHeaders.size(); ++i) {
        requestHeaders[i - 1].next = &requestHeaders[i];
    }
    return requestHeaders.data();
}

CURLcode JXLibCurl::Impl::Perform(HTTP_REQ_TYPE verb, const char* url, const void* body,
                                  unsigned long length) {
    CURL* h = easy->Handle();
    curl_easy_setopt(h, CURLOPT_URL, url != nullptr ? url : "");
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, BuildRequestHeaders());
    PrepareVerb(verb, body, length);
    const CURLcode rc = curl_easy_perform(h);
    // The lines may change or go before the next request; libcurl must not keep pointing at them.
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    return rc;
}

bool JXLibCurl::Impl::JudgeStatus(long status, char* error, size_t capacity) {
    // A peer that answers without a status line (HTTP/0.9, when a caller allows it) has not
    // said that the request succeeded.
    if (status == 0) {
        std::snprintf(error, capacity, "the response carried no HTTP status");
        return false;
    }
    if (status >= 400) {
        std::snprintf(error, capacity, "HTTP error %ld", status);
        return false;
    }
    return true;
}

JXLibCurl::JXLibCurl() : m_pImpl(std::make_unique<Impl>()) {
    auto& pool = vsplatform::ConnectionPool::Instance();  // initialises libcurl first
    m_pImpl->easy = pool.Take();
    if (!m_pImpl->easy) {
        m_pImpl->easy = vsplatform::EasySession::Make();
        if (!m_pImpl->easy) {
            throw std::bad_alloc();
        }
    }
    m_pImpl->ApplyDefaults(this, false, false);
}

JXLibCurl::~JXLibCurl() {
    vsplatform::ConnectionPool::Instance().Park(std::move(m_pImpl->easy));
}

void JXLibCurl::EnableConnectionPool(const JXLibCurlPoolSettings& settings) {
    vsplatform::ConnectionPool::Instance().Enable(settings);
}

void JXLibCurl::DisableConnectionPool() {
    vsplatform::ConnectionPool::Instance().Disable();
}

// The standing options go after the defaults, so that they survive; verification after them,
// so that init's own word on it decides.
bool JXLibCurl::JXLibCurlInit(const char* contentType, bool skipSslVerify, bool verbose,
                              WriteCallback writeCallback) {
    Impl& d = *m_pImpl;
    d.contentTypeLine.clear();
    const bool typeRefused = contentType != nullptr && HoldsLineBreak(contentType);
    if (typeRefused) {
        d.debug.Error(kInitLabel, "the content type was refused: it holds a line break (CR or LF)");
    } else if (contentType != nullptr && *contentType != '\0') {
        d.contentTypeLine = std::string("Content-Type: ") + contentType;
    }
    d.writeCallback = writeCallback;
    d.bodyHandedOver = false;
    d.performed = false;
    d.lentBody = nullptr;
    d.method.clear();
    d.noBody = false;
    const bool ready = d.ApplyDefaults(this, skipSslVerify, verbose);
    d.ApplyStanding();
    d.ApplyVerification(skipSslVerify);
    d.initialised = true;
    return ready && !typeRefused;
}

// libcurl reads the variadic argument as the option's own type: a number where it expects a
// pointer or a curl_off_t would be read as garbage, so other types are refused.
bool JXLibCurl::JXLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value) {
    if (!OptionHasType(option, {CURLOT_LONG, CURLOT_VALUES})) {
        return false;
    }
    if (option == CURLOPT_NOBODY) {
        m_pImpl->noBody = value != 0;  // for the sends, after their verb's options
        return true;
    }
    MarkIfPrivate(*m_pImpl->easy, option);
    const long number = value;
    return curl_easy_setopt(m_pImpl->easy->Handle(), option, number) == CURLE_OK &&
           m_pImpl->Remember(StandingOption::Kind::Long, option, number, 0, nullptr);
}

bool JXLibCurl::JXLibCurlSetAdditionalOptionsOffValue(CURLoption option, curl_off_t value) {
    if (!OptionHasType(option, {CURLOT_OFF_T})) {
        return false;
    }
    return curl_easy_setopt(m_pImpl->easy->Handle(), option, value) == CURLE_OK &&
           m_pImpl->Remember(StandingOption::Kind::Offset, option, 0, value, nullptr);
}

bool JXLibCurl::JXLibCurlSetAdditionalOptionsStringValue(CURLoption option,
                                                         const std::string& value) {
    if (!OptionHasType(option, {CURLOT_STRING})) {
        return false;
    }
    if (option == CURLOPT_CUSTOMREQUEST) {
        return m_pImpl->KeepMethod(value);
    }
    MarkIfPrivate(*m_pImpl->easy, option);
    // libcurl copies string options, so the caller's string need not outlive the call.
    return curl_easy_setopt(m_pImpl->easy->Handle(), option, value.c_str()) == CURLE_OK &&
           m_pImpl->Remember(StandingOption::Kind::Text, option, 0, 0, value.c_str());
}

bool JXLibCurl::JXLibCurlFreeHttpHeaderList() {
    m_pImpl->headers.Clear();
    return true;
}

bool JXLibCurl::JXLibCurlPushHttpHeaderList() {
    try {
        m_pImpl->savedHeaders.push_back(std::move(m_pImpl->headers));
    } catch (const std::bad_alloc&) {
        return false;  // the current lines stay where they are
    }
    m_pImpl->headers = HeaderLines();
    return true;
}

bool JXLibCurl::JXLibCurlPopHttpHeaderList() {
    if (m_pImpl->savedHeaders.empty()) {
        return false;
    }
    m_pImpl->headers = std::move(m_pImpl->savedHeaders.back());
    m_pImpl->savedHeaders.pop_back();
    return true;
}

bool JXLibCurl::JXLibCurlAppendHeader(_http_hdr_type_ type, const char* line) {
    if (type != HTTP_HDR_STANDARD || line == nullptr) {
        return false;
    }
    if (HoldsLineBreak(line)) {
        LogRefusedLine(m_pImpl->debug, line);
        return false;
    }
    return m_pImpl->headers.Append(line);
}

bool JXLibCurl::JXLibCurlSendHttpReqLog(HTTP_REQ_TYPE verb, const char* url, const void* body,
                                        unsigned long length, bool logRequest, bool logResponse,
                                        const char* label) {
    Impl& d = *m_pImpl;
    m_szErrorBuffer[0] = '\0';
    m_nHttpErrorCode = 0;
    d.bodyHandedOver = false;
    d.lentBody = nullptr;
    d.response.clear();
    d.responseHeaders.clear();
    d.stopped = Impl::Stop::None;
    const char* tag = label != nullptr ? label : kLabel;
    if (logRequest) {
        d.debug.DebugLvl(tag, 2, "%s %s: %.*s", GetHttpReqTypeString(verb), url ? url : "",
                         static_cast<int>(length), body ? static_cast<const char*>(body) : "");
    }

    // While cancelled, nothing goes out; a transfer cancelled on its way fails whatever it got.
    const bool refused = d.cancel.IsCancelled();
    const CURLcode rc = refused ? CURLE_ABORTED_BY_CALLBACK : d.Perform(verb, url, body, length);
    long status = 0;
    if (!refused) {
        d.performed = true;
        curl_easy_getinfo(d.easy->Handle(), CURLINFO_RESPONSE_CODE, &status);
    }
    m_nHttpErrorCode = status;
    d.AfterTransfer();
    if (d.stopped == Impl::Stop::None && rc != CURLE_OK) {
        d.ReadLibcurlStop(rc);
    }
    if (d.stopped != Impl::Stop::None) {
        d.DescribeStop(m_szErrorBuffer, sizeof m_szErrorBuffer);
        return false;
    }
    if (rc != CURLE_OK) {
        if (m_szErrorBuffer[0] == '\0') {
            std::snprintf(m_szErrorBuffer, sizeof m_szErrorBuffer, "%s", curl_easy_strerror(rc));
        }
        return false;
    }
    if (logResponse) {
        d.debug.DebugLvl(tag, 2, "%ld: %.*s", status, static_cast<int>(d.response.size()),
                         d.response.c_str());
    }
    return Impl::JudgeStatus(status, m_szErrorBuffer, sizeof m_szErrorBuffer);
}

const char* JXLibCurl::GetHttpResponse(unsigned long& length, bool headers) {
    const Impl& d = *m_pImpl;
    const std::string& source = headers ? d.responseHeaders : d.lentBody ? *d.lentBody : d.response;
    length = source.size();
    return source.empty() ? nullptr : source.data();
}

void JXLibCurl::JXLibCurlTakeHttpResponse(std::string& body) {
    Impl& d = *m_pImpl;
    unsigned long length = 0;
    // Through the virtual call: a derived transport that answers with a body of its own, or
    // with part of ours (it trims a trailing newline, skips a prefix), gets exactly what it
    // answered copied, as before there was a hand-over. Only an answer that is our whole
    // buffer can be swapped out without giving the caller more or less than it.
    const char* data = GetHttpResponse(length, false);
    if (data == nullptr) {
        body.clear();
    } else if (data == d.response.data() && length == d.response.size()) {
        body.swap(d.response);  // the caller's old buffer stays here for the next exchange
        d.response.clear();
        d.bodyHandedOver = true;
    } else {
        body.assign(data, length);
    }
}

void JXLibCurl::JXLibCurlLendHttpResponse(const std::string& body) {
    if (m_pImpl->bodyHandedOver) {
        m_pImpl->lentBody = &body;
    }
}

void JXLibCurl::JXLibCurlEndHttpResponseLoan() {
    m_pImpl->lentBody = nullptr;
}

bool JXLibCurl::JXLibCurlUrlEscape(const std::string& text, std::string& escaped) {
    CurlText out;
    if (text.size() <= static_cast<size_t>(INT_MAX)) {
        // No handle: escaping runs outside the request lock, possibly while another thread
        // performs on this object's handle, and libcurl does not need one for it.
        out.reset(curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size())));
    }
    if (!out) {
        escaped.clear();
        return false;
    }
    escaped = out.get();
    return true;
}

// libcurl keeps the figures of the handle's last transfer; `performed` makes sure that transfer
// was this object's own since its init, not a derived object's stand-in or a pooled handle's
// previous owner's.
bool JXLibCurl::JXLibCurlGetTimings(Timings& timings) const {
    const Impl& d = *m_pImpl;
    if (!d.performed) {
        return false;
    }
    CURL* h = d.easy->Handle();
    curl_off_t lookup = 0;
    curl_off_t connect = 0;
    curl_off_t tls = 0;
    curl_off_t firstByte = 0;
    curl_off_t total = 0;
    long connects = 0;
    curl_easy_getinfo(h, CURLINFO_NAMELOOKUP_TIME_T, &lookup);
    curl_easy_getinfo(h, CURLINFO_CONNECT_TIME_T, &connect);
    curl_easy_getinfo(h, CURLINFO_APPCONNECT_TIME_T, &tls);
    curl_easy_getinfo(h, CURLINFO_STARTTRANSFER_TIME_T, &firstByte);
    curl_easy_getinfo(h, CURLINFO_TOTAL_TIME_T, &total);
    curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &connects);
    timings = Timings{lookup, connect, tls > 0 ? tls : -1, firstByte, total, connects == 0};
    return true;
}

void JXLibCurl::JXLibCurlSetError(const char* reason) {
    std::snprintf(m_szErrorBuffer, sizeof m_szErrorBuffer, "%s", reason != nullptr ? reason : "");
    m_nHttpErrorCode = 0;
}

const char* JXLibCurl::GetHttpReqTypeString(HTTP_REQ_TYPE verb) {
    switch (verb) {
        case HTTP_REQ_GET:
            return "GET";
        case HTTP_REQ_POST:
            return "POST";
        case HTTP_REQ_PUT:
            return "PUT";
        case HTTP_REQ_DELETE:
            return "DELETE";
    }
    return "UNKNOWN";
}

// Cancellation (see CancelSwitch in JXLibCurlImpl.h).

void JXLibCurl::JXLibCurlCancel() {
    m_pImpl->cancel.Cancel();
}

void JXLibCurl::JXLibCurlResetCancel() {
    m_pImpl->cancel.Reset();
}

int JXLibCurl::Impl::ProgressCallback(void* impl, curl_off_t /*dlTotal*/, curl_off_t /*dlNow*/,
                                      curl_off_t /*ulTotal*/, curl_off_t /*ulNow*/) {
    return static_cast<Impl*>(impl)->cancel.IsCancelled() ? 1 : 0;  // non-zero aborts
}

int JXLibCurl::Impl::SocketCallback(void* impl, curl_socket_t socket, curlsocktype /*purpose*/) {
    static_cast<Impl*>(impl)->cancel.Watch(socket);
    return CURL_SOCKOPT_OK;
}

// The connection libcurl used last may have come with a pooled handle, opened before this
// object watched its sockets. A transfer that ends while cancelled fails as cancelled, whatever
// libcurl made of its shut-down sockets.
void JXLibCurl::Impl::AfterTransfer() {
    cancel.ForgetClosed();
    curl_socket_t active = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(easy->Handle(), CURLINFO_ACTIVESOCKET, &active) == CURLE_OK &&
        active != CURL_SOCKET_BAD) {
        cancel.Watch(active);
    }
    if (cancel.IsCancelled()) {
        stopped = Stop::Cancelled;
    }
}

namespace vsplatform {

namespace {

bool SameSocket(int original, int duplicate) {
    struct stat a {};
    struct stat b {};
    return ::fstat(original, &a) == 0 && ::fstat(duplicate, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

}  // namespace

CancelSwitch::~CancelSwitch() {
    for (const Watched& watched : m_watched) {
        ::close(watched.duplicate);
    }
}

void CancelSwitch::Cancel() noexcept {
    m_bCancelled.store(true, std::memory_order_release);
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (const Watched& watched : m_watched) {
        ::shutdown(watched.duplicate, SHUT_RDWR);
    }
}

// Without a duplicate (no descriptor left, memory short) the socket is only ended by the
// progress callback, within about a second.
void CancelSwitch::Watch(int socket) noexcept {
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (const Watched& watched : m_watched) {
        if (watched.original == socket) {
            return;
        }
    }
    const int duplicate = ::fcntl(socket, F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0) {
        return;
    }
    try {
        m_watched.push_back({socket, duplicate});
    } catch (const std::bad_alloc&) {
        ::close(duplicate);
        return;
    }
    if (IsCancelled()) {
        ::shutdown(duplicate, SHUT_RDWR);  // cancelled while libcurl was connecting
    }
}

void CancelSwitch::ForgetClosed() noexcept {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto closed = std::remove_if(m_watched.begin(), m_watched.end(), [](const Watched& w) {
        if (SameSocket(w.original, w.duplicate)) {
            return false;
        }
        ::close(w.duplicate);
        return true;
    });
    m_watched.erase(closed, m_watched.end());
}

}  // namespace vsplatform
