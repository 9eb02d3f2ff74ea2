// JXLibCurl: the agent's HTTP client object, built directly on libcurl.
//
// One object keeps one libcurl easy handle for its whole life, so consecutive requests reuse
// the TCP/TLS connection (keep-alive). The object is not thread-safe: its owner serialises the
// request calls (CVSRestApiConnection does so with its request lock).
//
// Contract:
//  - JXLibCurlInit(contentType, skipSslVerify, verbose, writeCallback) makes the object ready
//    for requests and may be called again; it restores the defaults below and forgets options
//    set before it. Every request carries "Content-Type: <contentType>". skipSslVerify switches
//    peer and host verification off (on by default). verbose turns on libcurl's trace, which
//    goes to the object's debug log at level 0, one record per line ("* " for libcurl's own
//    text, "> " for request header lines, "< " for response header lines, bodies as their
//    byte counts only), masked like every record (see TqDebug.h); CURLOPT_VERBOSE set through
//    the integer option setter does the same. A non-null writeCallback receives the response body
//    instead of the object's buffer (libcurl's write-callback form; its last argument is this
//    object); the body limit below does not apply to it, and it must not throw. Init returns
//    false when libcurl refuses the protocol restriction below.
//  - Option setters pass a libcurl option through and hold for all later exchanges until the
//    next init. Defaults: connect timeout 30 s; a transfer slower than 1 byte/s for 60 s is
//    aborted (CURLOPT_CONNECTTIMEOUT, CURLOPT_LOW_SPEED_LIMIT, CURLOPT_LOW_SPEED_TIME); TLS 1.2
//    or later (CURLOPT_SSLVERSION CURL_SSLVERSION_TLSv1_2); http and https URLs only, redirects
//    (when a caller turns following on) to https only (CURLOPT_PROTOCOLS_STR "http,https",
//    CURLOPT_REDIR_PROTOCOLS_STR "https").
//    The integer setter takes only long options and options with a fixed set of values
//    (CURLOT_LONG, CURLOT_VALUES: CURLOPT_SSLVERSION, CURLOPT_HTTP_VERSION, ...), the curl_off_t
//    setter only curl_off_t options (CURLOPT_MAXFILESIZE_LARGE), the string setter only string
//    options; any other option is refused with false.
//  - JXLibCurlSetResponseLimits(body, headers) caps what one exchange may receive: the body
//    kept in the object's buffer (default 256 MiB) and the response header block, every line
//    of it counted (default 1 MiB). Init restores the defaults. An exchange past a limit fails
//    as soon as it is crossed, with "response body exceeds the limit of <n> bytes" or
//    "response header block exceeds the limit of <n> bytes" (one that memory cannot hold:
//    "out of memory while receiving the response"), GetHttpErrorCode the status libcurl had
//    received; what was received is dropped, and the object serves the next request.
//  - Header lines (header type HTTP_HDR_STANDARD, one whole "Name: value" line) go out with
//    every request until JXLibCurlFreeHttpHeaderList drops them.
//  - JXLibCurlPushHttpHeaderList sets the lines appended so far aside and starts an empty list;
//    JXLibCurlPopHttpHeaderList drops the current list and brings back the lines set aside
//    last (false, nothing changed, when none are). A request prepared while another one is
//    being prepared uses the pair, so neither request's lines reach the other.
//  - JXLibCurlSendHttpReqLog(verb, url, body, length, logRequest, logResponse, label) carries
//    one exchange. The body is sent as exactly `length` bytes (any bytes, NUL included) for
//    POST, PUT and DELETE; GET sends none. Nothing of one request's verb or body carries over
//    into the next. Returns true when the transfer completed with an HTTP status below 400;
//    one that completed without a status (0) fails.
//    With logRequest / logResponse the object writes the request / response body to its own
//    debug log at level 2 under `label` (the object's own label when null).
//  - After every send: GetHttpErrorCode() is the HTTP status that came back (0 when none did),
//    GetHttpResponse() the body received (also for a status of 400 or more), and the error
//    buffer the reason of a failure (libcurl's text for a transport failure, "HTTP error <n>"
//    for a status of 400 or more, "the response carried no HTTP status" for none, the limits'
//    texts above; empty after a success).
//  - GetHttpResponse(length, headers): headers false gives the body, true the raw response
//    header block of the last exchange (status line and header lines). Null with length 0
//    when there is none.
//  - JXLibCurlTakeHttpResponse(body) gives the body of the last exchange to `body` without
//    copying it (what `body` held is dropped); GetHttpResponse(length, false) then answers null
//    until the next exchange. The header block stays with the object. A derived object whose
//    GetHttpResponse answers with storage of its own, or with less than the whole body, has
//    exactly that answer (pointer and length) copied to `body` instead.
//  - JXLibCurlLendHttpResponse(body), after the body was handed over, makes
//    GetHttpResponse(length, false) answer from `body` again, which the caller keeps alive and
//    unchanged until JXLibCurlEndHttpResponseLoan(), the next exchange or init; otherwise it
//    changes nothing.
//
// Every operation a caller might want to replace is virtual, so a derived object can stand in
// for the network (tests, proxies, recorders).
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "TqDebug.h"

typedef enum _http_req_type_ {
    HTTP_REQ_GET = 0,
    HTTP_REQ_POST = 1,
    HTTP_REQ_PUT = 2,
    HTTP_REQ_DELETE = 3,
} HTTP_REQ_TYPE;

typedef enum _http_hdr_type_ {
    HTTP_HDR_STANDARD = 0,
} HTTP_HDR_TYPE;

class JXLibCurl {
public:
    using WriteCallback = unsigned long (*)(void*, unsigned long, unsigned long, void*);

    JXLibCurl();
    virtual ~JXLibCurl();
    JXLibCurl(const JXLibCurl&) = delete;
    JXLibCurl& operator=(const JXLibCurl&) = delete;

    virtual bool JXLibCurlInit(const char* contentType, bool skipSslVerify, bool verbose,
                               WriteCallback writeCallback);
    virtual bool JXLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value);
    virtual bool JXLibCurlSetAdditionalOptionsStringValue(CURLoption option,
                                                          const std::string& value);
    virtual bool JXLibCurlSetAdditionalOptionsOffValue(CURLoption option, curl_off_t value);
    virtual void JXLibCurlSetResponseLimits(size_t body, size_t headers);  // bytes
    virtual bool JXLibCurlFreeHttpHeaderList();
    virtual bool JXLibCurlAppendHeader(_http_hdr_type_ type, const char* line);
    virtual bool JXLibCurlPushHttpHeaderList();
    virtual bool JXLibCurlPopHttpHeaderList();
    virtual bool JXLibCurlSendHttpReqLog(HTTP_REQ_TYPE verb, const char* url, const void* body,
                                         unsigned long length, bool logRequest, bool logResponse,
                                         const char* label);
    virtual const char* GetHttpResponse(unsigned long& length, bool headers);
    // Not virtual, so that objects derived against an earlier release keep their layout; a
    // derived object takes part through GetHttpResponse.
    void JXLibCurlTakeHttpResponse(std::string& body);
    void JXLibCurlLendHttpResponse(const std::string& body);
    void JXLibCurlEndHttpResponseLoan();
    virtual bool JXLibCurlUrlEscape(const std::string& text, std::string& escaped);

    // "GET", "POST", "PUT", "DELETE"; "UNKNOWN" for any other value. Never null.
    static const char* GetHttpReqTypeString(HTTP_REQ_TYPE verb);

    int64_t GetHttpErrorCode() const { return m_nHttpErrorCode; }
    const char* GetCurlErrorBuffer() const { return m_szErrorBuffer; }

protected:
    // Derived stand-ins report their outcome through these two, as the real sends do.
    int64_t m_nHttpErrorCode = 0;
    char m_szErrorBuffer[CURL_ERROR_SIZE] = {};

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};
