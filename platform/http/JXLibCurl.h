/// @file JXLibCurl.h
/// @brief The agent's HTTP transport (JXLibCurl) and the request and header kinds it takes.

/// @class JXLibCurl
/// @brief The agent's HTTP client object, built directly on libcurl.
///
/// One object keeps one libcurl easy handle for its whole life, so consecutive requests reuse
/// the TCP/TLS connection (keep-alive). The object is not thread-safe: its owner serialises the
/// request calls (CVSRestApiConnection does so with its request lock).
///
/// Defaults, restored by every JXLibCurlInit: connect timeout 30 s; a transfer slower than
/// 1 byte/s for 60 s is aborted (CURLOPT_CONNECTTIMEOUT, CURLOPT_LOW_SPEED_LIMIT,
/// CURLOPT_LOW_SPEED_TIME); TLS 1.2 or later (CURLOPT_SSLVERSION CURL_SSLVERSION_TLSv1_2); http
/// and https URLs only, redirects (when a caller turns following on) to https only
/// (CURLOPT_PROTOCOLS_STR "http,https", CURLOPT_REDIR_PROTOCOLS_STR "https"); the response
/// limits of JXLibCurlSetResponseLimits.
///
/// After every send: GetHttpErrorCode() is the HTTP status that came back (0 when none did),
/// GetHttpResponse() the body received (also for a status of 400 or more), and the error
/// buffer the reason of a failure (libcurl's text for a transport failure, `"HTTP error <n>"`
/// for a status of 400 or more, "the response carried no HTTP status" for none, the limits'
/// texts; empty after a success).
///
/// Every operation a caller might want to replace is virtual, so a derived object can stand in
/// for the network (tests, proxies, recorders).
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "TqDebug.h"
#include "VSPlatformExport.h"

/// The verb of a request (JXLibCurl::JXLibCurlSendHttpReqLog).
typedef enum _http_req_type_ {
    HTTP_REQ_GET = 0,     ///< GET; sends no body.
    HTTP_REQ_POST = 1,    ///< POST with the given body.
    HTTP_REQ_PUT = 2,     ///< PUT with the given body.
    HTTP_REQ_DELETE = 3,  ///< DELETE with the given body.
} HTTP_REQ_TYPE;

/// The kind of a header line (JXLibCurl::JXLibCurlAppendHeader).
typedef enum _http_hdr_type_ {
    HTTP_HDR_STANDARD = 0,  ///< One whole "Name: value" line, sent as it is.
} HTTP_HDR_TYPE;

/// The bounds of the process's pool of idle connections (JXLibCurl::EnableConnectionPool).
struct VSPLATFORM_EXPORT JXLibCurlPoolSettings {
    /// Idle handles kept at most; parking one more closes the one parked longest ago.
    size_t nMaxIdle = 8;
    /// Seconds a handle may sit idle; an older one is closed instead of being handed out.
    long nMaxIdleSeconds = 60;
};

class VSPLATFORM_EXPORT JXLibCurl {
public:
    /// libcurl's write-callback form (CURLOPT_WRITEFUNCTION); its last argument is the object.
    using WriteCallback = unsigned long (*)(void*, unsigned long, unsigned long, void*);

    /// An object ready for requests with the defaults, no content type and the object's own
    /// body buffer. Throws std::bad_alloc when libcurl cannot make a handle.
    JXLibCurl();
    /// Closes the handle and its connections, or parks them while the connection pool is on
    /// (EnableConnectionPool).
    virtual ~JXLibCurl();
    JXLibCurl(const JXLibCurl&) = delete;
    JXLibCurl& operator=(const JXLibCurl&) = delete;

    /// Makes the object ready for requests; may be called again. Restores the defaults (see the
    /// class) and forgets the options and limits set since the init before. What was set before
    /// the object's first init (a client's constructor sets options before connect) is the
    /// object's own: this init and every later one set it again after the defaults, so it
    /// survives them, except that skipSslVerify alone decides verification
    /// (CURLOPT_SSL_VERIFYPEER, CURLOPT_SSL_VERIFYHOST). What the owner sets after init wins
    /// over both: CVSRestApiConnection::connect sets its transport policy then, so a policy
    /// option set before connect yields to connect's value. Every request carries
    /// `"Content-Type: <contentType>"`; a content type holding CR or LF is refused (an Error
    /// line, false, no Content-Type line), since it would end the line early. skipSslVerify
    /// switches peer and host verification off (on by default). verbose turns on libcurl's trace,
    /// which goes to the object's debug log at level 0, one record per line (`"* "` for libcurl's
    /// own text, `"> "` for request header lines, `"< "` for response header lines, bodies as their
    /// byte counts only), masked like every record (see TqDebug.h); CURLOPT_VERBOSE set through the
    /// integer option setter does the same. A non-null writeCallback receives the response body
    /// instead of the object's buffer; the body limit does not apply to it, and it must not
    /// throw. Ends a loan of the body. False when libcurl refuses the protocol restriction or
    /// the content type is refused; the object is initialised either way.
    virtual bool JXLibCurlInit(const char* contentType, bool skipSslVerify, bool verbose,
                               WriteCallback writeCallback);
    /// Passes a libcurl option through, for all later exchanges until the next init; one set
    /// before the object's first init holds across every init (see JXLibCurlInit). Takes only
    /// long options and options with a fixed set of values (CURLOT_LONG, CURLOT_VALUES:
    /// CURLOPT_SSLVERSION, CURLOPT_HTTP_VERSION, ...); false for any other option, for one
    /// libcurl refuses, and before the first init when memory is short to keep it.
    virtual bool JXLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value);
    /// As the integer setter, for string options only (libcurl copies the string).
    /// CURLOPT_CUSTOMREQUEST and CURLOPT_NOBODY (through the integer setter) are kept for the
    /// sends, which set their verb's own options first: the method named (an HTTP token only;
    /// "" for the verb's own) replaces the verb's on every later send, and with CURLOPT_NOBODY 1
    /// a GET is sent as HEAD and reads no body, until they are set back or the next init.
    virtual bool JXLibCurlSetAdditionalOptionsStringValue(CURLoption option,
                                                          const std::string& value);
    /// As the integer setter, for curl_off_t options only (CURLOPT_MAXFILESIZE_LARGE).
    virtual bool JXLibCurlSetAdditionalOptionsOffValue(CURLoption option, curl_off_t value);
    /// Caps what one exchange may receive, in bytes: the body kept in the object's buffer
    /// (default 256 MiB; the decoded bytes of a compressed body, CURLOPT_ACCEPT_ENCODING, so a
    /// small body that expands past it fails as it is crossed) and the response header block,
    /// every line of it counted (default and most 200 KiB, 204800 bytes: libcurl itself stops
    /// a response at 300 KiB of header lines, so a larger limit could never act; a larger
    /// value sets 200 KiB). One header line may hold at most libcurl's CURL_MAX_HTTP_HEADER
    /// (100 KiB). Init restores the defaults; limits set before the first init survive it as
    /// options do. An exchange past a limit fails as soon as it is crossed, with
    /// `"response body exceeds the limit of <n> bytes"`,
    /// `"response header block exceeds the limit of <n> bytes"` or `"response header line
    /// exceeds the limit of 102400 bytes"` (a body or header block that memory cannot hold:
    /// "out of memory while receiving the response"), GetHttpErrorCode the status libcurl had
    /// received; what was received is dropped, and the object serves the next request.
    virtual void JXLibCurlSetResponseLimits(size_t body, size_t headers);
    /// Drops the header lines appended so far; always true.
    virtual bool JXLibCurlFreeHttpHeaderList();
    /// Appends a header line (type HTTP_HDR_STANDARD, one whole "Name: value" line), which goes
    /// out with every request until JXLibCurlFreeHttpHeaderList drops it. A "Content-Type"
    /// line replaces the one from init. False, nothing appended, for another type, a null line
    /// or when memory is short; also for a line holding CR or LF, which would end the line
    /// early and let the rest go out as lines, or as a second request, of their own (one Error
    /// line names the header, never its value). The line ends at its first NUL: a caller that
    /// builds it from a string that may hold NUL (a server's token) checks for it itself. A
    /// client adds its lines this way in its addCurlHeaders.
    virtual bool JXLibCurlAppendHeader(_http_hdr_type_ type, const char* line);
    /// Sets the lines appended so far aside and starts an empty list. A request prepared while
    /// another one is being prepared uses this and JXLibCurlPopHttpHeaderList, so neither
    /// request's lines reach the other.
    virtual bool JXLibCurlPushHttpHeaderList();
    /// Drops the current list and brings back the lines set aside last; false, nothing changed,
    /// when none are.
    virtual bool JXLibCurlPopHttpHeaderList();
    /// Carries one exchange. The body is sent as exactly `length` bytes (any bytes, NUL
    /// included) for POST, PUT and DELETE; GET sends none. Nothing of one request's verb or
    /// body carries over into the next. True when the transfer completed with an HTTP status
    /// below 400; one that completed without a status (0) fails. With logRequest / logResponse
    /// the object writes the request / response body to its own debug log at level 2 under
    /// `label` (the object's own label when null). Ends a loan of the body.
    virtual bool JXLibCurlSendHttpReqLog(HTTP_REQ_TYPE verb, const char* url, const void* body,
                                         unsigned long length, bool logRequest, bool logResponse,
                                         const char* label);
    /// headers false: the body of the last exchange (or the lent one, see
    /// JXLibCurlLendHttpResponse); true: its raw response header block (status line and header
    /// lines). Null with length 0 when there is none. The header block stays readable until the
    /// next exchange, the body until the next exchange or JXLibCurlTakeHttpResponse (a lent
    /// body while the caller's string lives unchanged).
    virtual const char* GetHttpResponse(unsigned long& length, bool headers);
    // Not virtual, so that objects derived against an earlier release keep their layout; a
    // derived object takes part through GetHttpResponse.
    /// Gives the body of the last exchange to `body` without copying it (what `body` held is
    /// dropped); GetHttpResponse(length, false) then answers null until the next exchange. The
    /// header block stays with the object. A derived object whose GetHttpResponse answers with
    /// storage of its own, or with less than the whole body, has exactly that answer (pointer
    /// and length) copied to `body` instead, and keeps its body.
    void JXLibCurlTakeHttpResponse(std::string& body);
    /// After the body was handed over (JXLibCurlTakeHttpResponse), makes
    /// GetHttpResponse(length, false) answer from `body` again, which the caller keeps alive
    /// and unchanged until JXLibCurlEndHttpResponseLoan(), the next exchange or init; otherwise
    /// changes nothing.
    void JXLibCurlLendHttpResponse(const std::string& body);
    /// Ends a loan of the body: GetHttpResponse(length, false) no longer reads the caller's
    /// string. Harmless when there is none.
    void JXLibCurlEndHttpResponseLoan();
    // Not virtual, like the body hand-over above.
    /// Records a failure found before any exchange (a connect its owner refused, a request made
    /// before a connect): GetCurlErrorBuffer() answers `reason` (cut to CURL_ERROR_SIZE - 1
    /// bytes; a null reason is the empty text) and GetHttpErrorCode() 0, until the next
    /// exchange.
    void JXLibCurlSetError(const char* reason);
    /// Where the time of an exchange went: each phase in microseconds from the exchange's start,
    /// as libcurl measured it (CURLINFO_NAMELOOKUP_TIME_T, CURLINFO_CONNECT_TIME_T,
    /// CURLINFO_APPCONNECT_TIME_T, CURLINFO_STARTTRANSFER_TIME_T, CURLINFO_TOTAL_TIME_T). A phase
    /// the exchange did not reach (a refused connect) is 0; over a connection already open
    /// (bReused) there was no connect (0) and no handshake (-1).
    struct Timings {
        int64_t nLookupUs = 0;     ///< the host name resolved, or the open connection found
        int64_t nConnectUs = 0;    ///< the TCP connection up
        int64_t nTlsUs = -1;       ///< the TLS handshake done; -1 when the exchange made none
        int64_t nFirstByteUs = 0;  ///< the first byte of the response in
        int64_t nTotalUs = 0;      ///< the exchange done
        bool bReused = false;      ///< no new connection was opened (CURLINFO_NUM_CONNECTS 0)
    };
    // Not virtual, like the body hand-over above.
    /// Fills `timings` from the last exchange this object carried itself, failed ones included;
    /// false, `timings` untouched, when it carried none since its last init (a derived object
    /// that carries its exchanges itself never has).
    bool JXLibCurlGetTimings(Timings& timings) const;
    // Not virtual, like the body hand-over above.
    /// Ends the exchange under way on another thread, and refuses every later one, until
    /// JXLibCurlResetCancel(): the send returns false with "the request was cancelled" in the
    /// error buffer, GetHttpErrorCode() the status if one had arrived (else 0), and no body.
    /// Safe to call from any thread while an exchange runs (not while the object is destroyed).
    /// Over an open connection the exchange ends at once: the call shuts its sockets down,
    /// which also ends the object's idle connections (a connection that came with a pooled
    /// handle, from its first exchange in this object on). While the name is resolved or the
    /// connection opened it ends at libcurl's next progress check, within about a second; so
    /// does a transfer a caller took off the progress callback (CURLOPT_NOPROGRESS 1).
    void JXLibCurlCancel();
    /// Lets exchanges run again after JXLibCurlCancel(); harmless when none was made. Any thread.
    void JXLibCurlResetCancel();
    /// Percent-encodes every byte of `text` but letters, digits and "-._~" into `escaped`.
    /// False, `escaped` empty, when libcurl cannot (text too long, memory short).
    virtual bool JXLibCurlUrlEscape(const std::string& text, std::string& escaped);

    /// Keeps connections across objects, for the whole process: from this call on, an object's
    /// destructor parks its libcurl handle, with its open connections, in a process-wide pool
    /// instead of closing it, and a new object takes the handle parked last instead of making
    /// one. libcurl reuses a parked connection only for a request with the same scheme, host,
    /// port and TLS settings (CA file, verification); any other opens its own. The object
    /// taking a handle starts exactly as a new one: no header line, option, limit, trace
    /// setting, error text, status or body of the object before reaches it, and the handle
    /// holds at most libcurl's default of five connections. A handle is closed, never parked,
    /// when its object turned on a cookie, alt-svc or HSTS store, set credentials through an
    /// option (CURLOPT_USERPWD, CURLOPT_USERNAME, CURLOPT_PASSWORD, CURLOPT_XOAUTH2_BEARER,
    /// CURLOPT_HTTPAUTH, their proxy forms, a client certificate or key, ...: libcurl would
    /// reuse the connection for another account's requests) or left more than five connections
    /// open (it raised CURLOPT_MAXCONNECTS). Header lines (a session token) are per request and
    /// play no part in the reuse. A forked child never uses a connection of its parent's: the
    /// handles the child inherits are closed without a byte sent or read on the parent's streams.
    /// Idle connections are closed when the pool passes its bounds (checked whenever an object
    /// comes or goes: a handle idle past the age stays open until then, closed before it could be
    /// handed out) and when the process exits. Calling it again changes the bounds. Thread-safe.
    static void EnableConnectionPool(const JXLibCurlPoolSettings& settings = {});
    /// Closes every idle connection and makes destroyed objects close theirs again (the
    /// default). Thread-safe.
    static void DisableConnectionPool();

    /// "GET", "POST", "PUT", "DELETE"; "UNKNOWN" for any other value. Never null.
    static const char* GetHttpReqTypeString(HTTP_REQ_TYPE verb);

    /// The HTTP status of the last exchange; 0 when none came back.
    int64_t GetHttpErrorCode() const { return m_nHttpErrorCode; }
    /// Why the last exchange failed; empty after a success. Never null.
    const char* GetCurlErrorBuffer() const { return m_szErrorBuffer; }

protected:
    // Derived stand-ins report their outcome through these two, as the real sends do.
    /// The status GetHttpErrorCode answers.
    int64_t m_nHttpErrorCode = 0;
    /// The text GetCurlErrorBuffer answers; libcurl writes its own reasons here.
    char m_szErrorBuffer[CURL_ERROR_SIZE] = {};

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};
