// HTTP-7 to HTTP-14 and HTTP-19: TLS verification, the options the library sets on every connect
// (each set here as the library sets it, then shown to act), the bounds of a response, and the
// proxy a client names. Where a platform
// that misses a requirement would wait for good (a stalled connect or transfer), the peer gives
// up after a cap far beyond the option's time and then completes the exchange, so that such a
// platform is reported by a send that succeeded, not by a hang.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "JXLibCurl.h"
#include "ProxyServer.h"
#include "RawServer.h"
#include "TempDir.h"
#include "TestServer.h"
#include "Transport.h"
#include VSCONF_REQUIREMENTS_HEADER

using conformance::Body;
using conformance::Connect;
using conformance::Send;

namespace {

// How long a peer waits for a platform that ignores a timeout before it completes the exchange.
constexpr int kStallCapSeconds = 20;

// One CA, a server certificate for 127.0.0.1 and one for another address.
struct Certificates {
    TlsMaterial server;
    TlsMaterial otherHost;
};

const Certificates& SharedCertificates() {
    static const TempDir dir;
    static const Certificates certificates{MakeTestCertificates(dir.Path()),
                                           MakeServerCertificate(dir.Path(), "other", "127.0.0.2")};
    return certificates;
}

// A server that speaks TLS 1.1 at most, at the lowest security level, so that only the
// client's version floor can refuse it.
std::unique_ptr<httplib::Server> LegacyTlsServer(const TlsMaterial& tls) {
    return std::make_unique<httplib::SSLServer>([&tls](SSL_CTX& ctx) {
        SSL_CTX_set_security_level(&ctx, 0);
        return SSL_CTX_use_certificate_chain_file(&ctx, tls.certFile.c_str()) == 1 &&
               SSL_CTX_use_PrivateKey_file(&ctx, tls.keyFile.c_str(), SSL_FILETYPE_PEM) == 1 &&
               SSL_CTX_set_cipher_list(&ctx, "DEFAULT:@SECLEVEL=0") == 1 &&
               SSL_CTX_set_min_proto_version(&ctx, TLS1_VERSION) == 1 &&
               SSL_CTX_set_max_proto_version(&ctx, TLS1_1_VERSION) == 1;
    });
}

// Counts SIGPIPE while it lives, in place of whatever disposition there was.
std::atomic<int> g_sigpipes{0};
void CountSigpipe(int) {
    ++g_sigpipes;
}
class SigpipeCounter {
public:
    SigpipeCounter() {
        struct sigaction counting {};
        counting.sa_handler = &CountSigpipe;
        sigemptyset(&counting.sa_mask);
        ::sigaction(SIGPIPE, &counting, &m_previous);
        g_sigpipes = 0;
    }
    ~SigpipeCounter() { ::sigaction(SIGPIPE, &m_previous, nullptr); }
    SigpipeCounter(const SigpipeCounter&) = delete;
    SigpipeCounter& operator=(const SigpipeCounter&) = delete;

    static bool Installed() {
        struct sigaction now {};
        ::sigaction(SIGPIPE, nullptr, &now);
        return now.sa_handler == &CountSigpipe;
    }

private:
    struct sigaction m_previous {};
};

// A listener whose queue is full, so that a connect to it never completes: the kernel drops
// the SYN. After the cap it takes the connection that then comes and answers 200.
class NeverAccepting {
public:
    NeverAccepting();
    ~NeverAccepting();
    NeverAccepting(const NeverAccepting&) = delete;
    NeverAccepting& operator=(const NeverAccepting&) = delete;

    int Port() const { return m_nPort; }
    bool Served() const { return m_bServed; }

private:
    void ServeAfterCap();

    int m_nListenFd = -1;
    int m_nFillerFd = -1;
    int m_stop[2] = {-1, -1};
    int m_nPort = 0;
    std::atomic<bool> m_bServed{false};
    std::thread m_thread;
};

NeverAccepting::NeverAccepting() {
    m_nListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    m_nFillerFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    auto* any = reinterpret_cast<sockaddr*>(&addr);
    // Backlog 0 holds one connection: the filler's.
    if (::pipe2(m_stop, O_CLOEXEC) != 0 || ::bind(m_nListenFd, any, len) != 0 ||
        ::listen(m_nListenFd, 0) != 0 || ::getsockname(m_nListenFd, any, &len) != 0 ||
        ::connect(m_nFillerFd, any, len) != 0) {
        throw std::runtime_error("cannot set up a listener with a full queue");
    }
    m_nPort = ntohs(addr.sin_port);
    m_thread = std::thread([this] { ServeAfterCap(); });
}

NeverAccepting::~NeverAccepting() {
    [[maybe_unused]] const ssize_t n = ::write(m_stop[1], "x", 1);
    ::shutdown(m_nListenFd, SHUT_RDWR);  // wakes accept
    m_thread.join();
    for (const int fd : {m_nListenFd, m_nFillerFd, m_stop[0], m_stop[1]}) {
        ::close(fd);
    }
}

void NeverAccepting::ServeAfterCap() {
    pollfd stop{m_stop[0], POLLIN, 0};
    if (::poll(&stop, 1, kStallCapSeconds * 1000) != 0) {
        return;  // the check is over
    }
    // Frees the queue: the filler goes, and the client's next SYN gets through.
    ::shutdown(m_nFillerFd, SHUT_RDWR);
    for (int i = 0; i < 2; ++i) {
        const int fd = ::accept4(m_nListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        if (!RawServer::ReadRequestHead(fd).empty()) {  // the filler sends nothing
            m_bServed = RawServer::WriteText(
                fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
        }
        ::close(fd);
    }
}

// Streams `units` pieces through `write` until the peer goes; true when all of them went out.
template <typename Write>
bool StreamUntilPeerGoes(size_t units, Write write) {
    for (size_t i = 0; i < units; ++i) {
        if (!write()) {
            return false;
        }
    }
    return true;
}

// One MiB more than the bound, 32 times over: far more than the socket buffers hold, so a
// client that stops reading at the bound keeps the server from finishing.
constexpr size_t kUnitsPastBound = 32;

void StreamEndlessBody(int fd, std::atomic<bool>& served) {
    RawServer::ReadRequestHead(fd);
    RawServer::WriteText(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    const std::string chunk = "100000\r\n" + std::string(1u << 20, 'b') + "\r\n";
    const size_t units = VSPlatformRequirements::kMaxResponseBodyBytes / (1u << 20);
    served = StreamUntilPeerGoes(units + kUnitsPastBound,
                                 [&] { return RawServer::WriteText(fd, chunk); }) &&
             RawServer::WriteText(fd, "0\r\n\r\n");
}

// 1 MiB of zeros as gzip, after a full flush: about 1 KiB that stands on its own, so that it may
// be sent any number of times; `first` is the gzip header and one such unit.
struct GzipZeros {
    std::string first;
    std::string unit;
};

GzipZeros MakeGzipZeros() {
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
    const std::unique_ptr<z_stream, int (*)(z_streamp)> end(&stream, deflateEnd);
    std::string zeros(1u << 20, '\0');
    const auto deflateUnit = [&] {
        std::string out(zeros.size() / 64, '\0');
        stream.next_in = reinterpret_cast<Bytef*>(zeros.data());
        stream.avail_in = static_cast<uInt>(zeros.size());
        stream.next_out = reinterpret_cast<Bytef*>(out.data());
        stream.avail_out = static_cast<uInt>(out.size());
        deflate(&stream, Z_FULL_FLUSH);
        out.resize(out.size() - stream.avail_out);
        return out;
    };
    GzipZeros gzip;
    gzip.first = deflateUnit();
    gzip.unit = deflateUnit();
    return gzip;
}

std::string Chunk(const std::string& data) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    return size + data + "\r\n";
}

// A body of a few hundred KB on the wire that decodes to a MiB past the bound, 32 times over.
// The trailer never comes: a client that counted the wire's bytes would take what it decoded.
void StreamEndlessGzipBody(int fd, std::atomic<bool>& served) {
    static const GzipZeros gzip = MakeGzipZeros();
    RawServer::ReadRequestHead(fd);
    RawServer::WriteText(fd,
                         "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n"
                         "Transfer-Encoding: chunked\r\n\r\n");
    const size_t units = VSPlatformRequirements::kMaxResponseBodyBytes / (1u << 20);
    const std::string chunk = Chunk(gzip.unit);
    served = RawServer::WriteText(fd, Chunk(gzip.first)) &&
             StreamUntilPeerGoes(units + kUnitsPastBound,
                                 [&] { return RawServer::WriteText(fd, chunk); }) &&
             RawServer::WriteText(fd, "0\r\n\r\n");
}

void StreamEndlessHeaders(int fd, std::atomic<bool>& served) {
    RawServer::ReadRequestHead(fd);
    RawServer::WriteText(fd, "HTTP/1.1 200 OK\r\n");
    std::string lines;
    for (int i = 0; i < 1024; ++i) {
        lines += "X-Filler: " + std::string(1012, 'h') + "\r\n";  // 1 KiB a line
    }
    const size_t units = VSPlatformRequirements::kMaxResponseHeaderBytes / lines.size();
    served = StreamUntilPeerGoes(units + kUnitsPastBound,
                                 [&] { return RawServer::WriteText(fd, lines); }) &&
             RawServer::WriteText(fd, "Content-Length: 2\r\n\r\nok");
}

}  // namespace

TEST(Requirement, HTTP_7_TlsPeersVerifiedUnlessSkipped) {
    const Certificates& certs = SharedCertificates();
    TestServer server(certs.server);
    TestServer otherHost(certs.otherHost);
    {
        JXLibCurl curl;
        Connect(curl, "text/plain", false);
        EXPECT_FALSE(Send(curl, HTTP_REQ_GET, server.Url("/"))) << "a peer of an unknown CA";
        ASSERT_TRUE(
            curl.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_CAINFO, certs.server.caFile));
        for (int i = 0; i < 2; ++i) {  // and for the exchanges after
            EXPECT_TRUE(Send(curl, HTTP_REQ_GET, server.Url("/"))) << curl.GetCurlErrorBuffer();
        }
        EXPECT_FALSE(Send(curl, HTTP_REQ_GET, otherHost.Url("/"))) << "a certificate for 127.0.0.2";
    }
    JXLibCurl curl;
    Connect(curl, "text/plain", true);
    EXPECT_TRUE(Send(curl, HTTP_REQ_GET, server.Url("/"))) << curl.GetCurlErrorBuffer();
    EXPECT_TRUE(Send(curl, HTTP_REQ_GET, otherHost.Url("/"))) << curl.GetCurlErrorBuffer();
    // Connected again with verification: the connection made without it serves no more.
    Connect(curl, "text/plain", false);
    EXPECT_FALSE(Send(curl, HTTP_REQ_GET, server.Url("/"))) << "verification stayed off";
}

TEST(Requirement, HTTP_8_SettersTakeTheLibrarysOptions) {
    TestServer server;
    JXLibCurl curl;
    for (int connect = 0; connect < 2; ++connect) {
        ASSERT_TRUE(curl.JXLibCurlInit("text/plain", false, false, nullptr));
        const std::pair<CURLoption, int> numbers[] = {
            {CURLOPT_NOSIGNAL, 1},        {CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2},
            {CURLOPT_CONNECTTIMEOUT, 30}, {CURLOPT_LOW_SPEED_LIMIT, 1},
            {CURLOPT_LOW_SPEED_TIME, 60},
        };
        for (const auto& [option, value] : numbers) {
            EXPECT_TRUE(curl.JXLibCurlSetAdditionalOptionsIntValue(option, value)) << option;
        }
        const std::pair<CURLoption, std::string> texts[] = {
            {CURLOPT_CAINFO, SharedCertificates().server.caFile},
            {CURLOPT_PROTOCOLS_STR, "http,https"},
            {CURLOPT_REDIR_PROTOCOLS_STR, "https"},
        };
        for (const auto& [option, value] : texts) {
            EXPECT_TRUE(curl.JXLibCurlSetAdditionalOptionsStringValue(option, value)) << option;
        }
        for (int i = 0; i < 2; ++i) {
            EXPECT_TRUE(Send(curl, HTTP_REQ_GET, server.Url("/"))) << curl.GetCurlErrorBuffer();
        }
    }
}

TEST(Requirement, HTTP_9_NoSignalLeavesSignalsAlone) {
    SigpipeCounter counter;
    // A raw peer: cpp-httplib's server sets SIGPIPE's disposition itself.
    RawServer server([](int fd, int) {
        RawServer::ReadRequestHead(fd);  // the client's exchange is under way until the answer
        const std::string seen = SigpipeCounter::Installed() ? "untouched" : "changed";
        RawServer::WriteText(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " +
                                     std::to_string(seen.size()) + "\r\n\r\n" + seen);
    });
    JXLibCurl curl;
    Connect(curl, "application/octet-stream");
    EXPECT_TRUE(Send(curl, HTTP_REQ_GET, server.Url("/")));
    EXPECT_EQ(Body(curl), "untouched") << "SIGPIPE's disposition changed during an exchange";

    // A peer that resets while a large body is still being sent.
    RawServer peer([](int fd, int) {
        char some[4096];
        [[maybe_unused]] const ssize_t n = ::read(fd, some, sizeof some);
        RawServer::ResetOnClose(fd);
    });
    const std::string body(16u << 20, 'u');
    EXPECT_FALSE(Send(curl, HTTP_REQ_PUT, peer.Url("/upload"), body));
    EXPECT_EQ(g_sigpipes.load(), 0) << "the exchange raised SIGPIPE";
}

TEST(Requirement, HTTP_10_OnlyHttpAndHttpsUrls) {
    TempDir dir;
    WriteFileText(dir.File("local"), "conformance-local-file");
    std::atomic<int> contacted{0};
    // Greets as an FTP server would, so that a client that got this far goes on talking.
    auto other = std::make_unique<RawServer>([&contacted](int fd, int) {
        ++contacted;
        RawServer::WriteText(fd, "220 conformance\r\n");
        char line[256];
        [[maybe_unused]] const ssize_t n = ::read(fd, line, sizeof line);
    });
    const int port = other->Port();
    TestServer http;
    JXLibCurl curl;
    Connect(curl, "text/plain");
    for (const char* scheme : {"ftp", "gopher", "dict"}) {
        EXPECT_FALSE(Send(curl, HTTP_REQ_GET, LoopbackUrl(scheme, port, "/x"))) << scheme;
    }
    EXPECT_FALSE(Send(curl, HTTP_REQ_GET, "file://" + dir.File("local")));
    EXPECT_EQ(Body(curl).find("conformance-local-file"), std::string::npos);
    EXPECT_TRUE(Send(curl, HTTP_REQ_GET, http.Url("/"))) << curl.GetCurlErrorBuffer();
    EXPECT_FALSE(Send(curl, HTTP_REQ_GET, LoopbackUrl("ftp", port, "/x")));  // still
    other.reset();  // joins its threads: every connection it took is counted
    EXPECT_EQ(contacted.load(), 0) << "a URL of another scheme reached a server";
}

TEST(Requirement, HTTP_11_RedirectsToHttpsOnly) {
    std::atomic<int> contacted{0};
    auto target = std::make_unique<RawServer>([&contacted](int fd, int) {
        ++contacted;
        RawServer::ReadRequestHead(fd);
        RawServer::WriteText(fd,
                             "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
    });
    const std::string elsewhere = target->Url("/elsewhere");
    TestServer server;
    server.SetResponder([&elsewhere](const httplib::Request&, httplib::Response& res) {
        res.set_redirect(elsewhere, 302);
    });
    JXLibCurl curl;
    Connect(curl, "text/plain");
    // A client's own choice; where the setter refuses it, nothing is followed at all.
    curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_FOLLOWLOCATION, 1);
    for (int i = 0; i < 2; ++i) {
        Send(curl, HTTP_REQ_GET, server.Url("/moved"));
    }
    target.reset();
    EXPECT_EQ(contacted.load(), 0) << "a redirect to http was followed";
}

TEST(Requirement, HTTP_12_TlsBelow12Refused) {
    const TlsMaterial& tls = SharedCertificates().server;
    TestServer legacy(LegacyTlsServer(tls));
    JXLibCurl curl;
    Connect(curl, "text/plain");
    ASSERT_TRUE(curl.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_CAINFO, tls.caFile));
    // Lowers the client's own security level where it can, so that the version floor alone
    // decides; where the setter refuses, the TLS library's policy may decide as well.
    curl.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_SSL_CIPHER_LIST, "DEFAULT:@SECLEVEL=0");
    EXPECT_FALSE(Send(curl, HTTP_REQ_GET, legacy.Url("/"))) << "a TLS 1.1 server was accepted";
}

TEST(Requirement, HTTP_13_StalledConnectAndTransferAbandoned) {
    JXLibCurl curl;
    Connect(curl, "text/plain");
    ASSERT_TRUE(curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_CONNECTTIMEOUT, 1));
    {
        NeverAccepting silent;
        EXPECT_FALSE(Send(curl, HTTP_REQ_GET, LoopbackUrl("http", silent.Port(), "/")));
        EXPECT_FALSE(silent.Served()) << "the connect was not given up";
    }
    ASSERT_TRUE(curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_LOW_SPEED_LIMIT, 1));
    ASSERT_TRUE(curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_LOW_SPEED_TIME, 1));
    std::atomic<bool> served{false};
    auto stalling = std::make_unique<RawServer>([&served](int fd, int) {
        RawServer::ReadRequestHead(fd);
        RawServer::WriteText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n");
        if (!RawServer::PeerClosesWithin(fd, kStallCapSeconds)) {
            served = RawServer::WriteText(fd, "done");
        }
    });
    EXPECT_FALSE(Send(curl, HTTP_REQ_GET, stalling->Url("/")));
    stalling.reset();
    EXPECT_FALSE(served.load()) << "the stalled transfer was not given up";
}

TEST(Requirement, HTTP_14_ResponseBodyAndHeadersBounded) {
    for (const auto stream : {&StreamEndlessBody, &StreamEndlessHeaders}) {
        std::atomic<bool> served{false};
        auto server = std::make_unique<RawServer>([&](int fd, int) { stream(fd, served); });
        JXLibCurl curl;
        Connect(curl, "text/plain");
        const bool sent = Send(curl, HTTP_REQ_GET, server->Url("/endless"));
        server.reset();
        const char* what = stream == &StreamEndlessBody ? "body" : "header block";
        EXPECT_FALSE(sent) << "an endless " << what << " was taken";
        EXPECT_FALSE(served.load()) << "the " << what << " was read past its bound";
    }
}

// Decoded bytes count: the wire carries a thousandth of the bound. (Whether the reading stopped
// at the bound is not seen here: the socket buffers hold the compressed rest.)
TEST(Requirement, HTTP_14_DecodedBodyBounded) {
    std::atomic<bool> served{false};
    auto server =
        std::make_unique<RawServer>([&](int fd, int) { StreamEndlessGzipBody(fd, served); });
    JXLibCurl curl;
    Connect(curl, "text/plain");
    if (!curl.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_ACCEPT_ENCODING, "")) {
        GTEST_SKIP() << "the transport offers no encoding, so bodies arrive as sent";
    }
    const bool sent = Send(curl, HTTP_REQ_GET, server->Url("/bomb"));
    server.reset();
    EXPECT_FALSE(sent) << "a gzip body that decodes past the bound was taken";
}

// A named proxy carries the requests, with its credentials; an empty one sends them direct,
// whatever the environment names.
TEST(Requirement, HTTP_19_NamedProxyOrNone) {
    TestServer origin;
    ProxyServer proxy;
    const ProxyEnvironment environment;
    ProxyEnvironment::Set("http_proxy", proxy.Url());
    {
        JXLibCurl direct;
        Connect(direct, "text/plain");
        ASSERT_TRUE(direct.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_PROXY, ""));
        EXPECT_TRUE(Send(direct, HTTP_REQ_GET, origin.Url("/direct")));
        EXPECT_TRUE(proxy.Heads().empty()) << "an empty CURLOPT_PROXY used the environment's";
    }
    ProxyEnvironment::Set("http_proxy", LoopbackUrl("http", UnusedPort(), ""));
    JXLibCurl curl;
    Connect(curl, "text/plain");
    ASSERT_TRUE(curl.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_PROXY, proxy.Url()));
    ASSERT_TRUE(curl.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_PROXYUSERNAME, "agent"));
    ASSERT_TRUE(curl.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_PROXYPASSWORD, "s3cret"));
    ASSERT_TRUE(Send(curl, HTTP_REQ_GET, origin.Url("/via")));
    EXPECT_EQ(Body(curl), "ok GET");
    const std::vector<std::string> heads = proxy.Heads();
    ASSERT_EQ(heads.size(), 1u);
    EXPECT_EQ(heads[0].rfind("GET " + origin.Url("/via") + " ", 0), 0u) << heads[0];
    EXPECT_NE(heads[0].find("Proxy-Authorization: Basic YWdlbnQ6czNjcmV0"), std::string::npos)
        << heads[0];  // agent:s3cret
}
