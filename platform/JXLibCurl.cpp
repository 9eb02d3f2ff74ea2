#include "JXLibCurl.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace {

constexpr const char* kLabel =
    "bool JXLibCurl::JXLibCurlSendHttpReqLog(HTTP_REQ_TYPE, const char*, const void*, "
    "long unsigned int, bool, bool, const char*)";

constexpr const char* kTraceLabel =
    "int JXLibCurl::Trace(CURL*, curl_infotype, char*, size_t, void*)";

constexpr long kDefaultConnectTimeoutSeconds = 30;
constexpr long kDefaultLowSpeedLimitBytes = 1;
constexpr long kDefaultLowSpeedTimeSeconds = 60;

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlFreeDeleter {
    void operator()(char* text) const { curl_free(text); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;
using CurlText = std::unique_ptr<char, CurlFreeDeleter>;

void GlobalInitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Appends to a list owned by `list`; false (list unchanged) when libcurl cannot allocate.
bool AppendLine(HeaderList& list, const char* line) {
    curl_slist* grown = curl_slist_append(list.get(), line);
    if (grown == nullptr) {
        return false;
    }
    list.release();
    list.reset(grown);
    return true;
}

size_t CollectInto(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

bool HasHeader(const curl_slist* list, const char* name) {
    const size_t n = std::strlen(name);
    for (; list != nullptr; list = list->next) {
        if (strncasecmp(list->data, name, n) == 0 && list->data[n] == ':') {
            return true;
        }
    }
    return false;
}

bool OptionHasType(CURLoption option, curl_easytype type) {
    const curl_easyoption* info = curl_easy_option_by_id(option);
    return info != nullptr && info->type == type;
}

}  // namespace

struct JXLibCurl::Impl {
    EasyHandle handle;
    HeaderList headers;
    std::vector<HeaderList> savedHeaders;  // set aside by push, innermost last
    std::string contentTypeLine;
    std::string response;
    std::string responseHeaders;
    WriteCallback writeCallback = nullptr;
    TqDebug debug{nullptr};

    void ApplyDefaults(JXLibCurl* owner, bool skipSslVerify, bool verbose);
    void Trace(curl_infotype type, const char* data, size_t size);
    static int TraceCallback(CURL* handle, curl_infotype type, char* data, size_t size, void* impl);
    void PrepareVerb(HTTP_REQ_TYPE verb, const void* body, unsigned long length);
    HeaderList BuildRequestHeaders() const;
};

void JXLibCurl::Impl::ApplyDefaults(JXLibCurl* owner, bool skipSslVerify, bool verbose) {
    CURL* h = handle.get();
    // curl_easy_reset keeps the connection cache, so a repeated init does not drop keep-alive.
    curl_easy_reset(h);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, owner->m_szErrorBuffer);
    curl_easy_setopt(h, CURLOPT_VERBOSE, verbose ? 1L : 0L);
    // The trace goes through the log, which masks secrets, instead of to stderr; it is set
    // always, so that CURLOPT_VERBOSE set later through the option setter is traced the same.
    curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &Impl::TraceCallback);
    curl_easy_setopt(h, CURLOPT_DEBUGDATA, this);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, skipSslVerify ? 0L : 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, skipSslVerify ? 0L : 2L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kDefaultConnectTimeoutSeconds);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, kDefaultLowSpeedLimitBytes);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kDefaultLowSpeedTimeSeconds);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &CollectInto);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &responseHeaders);
    if (writeCallback != nullptr) {
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, writeCallback);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, owner);
    } else {
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CollectInto);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
    }
}

// One log record per line of text or header. Bodies are only counted: they are the exchange
// log's business, which knows the requests whose bodies must not be logged at all.
void JXLibCurl::Impl::Trace(curl_infotype type, const char* data, size_t size) {
    const char* mark = type == CURLINFO_TEXT         ? "* "
                       : type == CURLINFO_HEADER_IN  ? "< "
                       : type == CURLINFO_HEADER_OUT ? "> "
                       : type == CURLINFO_DATA_IN    ? "< "
                       : type == CURLINFO_DATA_OUT   ? "> "
                                                     : nullptr;
    if (mark == nullptr) {
        return;  // TLS records
    }
    if (type == CURLINFO_DATA_IN || type == CURLINFO_DATA_OUT) {
        debug.DebugLvl(kTraceLabel, 0, "%s[%zu bytes of data]", mark, size);
        return;
    }
    const char* end = data + size;
    for (const char* line = data; line < end;) {
        const char* stop = static_cast<const char*>(std::memchr(line, '\n', end - line));
        const char* next = stop != nullptr ? stop + 1 : end;
        stop = stop != nullptr ? stop : end;
        if (stop > line && stop[-1] == '\r') {
            --stop;
        }
        if (stop > line) {
            debug.DebugLvl(kTraceLabel, 0, "%s%.*s", mark, static_cast<int>(stop - line), line);
        }
        line = next;
    }
}

int JXLibCurl::Impl::TraceCallback(CURL* /*handle*/, curl_infotype type, char* data, size_t size,
                                   void* impl) {
    try {
        static_cast<Impl*>(impl)->Trace(type, data, size);
    } catch (...) {
        // Nothing may cross libcurl's C frames; a lost trace line changes no outcome.
    }
    return 0;
}

// Every verb sets the same four options, so nothing of the previous request survives on the
// reused handle (libcurl keeps a custom method or a POST body otherwise).
void JXLibCurl::Impl::PrepareVerb(HTTP_REQ_TYPE verb, const void* body, unsigned long length) {
    CURL* h = handle.get();
    if (verb == HTTP_REQ_GET) {
        // HTTPGET last: setting POSTFIELDS, even to null, switches the handle back to POST.
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, static_cast<char*>(nullptr));
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(-1));
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, static_cast<char*>(nullptr));
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
        return;
    }
    const char* method = verb == HTTP_REQ_PUT      ? "PUT"
                         : verb == HTTP_REQ_DELETE ? "DELETE"
                                                   : nullptr;
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body != nullptr ? body : "");
}

HeaderList JXLibCurl::Impl::BuildRequestHeaders() const {
    HeaderList list;
    if (!contentTypeLine.empty() && !HasHeader(headers.get(), "Content-Type")) {
        AppendLine(list, contentTypeLine.c_str());
    }
    // No "Expect: 100-continue" round trip before large bodies.
    AppendLine(list, "Expect:");
    for (const curl_slist* line = headers.get(); line != nullptr; line = line->next) {
        AppendLine(list, line->data);
    }
    return list;
}

JXLibCurl::JXLibCurl() : m_pImpl(std::make_unique<Impl>()) {
    GlobalInitOnce();
    m_pImpl->handle.reset(curl_easy_init());
    if (!m_pImpl->handle) {
        throw std::bad_alloc();
    }
    m_pImpl->ApplyDefaults(this, false, false);
}

JXLibCurl::~JXLibCurl() = default;

bool JXLibCurl::JXLibCurlInit(const char* contentType, bool skipSslVerify, bool verbose,
                              WriteCallback writeCallback) {
    m_pImpl->contentTypeLine.clear();
    if (contentType != nullptr && *contentType != '\0') {
        m_pImpl->contentTypeLine = std::string("Content-Type: ") + contentType;
    }
    m_pImpl->writeCallback = writeCallback;
    m_pImpl->ApplyDefaults(this, skipSslVerify, verbose);
    return true;
}

bool JXLibCurl::JXLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value) {
    if (!OptionHasType(option, CURLOT_LONG)) {
        return false;
    }
    return curl_easy_setopt(m_pImpl->handle.get(), option, static_cast<long>(value)) == CURLE_OK;
}

bool JXLibCurl::JXLibCurlSetAdditionalOptionsStringValue(CURLoption option,
                                                         const std::string& value) {
    if (!OptionHasType(option, CURLOT_STRING)) {
        return false;
    }
    // libcurl copies string options, so the caller's string need not outlive the call.
    return curl_easy_setopt(m_pImpl->handle.get(), option, value.c_str()) == CURLE_OK;
}

bool JXLibCurl::JXLibCurlFreeHttpHeaderList() {
    m_pImpl->headers.reset();
    return true;
}

bool JXLibCurl::JXLibCurlPushHttpHeaderList() {
    try {
        m_pImpl->savedHeaders.push_back(std::move(m_pImpl->headers));
    } catch (const std::bad_alloc&) {
        return false;  // the current lines stay where they are
    }
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
    return AppendLine(m_pImpl->headers, line);
}

bool JXLibCurl::JXLibCurlSendHttpReqLog(HTTP_REQ_TYPE verb, const char* url, const void* body,
                                        unsigned long length, bool logRequest, bool logResponse,
                                        const char* label) {
    Impl& d = *m_pImpl;
    CURL* h = d.handle.get();
    m_szErrorBuffer[0] = '\0';
    m_nHttpErrorCode = 0;
    d.response.clear();
    d.responseHeaders.clear();
    const char* tag = label != nullptr ? label : kLabel;
    if (logRequest) {
        d.debug.DebugLvl(tag, 2, "%s %s: %.*s", GetHttpReqTypeString(verb), url ? url : "",
                         static_cast<int>(length), body ? static_cast<const char*>(body) : "");
    }

    HeaderList requestHeaders = d.BuildRequestHeaders();
    curl_easy_setopt(h, CURLOPT_URL, url != nullptr ? url : "");
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, requestHeaders.get());
    d.PrepareVerb(verb, body, length);
    CURLcode rc = curl_easy_perform(h);
    // The list dies with this call; libcurl must not keep a dangling pointer to it.
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));

    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    m_nHttpErrorCode = status;
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
    if (status >= 400) {
        std::snprintf(m_szErrorBuffer, sizeof m_szErrorBuffer, "HTTP error %ld", status);
        return false;
    }
    return true;
}

const char* JXLibCurl::GetHttpResponse(unsigned long& length, bool headers) {
    const std::string& source = headers ? m_pImpl->responseHeaders : m_pImpl->response;
    length = source.size();
    return source.empty() ? nullptr : source.data();
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
