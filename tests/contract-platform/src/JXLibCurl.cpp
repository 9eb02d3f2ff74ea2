// The transport on one libcurl easy handle, kept for the object's life so that consecutive
// requests reuse the connection. A send builds the request's header list afresh (the content
// type, then the caller's lines) and hands it to libcurl for that transfer only; the body is
// collected into the object, which GetHttpResponse answers from until the next send. The
// object sets no option of its own beyond what its calls ask for: libcurl's defaults hold.
#include "JXLibCurl.h"

#include <climits>
#include <cstdio>

namespace {

struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlFree {
    void operator()(char* text) const { curl_free(text); }
};
using HeaderList = std::unique_ptr<curl_slist, ListFree>;

template <typename T>
bool Set(CURL* easy, CURLoption option, T value) {
    return easy != nullptr && curl_easy_setopt(easy, option, value) == CURLE_OK;
}

bool Append(HeaderList& list, const char* line) {
    curl_slist* head = curl_slist_append(list.get(), line);
    if (head == nullptr) {
        return false;  // the list is as it was
    }
    static_cast<void>(list.release());  // head is the same list, one line longer
    list.reset(head);
    return true;
}

// The lines a request carries: the content type, then the caller's lines in their order.
HeaderList RequestLines(const std::string& contentType, const curl_slist* lines) {
    HeaderList list;
    if (!contentType.empty() && !Append(list, ("Content-Type: " + contentType).c_str())) {
        return nullptr;
    }
    for (; lines != nullptr; lines = lines->next) {
        if (!Append(list, lines->data)) {
            return nullptr;
        }
    }
    return list;
}

}  // namespace

struct JXLibCurl::Handles {
    std::unique_ptr<CURL, EasyCleanup> easy;
    HeaderList lines;  // appended by the caller since the last free
    // CURLOPT_CUSTOMREQUEST and CURLOPT_NOBODY as the caller set them: each send sets its
    // verb's own method, so these are applied after it.
    std::string method;
    bool noBody = false;
};

JXLibCurl::JXLibCurl() : m_pHandles(std::make_unique<Handles>()) {}

JXLibCurl::~JXLibCurl() = default;

bool JXLibCurl::JXLibCurlInit(const char* contentType, bool skipSslVerify, bool verbose,
                              unsigned long (*writeCallback)(void*, unsigned long, unsigned long,
                                                             void*)) {
    if (m_pHandles->easy) {
        curl_easy_reset(m_pHandles->easy.get());  // keeps the open connections
    } else {
        m_pHandles->easy.reset(curl_easy_init());
    }
    CURL* easy = m_pHandles->easy.get();
    m_pHandles->method.clear();
    m_pHandles->noBody = false;
    m_strContentType = contentType != nullptr ? contentType : "";
    bool ok = Set(easy, CURLOPT_ERRORBUFFER, m_szErrorBuffer) &&
              Set(easy, CURLOPT_WRITEDATA, static_cast<void*>(this));
    ok = ok && (writeCallback != nullptr ? Set(easy, CURLOPT_WRITEFUNCTION, writeCallback)
                                         : Set(easy, CURLOPT_WRITEFUNCTION, &CollectBody));
    if (skipSslVerify) {
        ok = ok && Set(easy, CURLOPT_SSL_VERIFYPEER, 0L) && Set(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    return ok && (!verbose || Set(easy, CURLOPT_VERBOSE, 1L));
}

bool JXLibCurl::JXLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value) {
    if (option == CURLOPT_NOBODY) {
        m_pHandles->noBody = value != 0;
        return true;
    }
    return Set(m_pHandles->easy.get(), option, static_cast<long>(value));
}

bool JXLibCurl::JXLibCurlSetAdditionalOptionsStringValue(CURLoption option,
                                                         const std::string& value) {
    if (option == CURLOPT_CUSTOMREQUEST) {
        m_pHandles->method = value;
        return true;
    }
    return Set(m_pHandles->easy.get(), option, value.c_str());  // libcurl copies the text
}

bool JXLibCurl::JXLibCurlFreeHttpHeaderList() {
    m_pHandles->lines.reset();
    return true;
}

bool JXLibCurl::JXLibCurlAppendHeader(_http_hdr_type_ type, const char* line) {
    return type == HTTP_HDR_STANDARD && line != nullptr && Append(m_pHandles->lines, line);
}

bool JXLibCurl::SetVerb(HTTP_REQ_TYPE verb, const void* body, unsigned long length) {
    return SetOwnVerb(verb, body, length) &&
           (m_pHandles->method.empty() ||
            Set(m_pHandles->easy.get(), CURLOPT_CUSTOMREQUEST, m_pHandles->method.c_str())) &&
           (!m_pHandles->noBody || verb != HTTP_REQ_GET ||
            Set(m_pHandles->easy.get(), CURLOPT_NOBODY, 1L));
}

bool JXLibCurl::SetOwnVerb(HTTP_REQ_TYPE verb, const void* body, unsigned long length) {
    CURL* easy = m_pHandles->easy.get();
    if (verb == HTTP_REQ_GET) {
        return Set(easy, CURLOPT_HTTPGET, 1L) &&
               Set(easy, CURLOPT_CUSTOMREQUEST, static_cast<const char*>(nullptr));
    }
    if (verb != HTTP_REQ_POST && verb != HTTP_REQ_PUT && verb != HTTP_REQ_DELETE) {
        return false;
    }
    // A null body with libcurl's POSTFIELDS would make it read the body from stdin.
    const void* bytes = body != nullptr ? body : "";
    const char* method = verb == HTTP_REQ_POST ? nullptr : GetHttpReqTypeString(verb);
    return Set(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(length)) &&
           Set(easy, CURLOPT_POSTFIELDS, bytes) && Set(easy, CURLOPT_CUSTOMREQUEST, method);
}

bool JXLibCurl::JXLibCurlSendHttpReqLog(HTTP_REQ_TYPE verb, const char* url, const void* body,
                                        unsigned long length, bool /*logRequest*/,
                                        bool /*logResponse*/, const char* /*label*/) {
    m_strBody.clear();
    m_bHasResponse = false;
    m_nHttpErrorCode = 0;
    m_szErrorBuffer[0] = '\0';
    CURL* easy = m_pHandles->easy.get();
    if (easy == nullptr) {
        Fail("the transport is not initialised");
        return false;
    }
    const HeaderList lines = RequestLines(m_strContentType, m_pHandles->lines.get());
    if (!lines || !SetVerb(verb, body, length) || !Set(easy, CURLOPT_URL, url) ||
        !Set(easy, CURLOPT_HTTPHEADER, lines.get())) {
        Fail("the request could not be prepared");
        return false;
    }
    const CURLcode result = curl_easy_perform(easy);
    Set(easy, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));  // lines ends here
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    m_nHttpErrorCode = status;
    m_bHasResponse = status != 0 || !m_strBody.empty();  // some answer came back
    if (result != CURLE_OK && m_szErrorBuffer[0] == '\0') {
        Fail(curl_easy_strerror(result));
    }
    return result == CURLE_OK;
}

const char* JXLibCurl::GetHttpResponse(unsigned long& length, bool headers) {
    if (headers || !m_bHasResponse) {
        length = 0;
        return nullptr;
    }
    length = m_strBody.size();
    return m_strBody.data();
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

bool JXLibCurl::JXLibCurlUrlEscape(const std::string& text, std::string& escaped) {
    escaped.clear();
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    // libcurl's escaping takes no handle (null is allowed), so it needs no init.
    const std::unique_ptr<char, CurlFree> out(
        curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size())));
    if (!out) {
        return false;
    }
    escaped = out.get();
    return true;
}

size_t JXLibCurl::CollectBody(char* data, size_t size, size_t count, void* self) {
    try {
        static_cast<JXLibCurl*>(self)->m_strBody.append(data, size * count);
        return size * count;
    } catch (...) {
        return 0;  // libcurl fails the transfer; no exception crosses it
    }
}

void JXLibCurl::Fail(const char* reason) {
    std::snprintf(m_szErrorBuffer, sizeof m_szErrorBuffer, "%s", reason);
}
