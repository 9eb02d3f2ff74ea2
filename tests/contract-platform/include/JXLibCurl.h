// JXLibCurl: the agent's HTTP client object, on one libcurl easy handle.
//
// Only libcurl's own option defaults apply: no timeout, protocol restriction or TLS floor is
// set here. A send is true for every exchange that completed, whatever its HTTP status, and
// false for a transport failure, with libcurl's text in the error buffer. The status of the
// last exchange (0 when none came back) is GetHttpErrorCode(). Not thread-safe: the owner
// serialises the request calls.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <memory>
#include <string>

typedef enum _http_req_type_ {
    HTTP_REQ_GET = 0,
    HTTP_REQ_POST = 1,
    HTTP_REQ_PUT = 2,
    HTTP_REQ_DELETE = 3,
} HTTP_REQ_TYPE;

enum _http_hdr_type_ {
    HTTP_HDR_STANDARD = 0,  // one whole "Name: value" line
};

class JXLibCurl {
public:
    JXLibCurl();
    virtual ~JXLibCurl();
    JXLibCurl(const JXLibCurl&) = delete;
    JXLibCurl& operator=(const JXLibCurl&) = delete;

    // Every request carries "Content-Type: <contentType>". skipSslVerify turns peer and host
    // verification off; verbose turns on libcurl's own trace (CURLOPT_VERBOSE). A non-null
    // writeCallback receives the body instead of the object, with the object as its last
    // argument. May be called again: it forgets the options set before.
    virtual bool JXLibCurlInit(const char* contentType, bool skipSslVerify, bool verbose,
                               unsigned long (*writeCallback)(void*, unsigned long, unsigned long,
                                                              void*));
    // Pass the option to libcurl, for all later exchanges until the next init.
    virtual bool JXLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value);
    virtual bool JXLibCurlSetAdditionalOptionsStringValue(CURLoption option,
                                                          const std::string& value);
    virtual bool JXLibCurlFreeHttpHeaderList();
    // The line goes out with every request until the list is freed.
    virtual bool JXLibCurlAppendHeader(_http_hdr_type_ type, const char* line);
    // GET sends no body; POST, PUT and DELETE send exactly `length` bytes. The two flags and
    // the label are not used.
    virtual bool JXLibCurlSendHttpReqLog(HTTP_REQ_TYPE verb, const char* url, const void* body,
                                         unsigned long length, bool logRequest, bool logResponse,
                                         const char* label);
    // headers false: the body received by the last send, valid until the next one; null when
    // no answer came back. headers true: null (no header block is kept).
    virtual const char* GetHttpResponse(unsigned long& length, bool headers);
    // "GET", "POST", "PUT", "DELETE"; "UNKNOWN" for any other value.
    static const char* GetHttpReqTypeString(HTTP_REQ_TYPE verb);
    // libcurl's percent-encoding; false with `escaped` empty when libcurl cannot.
    virtual bool JXLibCurlUrlEscape(const std::string& text, std::string& escaped);

    int64_t GetHttpErrorCode() { return m_nHttpErrorCode; }
    char* GetCurlErrorBuffer() { return m_szErrorBuffer; }

private:
    struct Handles;

    static size_t CollectBody(char* data, size_t size, size_t count, void* self);
    bool SetVerb(HTTP_REQ_TYPE verb, const void* body, unsigned long length);
    bool SetOwnVerb(HTTP_REQ_TYPE verb, const void* body, unsigned long length);
    void Fail(const char* reason);

    std::unique_ptr<Handles> m_pHandles;
    std::string m_strContentType;
    std::string m_strBody;
    bool m_bHasResponse = false;
    int64_t m_nHttpErrorCode = 0;
    char m_szErrorBuffer[CURL_ERROR_SIZE] = {};
};
