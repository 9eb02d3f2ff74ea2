// A response body the input controls, in any Content-Encoding libcurl decodes, served over
// loopback to a real CVSRestApiConnection whose transport keeps at most kLimit decoded bytes.
//
// Promises checked on every input:
//  - A request that returns true hands over at most kLimit bytes, and one that fails (a
//    refused encoding, a cut stream) never holds more either.
//  - Where the body's decoded bytes are known (sent as is, or compressed by the target itself
//    with zlib, brotli or zstd): up to the limit, a 200 returns true and a 500 false, each with
//    exactly those bytes; past it, false with nothing, "exceeds the limit" the reason. The same
//    whether the request offered encodings or not.
//  - The work is bounded by the limit, not by what a body expands to: libcurl's decoders (their
//    calls interposed here, counting the bytes each call writes) produce at most kLimit plus
//    one of libcurl's write buffers per request, and for a known body that arrived, exactly
//    its bytes. The seed corpus holds a gzip stream of 16 MiB of zeros.
//
// Input: a flags byte (encoding, who compresses, chunked framing, status, offer), a size byte
// (the body as given, repeated to kLimit - 2 .. kLimit + 2 bytes, or repeated 1-256 times),
// its parameter byte, then the body.
#include <arpa/inet.h>
#include <brotli/decode.h>
#include <brotli/encode.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "FuzzSupport.h"
#include "VSRestApiConnection.h"

using vsfuzz::Require;

namespace {

constexpr size_t kLimit = 32U << 10;
constexpr size_t kHeaderLimit = 204800;
// libcurl decodes into a buffer of CURL_MAX_WRITE_SIZE and hands each one on before the next,
// so a body cut at the limit costs at most one buffer more.
constexpr size_t kDecoderSlack = CURL_MAX_WRITE_SIZE;
// A repeated body stops here: far enough past the limit to cross it in every encoding.
constexpr size_t kLongestBody = 8 * kLimit;

std::atomic<bool> g_counting{false};
std::atomic<size_t> g_decoded{0};

void CountDecoded(size_t bytes) {
    if (g_counting.load(std::memory_order_relaxed)) {
        g_decoded.fetch_add(bytes, std::memory_order_relaxed);
    }
}

template <typename Function>
Function Next(const char* name) {
    void* found = dlsym(RTLD_NEXT, name);
    if (found == nullptr) {
        vsfuzz::Fail(std::string("no decoder to interpose: ") + name);
    }
    return reinterpret_cast<Function>(found);
}

}  // namespace

// libcurl's decoders, interposed: each call's output is counted, then the library's runs.
extern "C" int inflate(z_streamp stream, int flush) {
    static const auto real = Next<int (*)(z_streamp, int)>("inflate");
    const uInt room = stream->avail_out;
    const int rc = real(stream, flush);
    CountDecoded(room - stream->avail_out);
    return rc;
}

extern "C" BrotliDecoderResult BrotliDecoderDecompressStream(BrotliDecoderState* state,
                                                             size_t* availableIn,
                                                             const uint8_t** nextIn,
                                                             size_t* availableOut,
                                                             uint8_t** nextOut, size_t* total) {
    using Decode = BrotliDecoderResult (*)(BrotliDecoderState*, size_t*, const uint8_t**, size_t*,
                                           uint8_t**, size_t*);
    static const auto real = Next<Decode>("BrotliDecoderDecompressStream");
    const size_t room = *availableOut;
    const BrotliDecoderResult rc = real(state, availableIn, nextIn, availableOut, nextOut, total);
    CountDecoded(room - *availableOut);
    return rc;
}

extern "C" size_t ZSTD_decompressStream(ZSTD_DStream* stream, ZSTD_outBuffer* out,
                                        ZSTD_inBuffer* in) {
    static const auto real =
        Next<size_t (*)(ZSTD_DStream*, ZSTD_outBuffer*, ZSTD_inBuffer*)>("ZSTD_decompressStream");
    const size_t before = out->pos;
    const size_t rc = real(stream, out, in);
    CountDecoded(out->pos - before);
    return rc;
}

namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset(std::exchange(other.m_fd, -1));
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    void Reset(int fd = -1) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd;
};

// One connection at a time on 127.0.0.1, for the process's life: every request head that
// arrives is answered with the response set last. A new connection replaces the one before
// (libcurl opens one after it dropped a stream cut at the limit).
class LoopbackServer {
public:
    LoopbackServer()
        : m_listen(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)),
          m_wake(::eventfd(0, EFD_CLOEXEC)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        auto* raw = reinterpret_cast<sockaddr*>(&addr);
        Require(m_listen.Get() >= 0 && m_wake.Get() >= 0 &&
                    ::bind(m_listen.Get(), raw, length) == 0 && ::listen(m_listen.Get(), 8) == 0 &&
                    ::getsockname(m_listen.Get(), raw, &length) == 0,
                "the server listens on 127.0.0.1");
        m_nPort = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~LoopbackServer() {
        const uint64_t one = 1;
        (void)!::write(m_wake.Get(), &one, sizeof one);
        m_thread.join();
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int Port() const { return m_nPort; }
    void SetResponse(std::string response) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_response = std::move(response);
    }

private:
    void Run() {
        Fd connection;
        std::string received;
        for (;;) {
            pollfd waits[3] = {{m_wake.Get(), POLLIN, 0},
                               {m_listen.Get(), POLLIN, 0},
                               {connection.Get(), POLLIN, 0}};
            if (::poll(waits, connection.Get() >= 0 ? 3 : 2, -1) < 0) {
                continue;  // EINTR
            }
            if (waits[0].revents != 0) {
                return;
            }
            if (waits[1].revents != 0) {
                connection.Reset(::accept4(m_listen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
                received.clear();
            } else if (waits[2].revents != 0 && !Read(connection.Get(), received)) {
                connection.Reset();
            }
        }
    }

    // False once the peer has gone.
    bool Read(int fd, std::string& received) {
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return false;
        }
        received.append(buffer, static_cast<size_t>(n));
        for (size_t end = received.find("\r\n\r\n"); end != std::string::npos;
             end = received.find("\r\n\r\n")) {
            received.erase(0, end + 4);
            if (!Send(fd)) {
                return false;
            }
        }
        return true;
    }

    bool Send(int fd) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (size_t done = 0; done < m_response.size();) {
            const ssize_t n =
                ::send(fd, m_response.data() + done, m_response.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    }

    Fd m_listen;
    Fd m_wake;
    int m_nPort = 0;
    std::mutex m_mutex;
    std::string m_response;
    std::thread m_thread;
};

// The limit is set before the first connect, so that every init keeps it.
class BodyConnection : public CVSRestApiConnection {
public:
    BodyConnection() {
        m_strContentType = "application/json";
        m_pCurl->JXLibCurlSetResponseLimits(kLimit, kHeaderLimit);
    }

protected:
    // The exchange lines would only format the body again; the log has its own target.
    void LogResponse(HTTP_REQ_TYPE, const std::string&, const std::string&) override {}
    void LogError(HTTP_REQ_TYPE, const std::string&, const std::string&,
                  const std::string&) override {}
};

struct Fixture {
    LoopbackServer server;
    BodyConnection connection;
};

Fixture& TheFixture() {
    static Fixture fixture;
    return fixture;
}

enum class Encoding { Gzip, Deflate, Brotli, Zstd, Identity, None };
const char* const kEncodingNames[] = {"gzip", "deflate", "br", "zstd", "identity", ""};

// zlib's stream with its end guaranteed.
class Deflater {
public:
    explicit Deflater(int windowBits) {
        m_bReady =
            deflateInit2(&m_stream, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~Deflater() {
        if (m_bReady) {
            deflateEnd(&m_stream);
        }
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    std::string Compress(const std::string& body) {
        Require(m_bReady, "zlib starts a stream");
        std::string out(deflateBound(&m_stream, body.size()), '\0');
        m_stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
        m_stream.avail_in = static_cast<uInt>(body.size());
        m_stream.next_out = reinterpret_cast<Bytef*>(out.data());
        m_stream.avail_out = static_cast<uInt>(out.size());
        Require(deflate(&m_stream, Z_FINISH) == Z_STREAM_END, "zlib compresses the body");
        out.resize(m_stream.total_out);
        return out;
    }

private:
    z_stream m_stream{};
    bool m_bReady = false;
};

std::string Compressed(Encoding encoding, const std::string& body) {
    const auto* in = reinterpret_cast<const uint8_t*>(body.data());
    switch (encoding) {
        case Encoding::Gzip:
            return Deflater(MAX_WBITS + 16).Compress(body);
        case Encoding::Deflate:
            return Deflater(MAX_WBITS).Compress(body);
        case Encoding::Brotli: {
            size_t size = BrotliEncoderMaxCompressedSize(body.size());
            std::string out(size != 0 ? size : 64, '\0');
            size = out.size();
            Require(BrotliEncoderCompress(5, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC,
                                          body.size(), in, &size,
                                          reinterpret_cast<uint8_t*>(out.data())) == BROTLI_TRUE,
                    "brotli compresses the body");
            out.resize(size);
            return out;
        }
        case Encoding::Zstd: {
            std::string out(ZSTD_compressBound(body.size()), '\0');
            const size_t size = ZSTD_compress(out.data(), out.size(), body.data(), body.size(), 3);
            Require(ZSTD_isError(size) == 0, "zstd compresses the body");
            out.resize(size);
            return out;
        }
        default:
            return body;
    }
}

struct Exchange {
    Encoding encoding = Encoding::Identity;
    bool compressedHere = false;  // the target compressed the body: its bytes are known
    bool chunked = false;
    bool serverError = false;  // 500 instead of 200
    bool offer = true;
    size_t chunkSize = 1;
    std::string body;  // the decoded body when known, else the bytes sent
};

std::string Repeated(const std::string& piece, size_t size) {
    std::string body;
    body.reserve(size + piece.size());
    while (body.size() < size) {
        body += piece;
    }
    body.resize(size);
    return body;
}

Exchange Parse(const uint8_t* data, size_t size) {
    Exchange x;
    const uint8_t flags = data[0];
    x.encoding = static_cast<Encoding>(flags % 6);
    x.compressedHere = (flags & 0x08) != 0;
    x.chunked = (flags & 0x10) != 0;
    x.serverError = (flags & 0x20) != 0;
    x.offer = (flags & 0x40) == 0;
    x.chunkSize = 1 + size_t{data[2]} * 64;
    x.body.assign(reinterpret_cast<const char*>(data) + 3, size - 3);
    if (!x.body.empty() && data[1] % 3 == 1) {
        x.body = Repeated(x.body, kLimit + data[2] % 5 - 2);  // around the limit
    } else if (!x.body.empty() && data[1] % 3 == 2) {
        x.body = Repeated(x.body, std::min(x.body.size() * (1 + size_t{data[2]}), kLongestBody));
    }
    return x;
}

bool Known(const Exchange& x) {
    return x.compressedHere || x.encoding == Encoding::Identity || x.encoding == Encoding::None;
}

std::string Framed(const std::string& payload, size_t chunkSize) {
    std::string framed;
    char line[32];
    for (size_t at = 0; at < payload.size(); at += chunkSize) {
        const size_t n = std::min(chunkSize, payload.size() - at);
        std::snprintf(line, sizeof line, "%zx\r\n", n);
        framed.append(line).append(payload, at, n).append("\r\n");
    }
    return framed + "0\r\n\r\n";
}

std::string Response(const Exchange& x) {
    const std::string payload = x.compressedHere ? Compressed(x.encoding, x.body) : x.body;
    std::string head =
        x.serverError ? "HTTP/1.1 500 Internal Server Error\r\n" : "HTTP/1.1 200 OK\r\n";
    head += "Content-Type: application/json\r\n";
    if (x.encoding != Encoding::None) {
        head += std::string("Content-Encoding: ") + kEncodingNames[static_cast<int>(x.encoding)] +
                "\r\n";
    }
    if (x.chunked) {
        return head + "Transfer-Encoding: chunked\r\n\r\n" + Framed(payload, x.chunkSize);
    }
    return head + "Content-Length: " + std::to_string(payload.size()) + "\r\n\r\n" + payload;
}

bool Decoded(Encoding encoding) {
    return encoding != Encoding::Identity && encoding != Encoding::None;
}

void CheckKnown(const Exchange& x, bool ok, const std::string& response, const std::string& error,
                size_t decoded) {
    if (x.body.size() > kLimit) {
        Require(!ok && response.empty(), "a body past the limit fails with nothing");
        Require(error.find("exceeds the limit") != std::string::npos, "the limit is the reason");
        return;
    }
    Require(ok != x.serverError, "a whole body: a 200 returns true, a 500 false");
    Require(response == x.body, "a whole body is handed over exactly as decoded");
    Require(decoded == (Decoded(x.encoding) ? x.body.size() : 0),
            "the decoders produced the body's bytes, no more");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    vsfuzz::SilenceLog();
    Fixture& f = TheFixture();
    Require(f.connection.connect("127.0.0.1:" + std::to_string(f.server.Port()), false, ""),
            "the connection connects to the loopback server");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    const Exchange x = Parse(data, size);
    Fixture& f = TheFixture();
    f.server.SetResponse(Response(x));
    f.connection.setCompression(x.offer);
    std::string response = "left from before";
    g_decoded = 0;
    g_counting = true;
    const bool ok = f.connection.get("body", response, nullptr);
    g_counting = false;
    const size_t decoded = g_decoded;
    Require(response.size() <= kLimit, "no more than the limit is handed over");
    Require(decoded <= kLimit + kDecoderSlack, "decoding stops at the limit");
    const std::string error = f.connection.getLastCurlError();
    if (Known(x)) {
        CheckKnown(x, ok, response, error, decoded);
    } else if (error.find("exceeds the limit") != std::string::npos) {
        Require(!ok && response.empty(), "a body cut at the limit leaves nothing");
    }
    return 0;
}
