// The transport's state, shared by the files that carry its jobs: JXLibCurl.cpp (init and
// options, header lists, the exchange, the body hand-over), JXLibCurlResponse.cpp (collecting
// the response against its limits) and JXLibCurlTrace.cpp (libcurl's trace into the log).
// The handle itself, and the pool that keeps it between objects, are JXLibCurlPool.h's.
// Internal to vsplatform: not installed.
#pragma once

#include <curl/curl.h>
#include <strings.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "JXLibCurl.h"
#include "JXLibCurlPool.h"

// Hidden: these types, and the templates instantiated over them, stay out of the library's
// exported symbols.
namespace vsplatform {

// Generous for the agent's largest documents, and still far from exhausting the process.
constexpr size_t kDefaultBodyLimit = size_t{256} << 20;
// libcurl stops a response of its own accord past 300 KiB of header lines ("Too large response
// headers") and past CURL_MAX_HTTP_HEADER in one line (reported as out of memory). The block
// limit stays one line below the first, so that ours is always crossed first and the caller
// is told which limit acted; the line limit is libcurl's, read back from its failure.
constexpr size_t kLibcurlHeaderBlockCap = size_t{300} << 10;
constexpr size_t kHeaderLineLimit = CURL_MAX_HTTP_HEADER;
constexpr size_t kMaxHeaderLimit = kLibcurlHeaderBlockCap - kHeaderLineLimit;
constexpr size_t kDefaultHeaderLimit = kMaxHeaderLimit;

// An option set before the object's first init, set again by every init (see JXLibCurl.h).
struct [[gnu::visibility("hidden")]] StandingOption {
    enum class Kind { Long, Offset, Text } kind;
    CURLoption option;
    long number;
    curl_off_t offset;
    std::string text;
};

// The header lines a request's hooks appended. Freeing the list only forgets the lines: their
// strings keep their storage, so that the lines appended anew for every request reuse it
// instead of costing an allocation each (a request appends the same few lines every time).
class [[gnu::visibility("hidden")]] HeaderLines {
public:
    bool Append(const char* line) {
        try {
            if (m_nCount < m_lines.size()) {
                m_lines[m_nCount].assign(line);
            } else {
                m_lines.emplace_back(line);
            }
        } catch (const std::bad_alloc&) {
            return false;  // the lines so far stay as they were
        }
        ++m_nCount;
        return true;
    }
    void Clear() {
        m_nCount = 0;
    }
    size_t Count() const {
        return m_nCount;
    }
    const std::string& operator[](size_t i) const {
        return m_lines[i];
    }

    bool Has(const char* name) const {
        const size_t n = std::strlen(name);
        for (size_t i = 0; i < m_nCount; ++i) {
            const std::string& line = m_lines[i];
            if (line.size() > n && strncasecmp(line.c_str(), name, n) == 0 && line[n] == ':') {
                return true;
            }
        }
        return false;
    }

private:
    std::vector<std::string> m_lines;
    size_t m_nCount = 0;
};

// Ends the transfer under way from another thread (JXLibCurlCancel). libcurl asks the progress
// callback only about once a second while a peer is silent, so the flag alone could take that
// long; shutting the transfer's sockets down wakes libcurl at once. The sockets are libcurl's,
// and it may close one at any moment on the transfer's thread, after which the number can be
// another file's: so each is kept as a duplicate of our own (the same socket under a number
// nobody else closes), and after each exchange, on the transfer's thread, the duplicates of
// the sockets libcurl has closed since are dropped.
class [[gnu::visibility("hidden")]] CancelSwitch {
public:
    CancelSwitch() = default;
    ~CancelSwitch();
    CancelSwitch(const CancelSwitch&) = delete;
    CancelSwitch& operator=(const CancelSwitch&) = delete;

    void Cancel() noexcept;  // any thread
    void Reset() noexcept {
        m_bCancelled.store(false, std::memory_order_release);
    }
    bool IsCancelled() const noexcept {
        return m_bCancelled.load(std::memory_order_acquire);
    }
    // A socket of the handle's (libcurl's socket option callback, or the last transfer's).
    void Watch(int socket) noexcept;
    // On the transfer's thread, between exchanges.
    void ForgetClosed() noexcept;

private:
    struct Watched {
        int original;   // libcurl's number
        int duplicate;  // ours, closed by ForgetClosed or the destructor
    };
    std::atomic<bool> m_bCancelled{false};
    std::mutex m_mutex;
    std::vector<Watched> m_watched;
};

}  // namespace vsplatform

struct [[gnu::visibility("hidden")]] JXLibCurl::Impl {
    vsplatform::EasyPtr easy;  // never null
    vsplatform::HeaderLines headers;
    std::vector<vsplatform::HeaderLines> savedHeaders;  // set aside by push, innermost last
    // The list libcurl reads during a request, built over the lines above without copying
    // them; libcurl only reads a header list and never frees one it did not make.
    std::vector<curl_slist> requestHeaders;
    std::string contentTypeLine;
    std::string response;
    std::string responseHeaders;
    bool bodyHandedOver = false;            // taken by a caller since the last exchange
    bool performed = false;                 // libcurl carried an exchange since the last init
    const std::string* lentBody = nullptr;  // where the body went, while it is on loan
    WriteCallback writeCallback = nullptr;
    TqDebug debug{nullptr};
    size_t bodyLimit = vsplatform::kDefaultBodyLimit;
    size_t headerLimit = vsplatform::kDefaultHeaderLimit;
    // Until the first init, options and limits are the object's standing settings.
    bool initialised = false;
    bool standingLimits = false;
    size_t standingBodyLimit = vsplatform::kDefaultBodyLimit;
    size_t standingHeaderLimit = vsplatform::kDefaultHeaderLimit;
    std::vector<vsplatform::StandingOption> standing;  // one entry per option, the last value
    // Why a callback stopped the transfer: libcurl only reports that one did.
    enum class Stop { None, BodyLimit, HeaderLimit, HeaderLine, NoMemory, Cancelled };
    Stop stopped = Stop::None;
    vsplatform::CancelSwitch cancel;  // JXLibCurlCancel, from any thread
    // A method in place of the verb's (CURLOPT_CUSTOMREQUEST) and a GET that reads no body
    // (CURLOPT_NOBODY), set for the following sends: each send sets its verb's own options,
    // so these are applied after them, and an init forgets them.
    std::string method;
    bool noBody = false;

    bool ApplyDefaults(JXLibCurl * owner, bool skipSslVerify, bool verbose);
    void ApplyVerification(bool skipSslVerify);
    bool Remember(vsplatform::StandingOption::Kind kind, CURLoption option, long number,
                  curl_off_t offset, const char* text);
    void ApplyStanding();
    void ReadLibcurlStop(CURLcode rc);
    void AfterTransfer();
    void ApplyCallbacks(JXLibCurl * owner);
    size_t Collect(std::string & into, size_t limit, Stop overflow, const char* data, size_t size);
    void ReserveBody();
    static size_t BodyCallback(char* data, size_t size, size_t count, void* impl);
    static size_t HeaderCallback(char* data, size_t size, size_t count, void* impl);
    void DescribeStop(char* error, size_t capacity);
    static bool JudgeStatus(long status, char* error, size_t capacity);
    void Trace(curl_infotype type, const char* data, size_t size);
    static int ProgressCallback(void* impl, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    static int SocketCallback(void* impl, curl_socket_t socket, curlsocktype purpose);
    static int TraceCallback(CURL * handle, curl_infotype type, char* data, size_t size,
                             void* impl);
    void PrepareVerb(HTTP_REQ_TYPE verb, const void* body, unsigned long length);
    void ApplyMethod(HTTP_REQ_TYPE verb);
    // Only an HTTP token, so that a method cannot end the request line early.
    bool KeepMethod(const std::string& value) noexcept;
    curl_slist* BuildRequestHeaders();
    CURLcode Perform(HTTP_REQ_TYPE verb, const char* url, const void* body, unsigned long length);
};
