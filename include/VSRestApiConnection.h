/// @class CVSRestApiConnection
/// @brief The base class of the agent's REST API clients.
///
/// A client derives from it, assigns the connection settings (m_strContentType, m_bUseHttps,
/// m_nPort, m_strBasePath, m_bUseLoginHeaders), calls connect() and then get/post/put/del.
/// Every request runs through sendReq(), which holds the connection's request lock for the whole
/// exchange, composes the URL, collects the header lines, logs the request, sends it, reads the
/// response back and logs the outcome. Each step is a virtual hook a client may override.
///
/// The request lock is recursive (the platform's lock primitive must be: requirement LOCK-1 of
/// VSPlatformRequirements.h): a hook may issue a further request on the same connection. Each
/// request goes out with exactly the lines its own hooks appended: the nested request sets the
/// outer one's lines aside and puts them back where the transport has a header stack (ours
/// does), and otherwise the outer request runs its header hooks again once the nested one is
/// done.
/// Requests from several threads on one connection run one at a time. connect() and the
/// members must be set up before requests are issued.
///
/// Every line the library writes is masked for secrets by the library itself before the
/// platform's log sees it, and the transport policy (http and https only, redirects to https
/// only, TLS 1.2 or later, the connect and stall timeouts) is set by connect() through the
/// option setters, so both hold on any platform.
///
/// A connection keeps its TCP/TLS connection open between requests. A process that makes a
/// connection object per job keeps them across objects too once it calls
/// JXLibCurl::EnableConnectionPool(): a destroyed object's transport then parks its open
/// connections for the next object that talks to the same host with the same TLS settings.
///
/// The rules every hook keeps (its place in the request path, the lock it runs under, which
/// results count) are under @ref vsrest_hooks "Hooks" below. A complete client is the sample
/// in "Deriving a client" on the @ref index "main page" (the README, installed as
/// /usr/share/doc/libvssupport-dev/README.md.gz), shipped ready to build in
/// /usr/share/doc/libvssupport-dev/examples/.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "JXLibCurl.h"
#include "JxCriticalSection.h"
#include "TqDebug.h"
#include "VSSupportExport.h"

/// The caller's per-request options. The base class only hands the pointer on to computeUrl()
/// and addCurlHeaders(); a client derives its own record from this one and reads it in its
/// overrides (the virtual destructor makes dynamic_cast and deleting through the base work).
struct VSSUPPORT_EXPORT VSRestApiRequestOptions {
    /// Virtual, so that a client's record can be found with dynamic_cast and deleted through
    /// this type.
    virtual ~VSRestApiRequestOptions();
};

/// Where the time of one exchange went (CVSRestApiConnection::getLastTimings): each phase in
/// microseconds from the start of the exchange, so that on a completed exchange over a new
/// connection lookup <= connect <= TLS <= first byte <= total. A phase the exchange did not
/// reach (a refused connect) is 0; over a connection already open (bReused) there was no
/// connect (0) and no TLS handshake (-1).
struct VSRestApiTimings {
    /// False when nothing is known: no exchange yet, or a platform transport that cannot say
    /// (every figure below is then 0, the TLS phase -1).
    bool bKnown = false;
    int64_t nLookupUs = 0;     ///< the host name resolved, or the open connection found
    int64_t nConnectUs = 0;    ///< the TCP connection up
    int64_t nTlsUs = -1;       ///< the TLS handshake done; -1 when the exchange made none
    int64_t nFirstByteUs = 0;  ///< the first byte of the response in
    int64_t nTotalUs = 0;      ///< the exchange done
    bool bReused = false;      ///< the exchange went over a connection left open by an earlier one
};

/// When and how a connection sends a request again (CVSRestApiConnection::setRetryPolicy).
/// Retried: GET, PUT and DELETE, and a POST that isRepeatableRequest marks; after a failure
/// before any byte of a response (refused, reset, a connect that timed out) or an answer of
/// 429, 502, 503 or 504. The wait before retry n is the answer's Retry-After (seconds or an
/// HTTP-date) where it has one (read from the transport's header block, GetHttpResponse(length,
/// true): on a platform whose transport keeps none, the backoff applies), else drawn at random
/// between 0 and nFirstDelayMs doubled n - 1 times (full jitter); never longer than nMaxDelayMs. A
/// wait that would leave less than 50 ms of nDeadlineMs for the next attempt is not taken: the last
/// attempt's outcome is the request's.
///
///     VSRestApiRetryPolicy policy;
///     policy.nMaxAttempts = 4;       // the first attempt and up to three retries
///     policy.nFirstDelayMs = 250;
///     policy.nMaxDelayMs = 5000;     // also the longest Retry-After honoured
///     policy.nDeadlineMs = 60000;    // the whole request, waits included
///     client.setRetryPolicy(policy);
struct VSSUPPORT_EXPORT VSRestApiRetryPolicy {
    /// Attempts in all, the first included; 1 (the default) or less: no retries.
    int nMaxAttempts = 1;
    /// The ceiling of the first wait, in milliseconds; it doubles for each later retry.
    long nFirstDelayMs = 200;
    /// The longest wait between attempts, in milliseconds, a Retry-After's included.
    long nMaxDelayMs = 10000;
    /// The whole request's time, every attempt and wait included, in milliseconds; 0: none.
    long nDeadlineMs = 60000;
};

class VSSUPPORT_EXPORT CVSRestApiConnection {
public:
    /// An unconnected connection owning a new transport (m_pCurl); the settings are empty,
    /// false or 0 until the client assigns them.
    CVSRestApiConnection();
    /// Deletes the transport, m_pCurl, also when a client has replaced it.
    virtual ~CVSRestApiConnection();
    CVSRestApiConnection(const CVSRestApiConnection&) = delete;
    CVSRestApiConnection& operator=(const CVSRestApiConnection&) = delete;

    /// Request and response lines go to level 0 instead of 2 from now on; nothing clears it.
    void enableDebug();

    /// Initialises the transport for m_strContentType (which must be set) and remembers the
    /// server: a host name (labels of letters, digits, hyphens not first or last, and "_",
    /// between dots; an internationalised name in UTF-8), an IPv4 address or an IPv6 address in
    /// brackets with an optional zone ("[::1]", "[fe80::1%25eth0]"), with a ":port" of 1-65535
    /// only while m_nPort is 0 (computeUrl writes it as given). m_strBasePath must be empty or
    /// start with "/" and hold no blank or control character: one without its "/" would join
    /// the host name (".attacker.example/api"). skipSslVerify turns
    /// certificate checks off and ignores caFile; otherwise a non-empty caFile names the CA
    /// bundle, a non-empty regular file this process may read. Sets the transport policy on
    /// every connect, after CURLOPT_NOSIGNAL: CURLOPT_SSLVERSION TLS 1.2 or later,
    /// CURLOPT_CONNECTTIMEOUT 30 s, CURLOPT_LOW_SPEED_LIMIT 1 byte/s for CURLOPT_LOW_SPEED_TIME
    /// 60 s, CURLOPT_TIMEOUT_MS kDefaultRequestDeadlineMs (see setRequestDeadline),
    /// CURLOPT_PROTOCOLS_STR "http,https", CURLOPT_REDIR_PROTOCOLS_STR "https"; a client
    /// that wants other values sets them after connect. A transport that refuses one fails
    /// connect ("Failed to set curl option:[CURLOPT_SSLVERSION]"). Then CURLOPT_ACCEPT_ENCODING
    /// "" (every encoding libcurl decodes; see setCompression), which a transport may refuse:
    /// bodies then come uncompressed. With the vsplatform
    /// transport, options a client sets through m_pCurl before the first connect (in its
    /// constructor) survive this and every later connect, except verification, which
    /// skipSslVerify decides, and the policy options above; on a platform whose init forgets
    /// options, set them after connect.
    ///
    /// Refused before the transport's settings are touched, so that the earlier server,
    /// transport and state hold: no content type; an empty server text, or one with a scheme
    /// ("http://..."), a path ("/" or a backslash), a query, a fragment or user information
    /// ("?", "#", "@"), a blank or a control character, an IPv6 address outside brackets, any
    /// other text that is not a host as above ("a,b", "a%2fb", "..", "999.1.1.1") or a bad
    /// port; a base path as above; a CA file that cannot be read. Any later failure leaves the
    /// connection unconnected (the transport has lost its earlier settings), and requests fail
    /// until a connect succeeds. Every failure writes one Error line, and getLastCurlError() gives
    /// the same text until the next request or a connect that succeeds (getLastHttpStatus() 0).
    bool connect(const std::string& server, bool skipSslVerify, const std::string& caFile);

    /// scheme + server [+ ":" port] + base path + ["/"] + resource; nothing is encoded. The "/"
    /// is added only when the resource does not start with one and the base path does not end
    /// in one: base "/api/v1" or "/api/v1/" with "vms" gives ".../api/v1/vms", base "/" gives
    /// "/vms"; a resource that starts with "/" is written as given ("/api/" and "/vms" give
    /// "/api//vms").
    virtual bool computeUrl(const std::string& server, const std::string& resource,
                            const VSRestApiRequestOptions* options, std::string& url);

    /// @name Requests
    /// @anchor vsrest_requests
    /// The four requests: GET with no body, POST, PUT and DELETE with `body` sent byte for byte.
    /// True when the server answered with a status below 400, whatever the platform's send says
    /// of a completed exchange; `response` then holds the body (empty when there was none). False
    /// when the connection is not connected (nothing is sent, `response` is left as it was,
    /// getLastCurlError() is "not connected: call connect() first" and getLastHttpStatus() 0), when
    /// the transport failed (refused, timed out, cut off: `response` holds whatever body arrived,
    /// getLastCurlError() says why and getLastHttpStatus() is 0), or when the status was 400 or
    /// more (`response` holds the error body the server sent, getLastHttpStatus() the status,
    /// getLastCurlError() the transport's text or, when it gave none, "HTTP error <status>"). Every
    /// failure writes the LogError lines at Error level, the bodies included (secrets masked; see
    /// LogError for how to route or quiet them).
    /// @{

    /// GET `resource`, with no body; the result and `response` as under
    /// @ref vsrest_requests "Requests".
    bool get(const std::string& resource, std::string& response, VSRestApiRequestOptions* options);
    /// DELETE `resource`, sending `body`; the result and `response` as under
    /// @ref vsrest_requests "Requests".
    bool del(const std::string& resource, const std::string& body, std::string& response,
             VSRestApiRequestOptions* options);
    /// POST `body` to `resource`; the result and `response` as under
    /// @ref vsrest_requests "Requests".
    bool post(const std::string& resource, const std::string& body, std::string& response,
              VSRestApiRequestOptions* options);
    /// PUT `body` to `resource`; the result and `response` as under
    /// @ref vsrest_requests "Requests".
    bool put(const std::string& resource, const std::string& body, std::string& response,
             VSRestApiRequestOptions* options);
    /// PATCH `body` to `resource`; the result and `response` as under
    /// @ref vsrest_requests "Requests". It takes the whole request path of a POST (the hooks and
    /// isRepeatableRequest see HTTP_REQ_POST, requestMethod() says "PATCH", so it is not
    /// retried unless marked) and the exchange lines say PATCH. The transport sends it as a POST
    /// whose method CURLOPT_CUSTOMREQUEST "PATCH" replaces, set through the string setter right
    /// before the send and "" right after it (VSPlatformRequirements.h, HTTP-20); a transport
    /// that refuses the option fails the request before anything is sent ("the transport
    /// refused CURLOPT_CUSTOMREQUEST: PATCH cannot be sent").
    bool patch(const std::string& resource, const std::string& body, std::string& response,
               VSRestApiRequestOptions* options);
    /// HEAD `resource`: a GET whose answer has no body (CURLOPT_NOBODY 1 through the integer
    /// setter for the send, 0 after it; HTTP-20). The result as under
    /// @ref vsrest_requests "Requests"; the status in getLastHttpStatus() and the header lines in
    /// getLastResponseHeaders(). The hooks see HTTP_REQ_GET, requestMethod() says "HEAD".
    bool head(const std::string& resource, VSRestApiRequestOptions* options);
    /// @}

    /// Appends "?" (or "&" once the query holds a "?") and one printf-formatted argument. The
    /// argument is appended whole, however long; nothing is encoded (see UrlEncode). The format
    /// must be a literal: an encoded value passed as the format has its "%20" read as a
    /// directive, and GCC and Clang warn about a format that is not a literal only with
    /// -Wformat-security (or -Wformat-nonliteral), which -Wall -Wextra do not turn on. To add a
    /// name and a value, appendQueryParameter encodes both and formats nothing.
    void appendQueryStringArgument(std::string& query, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    /// Appends "?" (or "&" once the query holds a "?"), `name` encoded, "=" and `value` encoded
    /// (both through UrlEncode), so that "&", "=", "%", "#", blanks and any byte in them arrive
    /// as the text given; nothing is formatted.
    ///
    ///     std::string resource = "vms";
    ///     client.appendQueryParameter(resource, "name_like", "web 0%s");  //
    ///     vms?name_like=web%200%25s client.appendQueryParameter(resource, "_page",
    ///     std::to_string(page));
    void appendQueryParameter(std::string& query, const std::string& name,
                              const std::string& value);

    /// Percent-encodes text through the transport. When the transport produces nothing for a
    /// non-empty text it logs an error and encodes the text itself (every byte but A-Z, a-z,
    /// 0-9 and `-._~` as "%XX"): the raw text is never handed back.
    std::string UrlEncode(const std::string& text);

    /// The transport's most recent error text, empty when it has none; after a request refused
    /// for want of a connect "not connected: call connect() first", after a cancelled one "the
    /// request was cancelled" (see cancel()), after a failed connect its reason (see connect()).
    /// Takes the request lock, so it waits for a request under way on another thread.
    std::string getLastCurlError();

    /// The HTTP status of the last exchange (200, 404, ...); 0 when none came back (a transport
    /// failure, a request or connect refused before the transport, or no request yet). Takes the
    /// request lock like getLastCurlError().
    long getLastHttpStatus();

    /// Turns retries on (nMaxAttempts above 1) or off for the requests issued from now on; off
    /// by default. While they are on, each attempt runs the header hooks, LogRequest, the send
    /// and recvResp again (so addLoginCurlHeaders may log in again between attempts), each
    /// retry writes one line at level 0 ("Retrying GET [url]: attempt 1 of 4 failed (HTTP error
    /// 503); next attempt in 2000 ms"), LogError runs once, after the last attempt, and the
    /// result, the response, getLastHttpStatus() and getLastCurlError() are the last
    /// attempt's. Each attempt's time limit is the smaller of the request deadline
    /// (setRequestDeadline) and what is left of nDeadlineMs. Takes the request lock.
    ///
    ///     VSRestApiRetryPolicy policy;
    ///     policy.nMaxAttempts = 3;
    ///     client.setRetryPolicy(policy);
    void setRetryPolicy(const VSRestApiRetryPolicy& policy);
    /// The policy set last (the defaults of VSRestApiRetryPolicy until one is). Takes the
    /// request lock.
    VSRestApiRetryPolicy getRetryPolicy();
    /// Bounds every attempt of every later request, the whole exchange from connect to the
    /// body's last byte, to `deadlineMs` milliseconds (0: no bound), through the transport's
    /// CURLOPT_TIMEOUT_MS: the stall abort of connect() ends only a transfer slower than
    /// 1 byte/s, and a body trickled faster than that would otherwise run on. By default
    /// kDefaultRequestDeadlineMs, set once by connect() (so a CURLOPT_TIMEOUT a client sets after
    /// connect holds until it calls this or turns retries on). From this call on (and while a retry
    /// policy is on), the library sets CURLOPT_TIMEOUT_MS before each attempt, replacing a
    /// CURLOPT_TIMEOUT a client set itself. Takes the request lock.
    ///
    ///     client.setRequestDeadline(120000);   // no request runs longer than two minutes
    void setRequestDeadline(long deadlineMs);
    /// The request deadline until setRequestDeadline changes it: ten minutes, long enough for a
    /// large VM list over a slow link, short enough that a trickled body cannot hold a job.
    static constexpr long kDefaultRequestDeadlineMs = 600000;

    /// Cancels the request under way, from any thread, without waiting for the request lock:
    /// the exchange in flight and any wait between attempts end (within 100 ms over an open
    /// connection; while the server's name is resolved or its connection opened, at the
    /// transport's next check, within about a second). The request returns false with no
    /// retry, getLastCurlError() "the request was cancelled", getLastHttpStatus() the status of
    /// its last exchange if one had arrived (else 0), nothing half-received in `response`, and
    /// its LogError lines. Until resetCancel(), every request on the connection fails the same
    /// way at once, before it sends anything, so a request issued just after cancel() cannot
    /// slip through. On a platform whose transport cannot end an exchange from another thread
    /// (our stand-ins can), the exchange in flight runs to its end and the request stops at the
    /// next attempt boundary: the wait still ends at once, and no further attempt is made (a
    /// last exchange that succeeded still counts). Our transport also ends the connection's open
    /// connections; the next request opens a new one. Must not be called while the connection
    /// is being destroyed.
    ///
    ///     std::thread stopper([&] { stopSignal.wait(); client.cancel(); });
    ///     if (!client.get("vms", response, nullptr)) { ... }  // "the request was cancelled"
    ///     stopper.join();
    ///     client.resetCancel();  // the connection serves the next job normally
    void cancel();
    /// Lets requests run again after cancel(); harmless when nothing was cancelled. Any thread.
    void resetCancel();

    /// Whether requests offer compressed bodies: on by default, every encoding the transport's
    /// libcurl decodes (gzip, deflate, brotli, zstd, as built) in an Accept-Encoding line, and
    /// the caller gets the decoded body. The response body limit of the transport counts decoded
    /// bytes, so a small compressed body that expands past it fails at the limit. Off: requests
    /// carry no Accept-Encoding line (one appended by the header hooks aside); a body a server
    /// compresses anyway is still decoded. Takes effect with the next request, whether set
    /// before or after connect(); takes the request lock like getLastHttpStatus().
    void setCompression(bool on);

    /// Where the time of the last exchange went, failed ones included; bKnown is false before
    /// any exchange and on a platform whose transport cannot say. A request refused before the
    /// transport (not connected) leaves the figures of the exchange before. Each exchange also
    /// writes them in one line, at level 2 (enableDebug() leaves it there), after its response or
    /// error lines: "timings GET <url>: lookup 0.100 ms, connect 0.300 ms, tls -, first byte 1.200
    /// ms, total 1.400 ms, new connection" ("connection reused"), or "timings GET <url>:
    /// unknown".
    /// Takes the request lock like getLastHttpStatus().
    VSRestApiTimings getLastTimings();

    /// The header lines of the last exchange's final response, in the order they came, as
    /// (name, value) pairs: a name as the server wrote it (a line whose name is not a token is
    /// left out), a value without its surrounding blanks and otherwise as it came (a CR or NUL
    /// inside included: check a value before copying it into a header line, which the transport
    /// refuses), a folded line joined to the one it continues with one blank. Only the last
    /// response's lines, when the exchange held several (a "100 Continue", a redirect followed,
    /// a proxy's CONNECT answer). Read from the transport's header block (GetHttpResponse(length,
    /// true)): empty before any exchange and on a platform whose transport keeps none. Takes the
    /// request lock, so a header hook (saveLoginCurlHeaders) may call it too.
    std::vector<std::pair<std::string, std::string>> getLastResponseHeaders();
    /// The value of the header `name` (any letter case) in the last exchange's final response;
    /// several lines of that name joined by ", " as HTTP combines them (read Set-Cookie through
    /// getLastResponseHeaders); empty when there is none.
    ///
    ///     if (client.get("vms?_page=1", body, nullptr)) {
    ///         const std::string total = client.getLastResponseHeader("X-Total-Count");
    ///     }
    std::string getLastResponseHeader(const std::string& name);

    /// @name Request settings
    /// Assigned once, kept across connects, and applied to every request from the next one on,
    /// whether set before or after connect(). The request's total time is setRequestDeadline's.
    /// Each takes the request lock.
    ///
    ///     client.setConnectTimeout(5000);        // 5 s to open a connection
    ///     client.setRequestDeadline(120000);     // 2 min for the whole exchange
    ///     client.setExpectedStatuses({404});     // "is it there?" is a question, not an error
    ///     client.setLogBodyLimit(2048);          // exchange lines show 2 KiB of a body
    /// @{

    /// The time to open a connection, in milliseconds, in place of connect()'s 30 s
    /// (CURLOPT_CONNECTTIMEOUT_MS, or CURLOPT_CONNECTTIMEOUT in whole seconds, rounded up, on a
    /// transport that refuses the first); 0: libcurl's own 300 s. A transport that takes
    /// neither fails connect or the next request ("Failed to set curl option:
    /// [CURLOPT_CONNECTTIMEOUT]").
    void setConnectTimeout(long timeoutMs);
    /// Statuses of 400 or more that are an answer rather than an error, such as 404 for a
    /// lookup: the request still returns false, with getLastHttpStatus() the status and
    /// `response` the body, but is never retried and writes no LogError lines; the line after
    /// its exchange says "(expected)" instead. Replaces the earlier list; empty by default.
    void setExpectedStatuses(const std::vector<long>& statuses);
    /// The most bytes of a body that an exchange line shows (LogRequest, LogResponse, LogError),
    /// cut at a whole UTF-8 character and followed by "… (N more bytes)"; 0, the default:
    /// whole bodies. The request and response themselves are never cut.
    void setLogBodyLimit(size_t bytes);
    /// @}

    /// @name Proxies
    /// With neither call below, the transport's libcurl picks the proxy from the environment at
    /// each transfer: http_proxy (lower case only; HTTP_PROXY is ignored) for http URLs,
    /// https_proxy or HTTPS_PROXY for https ones, all_proxy or ALL_PROXY for both, a URL such as
    /// "http://proxy.example:3128"; no_proxy or NO_PROXY lists the hosts that go direct
    /// (comma-separated names, ".example.com" for a domain, "*" for all). A loopback server
    /// (127.0.0.1, localhost) goes through the proxy too unless no_proxy names it. HTTPS goes
    /// through an HTTP proxy as a CONNECT tunnel and verifies the server at its end, not the
    /// proxy (connect's skipSslVerify and caFile apply to the server as without a proxy); an
    /// https:// proxy's own certificate is checked against the system's CAs (CURLOPT_PROXY_CAINFO
    /// set after connect changes them). Both calls take effect with the next connect(), which
    /// sets them after the transport policy every time (a transport that refuses one fails
    /// connect with "Failed to set curl option:[CURLOPT_PROXY]", naming the option and never
    /// its value); they take the request lock.
    ///
    ///     client.setProxy("http://proxy.example:3128", "agent", password);
    ///     client.connect("vmhost.example", false, caFile);
    /// @{

    /// Sends every request through the proxy at `url` (CURLOPT_PROXY, "host:port" or
    /// "scheme://host:port"), instead of the environment's, with `user` and `password` in
    /// CURLOPT_PROXYUSERNAME and CURLOPT_PROXYPASSWORD when either is not empty (libcurl sends
    /// them as a Proxy-Authorization line, which the log masks; pass them here rather than in
    /// the URL). no_proxy still sends the hosts it lists direct. An empty `url` goes back to the
    /// environment's proxy, the default.
    void setProxy(const std::string& url, const std::string& user = "",
                  const std::string& password = "");
    /// Every request goes direct, whatever the environment says (CURLOPT_PROXY ""), until
    /// setProxy names a route again.
    void disableProxy();
    /// @}

protected:
    /// @name Hooks: the steps of sendReq, for a client to override
    /// @anchor vsrest_hooks
    /// Every hook below runs inside sendReq with the request lock held (it is recursive), on
    /// the thread that made the request, in this order:
    ///
    ///     computeUrl -> addCurlHeaders -> addLoginCurlHeaders (when m_bUseLoginHeaders)
    ///     -> LogRequest -> the send -> recvResp -> LogError (failure) or
    ///     saveLoginCurlHeaders (when m_bUseLoginHeaders) -> LogResponse (success).
    ///
    /// With a retry policy on (setRetryPolicy), the steps from addCurlHeaders to recvResp are
    /// one attempt, run again after the wait for each retry; isRepeatableRequest is asked once,
    /// before the first attempt, and LogError or saveLoginCurlHeaders and LogResponse follow
    /// the last attempt only.
    ///
    /// sendReq's result is the send's alone: the results of computeUrl and of the header hooks
    /// are not looked at (a failing header hook writes its own Error line and the request still
    /// goes out; the server's answer then decides). A hook may issue a further request on the
    /// same connection (a lazy login from addLoginCurlHeaders): that request runs the whole
    /// path itself, and the outer request keeps exactly the header lines its own hooks
    /// appended. A hook must not call connect() or destroy the connection.
    /// @{

    /// Gives the last exchange's response body to `response` (any bytes, NUL included; empty
    /// when none came). Where the platform's transport can hand its buffer over (ours can), it
    /// does so without a copy: the transport's buffer becomes the string's. Elsewhere exactly
    /// the bytes GetHttpResponse(length, false) answers are copied and stay the transport's. A
    /// derived transport whose GetHttpResponse answers anything else (storage of its own, or
    /// its base's buffer with a shorter length) has exactly the bytes it answered copied, and
    /// keeps its body. Runs after every send, successful or not; a transport whose buffer was
    /// taken over then answers null for the body (the header block stays). sendReq lends it back
    /// until it returns, so the hooks after recvResp still find the body through
    /// m_pCurl->GetHttpResponse(length, false), answered from `response`; once the request has
    /// returned the body is the caller's alone.
    virtual void recvResp(std::string& response);

    /// Appends the request's header lines to the transport, each one whole "Name: value" line:
    ///
    ///     m_pCurl->JXLibCurlAppendHeader(HTTP_HDR_STANDARD, "X-Request-Id: 42");
    ///
    /// The base class appends the common lines (addCommonCurlHeaders); an override that still
    /// wants them calls the base first. The lines of the previous request are already gone.
    virtual bool addCurlHeaders(HTTP_REQ_TYPE verb, const std::string& resource,
                                const std::string& body, const VSRestApiRequestOptions* options);
    /// "Accept-Language: en_US" and "User-Agent: curl/7.32.0"; an Error line and false when one
    /// cannot be appended (the second is then not tried).
    virtual bool addCommonCurlHeaders();
    /// With m_bUseLoginHeaders: adds the session's header lines (a token saved from the login's
    /// answer, typically kept in m_strAux1). The base class adds nothing.
    ///
    ///     bool addLoginCurlHeaders() override {
    ///         if (m_strAux1.empty() && !Login()) return false;   // a nested POST
    ///         return m_pCurl->JXLibCurlAppendHeader(HTTP_HDR_STANDARD,
    ///                                               ("X-Session: " + m_strAux1).c_str());
    ///     }
    virtual bool addLoginCurlHeaders();
    /// With m_bUseLoginHeaders, after each successful send: keeps what the answer carries for
    /// later requests, for example a token from the response header block,
    /// m_pCurl->GetHttpResponse(length, true). The base class keeps nothing.
    virtual bool saveLoginCurlHeaders();
    /// The request path itself (see the order above). Overriding it replaces the whole path;
    /// get/post/put/del call it through the virtual table.
    virtual bool sendReq(HTTP_REQ_TYPE verb, const std::string& resource, const std::string& body,
                         std::string& response, VSRestApiRequestOptions* options);
    /// @}

    /// @name Hooks: the exchange lines
    /// LogRequest (only for a non-empty body) and LogResponse write at level 2, or 0 after
    /// enableDebug(); LogError writes up to three Error lines whatever the level, with the
    /// request and response bodies, which reach standard error by default. To route them
    /// elsewhere give the platform's log a sink; to quiet or shorten them override LogError
    /// (calling the base for the first line only, say). The library masks secrets in every line
    /// it writes before the platform's log sees it (a platform log that writes records as given
    /// shows no password, token or cookie it recognises), and a request marked by
    /// isSecretRequest shows only its bodies' lengths.
    /// @{

    /// Writes the response line, with the response body, after a successful send.
    virtual void LogResponse(HTTP_REQ_TYPE verb, const std::string& url,
                             const std::string& response);
    /// Writes the request line, with the request body, before the send; nothing for an empty
    /// body.
    virtual void LogRequest(HTTP_REQ_TYPE verb, const std::string& url, const std::string& body);
    /// Writes the Error lines of a failed send: the transport's error text, the HTTP status, the
    /// verb and the URL, then the request body and the response body when they are not empty.
    virtual void LogError(HTTP_REQ_TYPE verb, const std::string& url, const std::string& body,
                          const std::string& response);

    /// Whether a request carries secrets in its bodies (a login, a token exchange). sendReq asks
    /// once per request, after the connected check; for a secret request the exchange lines of
    /// LogRequest, LogResponse and LogError name only the bodies' lengths ("[312 bytes
    /// withheld]") at every level, while m_bSecretExchange is true. The base class marks
    /// nothing. A request made from a hook is asked about on its own, and the outer request's
    /// marking comes back when it ends.
    ///
    ///     bool isSecretRequest(HTTP_REQ_TYPE verb, const std::string& resource,
    ///                          const VSRestApiRequestOptions*) override {
    ///         return verb == HTTP_REQ_POST && resource == "session";  // the login
    ///     }
    ///
    /// (The log masks passwords, tokens and cookies it recognises in every line anyway; marking
    /// keeps the bodies out whatever shape their secrets take.)
    virtual bool isSecretRequest(HTTP_REQ_TYPE verb, const std::string& resource,
                                 const VSRestApiRequestOptions* options);
    /// @}

    /// Whether a request may be sent again under the retry policy (setRetryPolicy); asked once
    /// per request, after isSecretRequest, and only while the policy is on. The base class
    /// answers true for GET, PUT and DELETE and false for POST, which a server may carry out
    /// twice. A client marks the POSTs that are safe to repeat (a search, a request carrying an
    /// idempotency key), from the resource or from its own options record:
    ///
    ///     bool isRepeatableRequest(HTTP_REQ_TYPE verb, const std::string& resource,
    ///                              const VSRestApiRequestOptions* options) override {
    ///         return resource == "vms/query" ||
    ///                CVSRestApiConnection::isRepeatableRequest(verb, resource, options);
    ///     }
    virtual bool isRepeatableRequest(HTTP_REQ_TYPE verb, const std::string& resource,
                                     const VSRestApiRequestOptions* options);
    /// The method of the request under way where its verb does not say it: "PATCH" for
    /// patch() (verb HTTP_REQ_POST), "HEAD" for head() (verb HTTP_REQ_GET); null otherwise, and
    /// outside a request. For the hooks, which see only the verb.
    const char* requestMethod() const;

    /// @name Members: a client sets these itself (there are no setters)
    /// @{

    /// The transport, owned and deleted by the connection. A client may replace it with its own
    /// object derived from JXLibCurl (a recorder, a proxy, a test double) in its constructor,
    /// before connect() and before any request, deleting the one it replaces:
    ///
    ///     delete m_pCurl;
    ///     m_pCurl = new RecordingCurl();   // the connection deletes it in its destructor
    JXLibCurl* m_pCurl;
    JxCriticalSection m_csLock;    ///< the request lock, held by sendReq; recursive
    bool m_bConnected;             ///< set by a successful connect()
    TqDebug m_debug;               ///< the connection's log: the base class writes its lines here
    std::string m_strContentType;  ///< required before connect(): "application/json", ...
    bool m_bUseHttps;              ///< "https://" instead of "http://"
    unsigned int m_nPort;          ///< 0: the scheme's default port, none written in the URL
    std::string m_strBasePath;     ///< with its leading "/": "/api/v1"
    std::string m_strServer;       ///< host name or address, stored by connect()
    /// The first of two strings that belong to the client: the base class never reads or
    /// writes them (a session token, a tenant id, ...).
    std::string m_strAux1;
    /// The second string that belongs to the client (see m_strAux1).
    std::string m_strAux2;
    bool m_bDebugEnabled;     ///< set by enableDebug()
    bool m_bUseLoginHeaders;  ///< run addLoginCurlHeaders / saveLoginCurlHeaders for each request
    bool m_bSecretExchange;   ///< the request under way is secret (see isSecretRequest)
    /// @}

private:
    struct Private;      // the state beyond the members above (rest/ConnectionState.h)
    class RequestFrame;  // what one request sets up for a request nested in it
    class TimingsLine;   // an exchange's timings, kept and written once the request is done
    std::string Loggable(const std::string& body) const;
    bool ConfigureTransport(bool skipSslVerify, const std::string& caFile);
    bool ApplyTransportPolicy();
    bool ApplyProxy();
    void RefuseConnect(const std::string& reason);
    bool RunHeaderHooks(HTTP_REQ_TYPE verb, const std::string& resource, const std::string& body,
                        const VSRestApiRequestOptions* options);
    bool Exchanged(bool sent);
    void WithholdEncodingOffer(const char* label);
    bool LimitAttempt(long remainingMs);
    bool WaitToRetry(HTTP_REQ_TYPE verb, const std::string& url, const std::string& response,
                     const VSRestApiRetryPolicy& policy, int attempt, long remainingMs);
    bool ApplyConnectTimeout(const char* label);
    bool IsExpectedStatus() const;
    bool ShowsCut(const std::string& body) const;
    const char* VerbText(HTTP_REQ_TYPE verb) const;
    bool SendWithMethod(const char* method, HTTP_REQ_TYPE verb, const std::string& resource,
                        const std::string& body, std::string& response,
                        VSRestApiRequestOptions* options);
    bool SetMethod(bool on, const char* label);
    std::optional<bool> SendOnce(HTTP_REQ_TYPE verb, const std::string& url,
                                 const std::string& body);
    void Conclude(bool sent, HTTP_REQ_TYPE verb, const std::string& url, const std::string& body,
                  const std::string& response);
    void LogBodylessRequest(HTTP_REQ_TYPE verb, const std::string& url);
    int64_t AnswerClockUs() const;
    void LogAnswer(HTTP_REQ_TYPE verb, const std::string& url, const std::string& response,
                   int64_t startUs);

    // Behind one pointer, so that new state never changes this class's size or layout again.
    std::unique_ptr<Private> m_pPrivate;
};
