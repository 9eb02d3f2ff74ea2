/// @file VSPlatformRequirements.h
/// @brief What the library needs of the platform it is built on beyond the declarations it
/// calls: every requirement once, with a stable id, checked by the program
/// `platform_conformance`.
///
/// The library is compiled against the platform's headers (`TqDebug.h`, `JxCriticalSectionH.h`,
/// `JXLibCurl.h`, `JxJson.h`, `CLoError.h`, `CLoString.h`, `CLoPath.h`, `CLoFile.h`,
/// `CLoDirectory.h`, `JXPlatformInfo.h`, `JXPI_CommClient.h`) and links the CMake target
/// `VSSupport::vsplatform`. The declarations say what can be called; this list says what the
/// library counts on those calls to do. Path append is the free function
/// `CLoError LoPathAppend(std::string& base, const char* name, uint32_t flags)`.
///
/// A platform meets the list when `platform_conformance` passes against it. It is built with the
/// project and links the platform alone, never the library (here the platform's CMake package
/// `VSPlatform` is installed under /opt/p):
/// @code{.sh}
/// cmake -S . -B build/platform -DVSSUPPORT_PLATFORM_PACKAGE=ON -DCMAKE_PREFIX_PATH=/opt/p
/// cmake --build build/platform --target platform_conformance
/// build/platform/tests/platform-conformance/platform_conformance
/// @endcode
/// Each test bears its requirement's id (`Requirement.HTTP_3_...` checks HTTP-3). The program
/// runs in a few seconds, starts its servers on 127.0.0.1 only, and sends nothing elsewhere.
///
/// How each requirement is checked:
/// - *observed*: the suite sees the outcome (what a server received, what a file holds).
/// - *exercised*: the interface gives nothing back to look at (the log has no read-back), so the
///   suite drives the calls hard and fails only on a crash, an exception or a hang.
/// - *library sets it*: the library sets this option itself on every connect, so the platform's
///   default does not matter; the setter must still take it (true) and the transport act on it.
///
/// What the library keeps itself, whatever the platform does: it masks secrets in every line it
/// writes (the platform's log need not mask the library's lines), it sets the transport options
/// of HTTP-9 to HTTP-13 on every connect, it treats an HTTP status of 400 or more, and an answer
/// without a status, as a failed request whatever the send returned, and it catches what a log
/// call throws, so a log that breaks LOG-2 still changes no outcome.
///
/// @par Debug log: TqDebug
/// - **LOG-1** (exercised). `TqDebug(nullptr)` constructs, and the object is destroyed, without
///   failing or throwing, for any number of objects on any thread. *Why:* every REST connection,
///   XML helper and JSON helper holds one by value from its constructor on, so none of them exists
///   without it.
/// - **LOG-2** (exercised). `Error` and `DebugLvl` (levels 0 and 2) take calls at any time in the
///   object's life, from any thread, on one object and on many at once, and never throw, abort or
///   block for good. *Why:* the library logs on its callers' threads, catches nothing around a log
///   call, and a log call must never change the outcome of the call that made it.
/// - **LOG-3** (exercised). A `%%s` argument may be a text of any length (megabytes) holding any
///   byte but NUL, printf directives included, which are written as text and never formatted again;
///   `%%d` takes any `int`, and formats hold line breaks. *Why:* the library logs request and
///   response bodies, URLs and a server's texts as they are, in formats such as `"Request to %s
///   [%s]:\n%s "`.
///
/// @par Lock primitive: JxCriticalSectionH
/// - **LOCK-1** (observed). The holding thread may enter again; each enter is matched by one leave,
///   and another thread gets the lock only after the last of them. *Why:* hooks run with the
///   request lock held, and a hook (a lazy login) may issue a further request on the same
///   connection and thread.
/// - **LOCK-2** (observed). `enter(true)` returns true with the lock held, and no other thread
///   returns from `enter(true)` before the holder's `leave()`. *Why:* a connection's request lock
///   serialises its requests whichever threads make them, and the transport object it guards is not
///   safe for two threads at once.
///
/// @par HTTP transport: JXLibCurl
/// - **HTTP-1** (observed). After `JXLibCurlInit(type, ...)` every request, whatever its verb,
///   carries the line `Content-Type: <type>` once, also after `JXLibCurlFreeHttpHeaderList`; a
///   later init replaces the type. *Why:* connect hands its content type to init alone, the header
///   list is emptied before every request, and connect may run again.
/// - **HTTP-2** (observed). A line given to `JXLibCurlAppendHeader(0, line)` (true) goes out as
///   given with the next send, in place of a line of the same name the transport would send itself;
///   `JXLibCurlFreeHttpHeaderList` drops every appended line. *Why:* each request sends the
///   library's fixed lines and a client's login lines, and no line of one request (a session token)
///   may reach the next.
/// - **HTTP-3** (observed). `JXLibCurlSendHttpReqLog` sends the verb given; POST, PUT and DELETE
///   carry exactly `length` bytes of the body (any bytes, NUL included) and GET carries none;
///   nothing of one request's verb or body carries over into the next. *Why:* bodies are byte
///   strings, and a body cut at a NUL or a GET sent as the previous POST is a wrong request.
/// - **HTTP-4** (observed). `GetHttpResponse(length, false)` hands back exactly the body of the
///   last exchange, byte for byte, also for a status of 400 or more, and nothing (length 0) when
///   that exchange brought none (no body, no connection); nothing of an earlier exchange is left in
///   it. *Why:* the library returns that body as the request's response and logs it when the
///   request failed.
/// - **HTTP-5** (observed). `GetHttpErrorCode()` is the HTTP status of the last exchange, 0 when
///   none came back; after a transport failure `GetCurlErrorBuffer()` is a text that is not empty;
///   the buffer is never null. *Why:* the library judges the status itself and tells its caller the
///   status and the reason (`getLastHttpStatus`, `getLastCurlError`).
/// - **HTTP-6** (observed). The send is false when the exchange did not complete: no connection, a
///   peer that reset, a body cut short, a response without an HTTP status (an HTTP/0.9 answer, also
///   when a client allowed those through the setter); it is true for a complete exchange with a
///   status below 400. A status of 400 or more may give either (the library judges it). *Why:* the
///   library reports a request as done on the send's word, and a cut document or a peer that never
///   said "OK" must not pass for an answer.
/// - **HTTP-7** (observed). With `skipSslVerify` false the peer's certificate chain and host name
///   are verified (an unknown CA fails, so does a certificate for another host), against the CA
///   bundle set with `CURLOPT_CAINFO` when one is, for every later exchange; with `skipSslVerify`
///   true an unverifiable peer is accepted. *Why:* connect's verification flag and CA file are the
///   caller's only TLS controls, and credentials go over this connection.
/// - **HTTP-8** (observed). The integer and string setters take (true) every option the library
///   sets on connect: `CURLOPT_NOSIGNAL` 1, `CURLOPT_CAINFO`, `CURLOPT_PROTOCOLS_STR` "http,https",
///   `CURLOPT_REDIR_PROTOCOLS_STR` "https", `CURLOPT_SSLVERSION` `CURL_SSLVERSION_TLSv1_2`,
///   `CURLOPT_CONNECTTIMEOUT`, `CURLOPT_LOW_SPEED_LIMIT`, `CURLOPT_LOW_SPEED_TIME` and
///   `CURLOPT_TIMEOUT_MS`, after every
///   init, and an option holds for every later exchange. *Why:* connect fails when a setter refuses
///   one of them.
/// - **HTTP-9** (observed; library sets it). With `CURLOPT_NOSIGNAL` 1 the transport leaves the
///   process's signal handling alone: SIGPIPE's disposition stays as it is during an exchange, and
///   a peer that resets raises no SIGPIPE. *Why:* the agent's processes are multi-threaded, and a
///   signal raised for one connection lands on any thread or ends the process.
/// - **HTTP-10** (observed; library sets it). With `CURLOPT_PROTOCOLS_STR` "http,https" a URL of
///   any other scheme fails without a connection or a file being opened (an `ftp://` URL reaches no
///   server, a `file://` URL hands back no file). *Why:* a client's `computeUrl` may build URLs
///   from a server's documents, and those must not read local files or reach other services.
/// - **HTTP-11** (observed; library sets it). With `CURLOPT_REDIR_PROTOCOLS_STR` "https" a redirect
///   to anything but https is not followed, also when a client turned following on. *Why:* a
///   redirect must not step down from TLS or leave HTTP.
/// - **HTTP-12** (observed; library sets it). With `CURLOPT_SSLVERSION` `CURL_SSLVERSION_TLSv1_2` a
///   server that offers only TLS 1.1 or older is refused. *Why:* those versions are broken, and
///   logins go over this connection. (On a system whose TLS library refuses them anyway the check
///   passes whatever the platform does; the suite lowers the client's security level through
///   `CURLOPT_SSL_CIPHER_LIST` where the setter takes it, so that the option decides.)
/// - **HTTP-13** (observed; library sets it). With `CURLOPT_CONNECTTIMEOUT` n a connect that does
///   not complete is given up after n seconds, and with `CURLOPT_LOW_SPEED_LIMIT` b and
///   `CURLOPT_LOW_SPEED_TIME` t a transfer slower than b bytes a second for t seconds fails. *Why:*
///   a request holds its connection's lock, so a silent server would otherwise stop every thread
///   that uses the connection for good.
/// - **HTTP-14** (observed). One exchange keeps at most
///   VSPlatformRequirements::kMaxResponseBodyBytes of body and
///   VSPlatformRequirements::kMaxResponseHeaderBytes of response header lines; past either the send
///   fails once it is crossed, without reading the rest. A platform may stop sooner (libcurl itself
///   stops at 300 KiB of header lines and at 100 KiB in one line). The body is counted as libcurl
///   hands it over, decoded: the library sets `CURLOPT_ACCEPT_ENCODING` "" where the setter takes
///   it, and a compressed body of a few KB that expands past the bound fails as it is crossed,
///   having decoded no more than the bound (checked with a gzip body). *Why:* the transport stores a response before the
///   library sees a byte of it, so only the transport can stop a server from exhausting the
///   agent's memory.
/// - **HTTP-15** (observed; the concurrent part exercised). `JXLibCurlUrlEscape(text, out)` sets
///   `out` to `text` with every byte but `A-Z a-z 0-9 - . _ ~` written as `%%XX` (NUL included),
///   also while another thread runs an exchange on the same object. *Why:* `UrlEncode` builds query
///   values with it outside the request lock, and an unencoded `&` or `=` adds a parameter of its
///   own.
/// - **HTTP-16** (observed). `GetHttpReqTypeString` is never null for the four verbs. *Why:* every
///   exchange log line prints it with `%%s`.
/// - **HTTP-17** (observed). Separate transport objects are built, used and destroyed on separate
///   threads at once, each with its own headers, body and status; the platform sets up whatever
///   process-wide state it needs itself. *Why:* each connection owns one, the agent runs
///   connections on many threads, and the library never initialises libcurl.
/// - **HTTP-18** (observed). `JXLibCurlAppendHeader(0, line)` refuses a line that holds a CR or an
///   LF anywhere: false, and nothing of it is appended or sent. (A line is a C string, so it ends
///   at its first NUL; a caller that builds one from a string that may hold NUL checks that
///   itself.) *Why:* a client's hooks put text from a server's answers (a session token, an id)
///   into header lines, and a line break in it would end the line early: the rest would reach the
///   server as header lines, or as a second request on the same connection, of that server's
///   choosing.
/// - **HTTP-19** (observed; library sets it when a client names a proxy). The string setter takes
///   `CURLOPT_PROXY`, `CURLOPT_PROXYUSERNAME` and `CURLOPT_PROXYPASSWORD`. With `CURLOPT_PROXY` a
///   URL, every request goes through that proxy, whatever the environment names, and the user
///   name and password reach it as a `Proxy-Authorization: Basic` line; with `CURLOPT_PROXY` ""
///   requests go direct, the environment's `http_proxy` included. A trace the platform writes of
///   an exchange shows that line's value masked, as it does `Authorization` (not checked: the log
///   has no read-back). *Why:* a client that names its route must not be sent another way, or
///   direct, and the library never writes the credentials itself; only the platform sees them.
/// - **HTTP-20** (observed; library sets it for patch() and head()). The string setter takes
///   `CURLOPT_CUSTOMREQUEST` m, an HTTP token, and the sends after it go out with method m in
///   place of their verb's (a POST's body sent as it is), until it is set to "", which gives each
///   verb its own method again; the integer setter takes `CURLOPT_NOBODY` 1, and the GET sends
///   after it go out as HEAD and read no body, until it is set to 0. *Why:* the transport knows
///   four verbs; PATCH goes out as a POST with its method replaced, HEAD as a GET without a body.
///   A transport that let its own verb's method win would send the PATCH as a POST, which
///   creates what it was to change.
///
/// @par File utilities: CLoError, CLoFile, CLoDirectory, CLoPath, path append
/// - **FS-1** (observed). Each operation's `CLoError` has `IsError()` true exactly when the
///   operation failed, and a copy or an assigned one says the same. *Why:* the library reads
///   nothing of a result but `IsError()`.
/// - **FS-2** (observed). `CLoFile::Open(path, flags, 0)` takes Linux `open(2)` flag values: 578
///   (`O_RDWR | O_CREAT | O_TRUNC`) creates a missing file and truncates an existing one, with
///   `O_EXCL` added an existing path fails; the file it creates may be read and written by its
///   owner; `Write` writes all `length` bytes (any bytes) and reports them through `written`; the
///   destructor closes a file still open. *Why:* records are written to a temporary file claimed
///   with these flags and counted by `written`, then read back by the agent's processes.
/// - **FS-3** (observed; the allocator only under AddressSanitizer). `CLoFile::ReadWholeFile` sets
///   the buffer to an array from `new[]` holding the whole file, NUL bytes included, and one NUL
///   after it (or to null for an empty file), and the size to the file's length. *Why:* the caller
///   copies the text and frees the buffer with `delete[]`.
/// - **FS-4** (observed). `CLoFile::GetTimes` reports seconds since the epoch (the scale of
///   `time()`), the third being the modification time of the entry itself: a symbolic link's own,
///   dangling or not. *Why:* the sweep ages every entry of the cache directory by the third time,
///   dangling links included.
/// - **FS-5** (observed). `CLoDirectory::Open(path, "*", true)` lists every entry, those whose
///   names begin with a dot included ("." and ".." may appear), and fails for an empty or missing
///   path; each successful `GetEntry` delivers a real name of the directory, the call that sets the
///   end flag included, and the listing ends (end flag or error). *Why:* the sweep processes the
///   entry of every call that succeeds, the last one included, and must meet the hidden temporary
///   files.
/// - **FS-6** (observed). `CLoDirectory::Create(path, true)` makes a directory (its parent
///   existing) in which its owner may create files; `CLoPath::Exists` is true for an existing file
///   or directory and false for a missing or empty path. *Why:* the cache creates its directory
///   when `Exists` says it is missing, and finds its records with `Exists`.
/// - **FS-7** (observed). `CLoDirectory::Remove(path, true, false)` removes the directory and
///   everything in it, never following a symbolic link (the target of a link inside, and that of a
///   path that is itself a link, keep their contents). *Why:* switching caching off removes the
///   cache directory, which every agent process may write, so a planted link must not lead the
///   removal elsewhere.
/// - **FS-8** (observed). `CLoFile::Delete(path, false)` removes a file, and a symbolic link
///   itself, never its target. *Why:* the sweep and the invalidation delete entries of a directory
///   that other processes write.
/// - **FS-9** (observed). `LoPathAppend(base, name, 0)` extends a base that does not end in "/" by
///   one "/" and the name, byte for byte. *Why:* every cache path is built this way, from keys that
///   are byte strings.
///
/// @par Configuration: JXPlatformInfo, JXPI_CommClient
/// - **CFG-1** (observed for an absent setting). `JXPlatformInfo::getNumber` leaves the value
///   unchanged when the setting is absent. *Why:* the cache stores its default in the variable
///   first and ignores the result.
/// - **CFG-2** (observed). `JXPlatformInfo::getPhysicalMachine()` is never null (it may be empty).
///   *Why:* the cache copies it at once without a test.
/// - **CFG-3** (observed for a machine without one). `JXPI_CommClient::getJobResultsDirectory` is
///   null for a machine that has no job-results directory. *Why:* the cache's `Init` fails on null
///   and creates nothing; a path that is not there would have it create its directory in a place
///   nobody set up.
///
/// @par JSON base: JxJson
/// - **JSON-1** (observed when compiling). `JxJson` is a class that a class derives from publicly
///   and then default-constructs. *Why:* `CVSJsonParser` derives from it and calls nothing of it.
#pragma once

/// The bounds of the requirements that name a number.
namespace VSPlatformRequirements {

/// HTTP-14: the most bytes of response body one exchange may keep (256 MiB); an exchange whose
/// body passes it fails.
constexpr unsigned long kMaxResponseBodyBytes = 256UL * 1024 * 1024;

/// HTTP-14: the most bytes of response header lines one exchange may keep (1 MiB, the status
/// line and every header line counted); an exchange whose header block passes it fails.
constexpr unsigned long kMaxResponseHeaderBytes = 1UL * 1024 * 1024;

}  // namespace VSPlatformRequirements
