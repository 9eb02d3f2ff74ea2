// The connection pool at real loopback servers: which connections a new object reuses (the
// servers' client ports count the connections), what it must not inherit from the object
// before, and a forked child's connections.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>

#include "InChild.h"
#include "JXLibCurl.h"
#include "LogCapture.h"
#include "RawServer.h"
#include "TempDir.h"
#include "TestServer.h"

namespace {

// The pool on for one scope and off again, so that no other test shares handles.
class PoolOn {
public:
    explicit PoolOn(const JXLibCurlPoolSettings& settings = {}) {
        JXLibCurl::EnableConnectionPool(settings);
    }
    ~PoolOn() { JXLibCurl::DisableConnectionPool(); }
    PoolOn(const PoolOn&) = delete;
    PoolOn& operator=(const PoolOn&) = delete;
};

std::string Url(const std::string& scheme, int port) {
    return scheme + "://127.0.0.1:" + std::to_string(port) + "/x";
}

bool Get(JXLibCurl& curl, const std::string& url) {
    return curl.JXLibCurlSendHttpReqLog(HTTP_REQ_GET, url.c_str(), nullptr, 0, false, false,
                                        nullptr);
}

struct Peer {
    bool skipVerify;
    std::string caFile;
};

// One new object, one GET; the object goes (and its handle with it) before this returns.
bool GetWithNewObject(const Peer& peer, const std::string& url, std::string& error) {
    JXLibCurl curl;
    curl.JXLibCurlInit(nullptr, peer.skipVerify, false, nullptr);
    if (!peer.caFile.empty()) {
        curl.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_CAINFO, peer.caFile);
    }
    const bool ok = Get(curl, url);
    error = curl.GetCurlErrorBuffer();
    return ok;
}

// The agent's side of the fork test, in a process of its own: one request, a child's, and one
// more of its own. 0 when all three succeeded, else which one failed.
int AgentThatForks(const std::string& url, const Peer& trusting) {
    const PoolOn pool;
    std::string error;
    if (!GetWithNewObject(trusting, url, error)) {
        return 1;
    }
    const int child = InChild([&] {
        const bool ok = GetWithNewObject(trusting, url, error);
        JXLibCurl::DisableConnectionPool();  // closes what the child parked
        return ok ? 0 : 1;
    });
    if (child != 0) {
        return 2;
    }
    return GetWithNewObject(trusting, url, error) ? 0 : 3;
}

}  // namespace

TEST(JXLibCurlPool, ReusesAConnectionOnlyForTheSameTlsSettings) {
    TempDir dir;
    std::filesystem::create_directories(dir.File("a"));
    std::filesystem::create_directories(dir.File("b"));
    const TlsMaterial tls = MakeTestCertificates(dir.File("a"));
    const std::string untrusted = MakeTestCertificates(dir.File("b")).caFile;
    const std::string copy = dir.File("copy.pem");
    std::filesystem::copy_file(tls.caFile, copy);
    JXLibCurlPoolSettings noIdleAge;
    noIdleAge.nMaxIdleSeconds = 0;
    struct Row {
        const char* name;
        std::optional<JXLibCurlPoolSettings> pool;
        Peer first, second;
        bool secondSucceeds;
        size_t connections;  // the server sees an untrusting client's handshake fail, no request
    } const rows[] = {
        {"same CA file",
         JXLibCurlPoolSettings{},
         {false, tls.caFile},
         {false, tls.caFile},
         true,
         1},
        {"pool off", std::nullopt, {false, tls.caFile}, {false, tls.caFile}, true, 2},
        {"idle age 0", noIdleAge, {false, tls.caFile}, {false, tls.caFile}, true, 2},
        {"the same CA in another file",
         JXLibCurlPoolSettings{},
         {false, tls.caFile},
         {false, copy},
         true,
         2},
        {"verifying after not verifying",
         JXLibCurlPoolSettings{},
         {true, ""},
         {false, untrusted},
         false,
         1},
        {"not verifying after verifying",
         JXLibCurlPoolSettings{},
         {false, tls.caFile},
         {true, ""},
         true,
         2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TestServer server(tls);
        std::optional<PoolOn> pool;
        if (row.pool) {
            pool.emplace(*row.pool);
        }
        std::string error;
        EXPECT_TRUE(GetWithNewObject(row.first, Url("https", server.Port()), error)) << error;
        EXPECT_EQ(GetWithNewObject(row.second, Url("https", server.Port()), error),
                  row.secondSucceeds)
            << error;
        EXPECT_EQ(server.ClientPorts().size(), row.connections);
    }
}

TEST(JXLibCurlPool, ANewObjectStartsAsNewWhicheverHandleItTakes) {
    RawServer keptOpen([](int fd, int) {
        while (!RawServer::ReadRequestHead(fd).empty()) {
            RawServer::WriteText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        }
    });
    struct Row {
        const char* name;
        std::function<void(JXLibCurl&)> setUp;
        size_t connections;
    } const rows[] = {
        {"header line, option, limit, trace",
         [](JXLibCurl& curl) {
             curl.JXLibCurlInit("application/xml", false, true, nullptr);
             curl.JXLibCurlAppendHeader(HTTP_HDR_STANDARD, "X-Carried: yes");
             curl.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_USERAGENT, "carried/1");
             curl.JXLibCurlSetResponseLimits(16, 4096);
         },
         1},
        // A store that outlives curl_easy_reset: the handle is closed, not parked.
        {"cookie store",
         [](JXLibCurl& curl) {
             curl.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_COOKIEFILE, "");
         },
         2},
        // libcurl reuses a connection whoever a request's credentials are for.
        {"credentials",
         [](JXLibCurl& curl) {
             curl.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_USERPWD, "alice:pw");
         },
         2},
        // The reset restores the cache's size of five but closes none past it.
        {"more connections than libcurl's default cache",
         [&keptOpen](JXLibCurl& curl) {
             curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_MAXCONNECTS, 1000);
             curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_FRESH_CONNECT, 1);
             for (int i = 0; i < 5; ++i) {
                 Get(curl, keptOpen.Url("/"));
             }
             curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_FRESH_CONNECT, 0);
         },
         2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TestServer server;
        // Atomic: a row that opens several connections is served by several server threads.
        std::atomic<int> served{0};
        server.SetResponder([&served](const httplib::Request&, httplib::Response& res) {
            res.set_header("Set-Cookie", "sid=from-the-first");
            // Longer than the first object's body limit from the second request on.
            res.set_content(std::string(++served == 1 ? 8 : 64, 'b'), "text/plain");
        });
        const std::string url = Url("http", server.Port());
        PoolOn pool;
        LogCapture capture;
        {
            JXLibCurl first;
            row.setUp(first);
            ASSERT_TRUE(Get(first, url)) << first.GetCurlErrorBuffer();
        }
        capture.Clear();
        {
            JXLibCurl second;
            EXPECT_EQ(second.GetHttpErrorCode(), 0);
            EXPECT_STREQ(second.GetCurlErrorBuffer(), "");
            ASSERT_TRUE(Get(second, url)) << second.GetCurlErrorBuffer();
            unsigned long length = 0;
            EXPECT_NE(second.GetHttpResponse(length, false), nullptr);
            EXPECT_EQ(length, 64u) << "the first object's body limit is gone";
        }
        EXPECT_TRUE(capture.Records().empty()) << "the trace stays off";
        const httplib::Headers sent = server.Requests().back().headers;
        EXPECT_EQ(sent.count("X-Carried"), 0u);
        EXPECT_EQ(sent.count("Cookie"), 0u);
        EXPECT_EQ(sent.count("Content-Type"), 0u);
        const auto agent = sent.find("User-Agent");
        EXPECT_TRUE(agent == sent.end() || agent->second != "carried/1");
        EXPECT_EQ(server.ClientPorts().size(), row.connections);

        // The handle that carried a status 200 reports none for a request that got no answer.
        JXLibCurl third;
        EXPECT_FALSE(Get(third, Url("http", UnusedPort())));
        EXPECT_EQ(third.GetHttpErrorCode(), 0);
    }
}

// The server ends a kept connection while its handle sits in the pool.
TEST(JXLibCurlPool, AConnectionTheServerClosedIsReplacedNotAFailure) {
    std::promise<void> hungUp;
    RawServer server([&hungUp](int fd, int connection) {
        if (RawServer::ReadRequestHead(fd).empty()) {
            return;
        }
        RawServer::WriteText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        if (connection == 0) {
            RawServer::Hangup(fd);
            hungUp.set_value();
        }
    });
    const std::string url = Url("http", server.Port());
    PoolOn pool;
    std::string error;
    ASSERT_TRUE(GetWithNewObject({false, ""}, url, error)) << error;
    hungUp.get_future().wait();
    EXPECT_TRUE(GetWithNewObject({false, ""}, url, error)) << error;
}

// Parked last, handed out first; past the count, the handle parked longest ago is closed.
TEST(JXLibCurlPool, KeepsAtMostTheIdleCountClosingTheOldestFirst) {
    TestServer server;
    const std::string url = Url("http", server.Port());
    JXLibCurlPoolSettings one;
    one.nMaxIdle = 1;
    PoolOn pool(one);
    for (int round = 0; round < 2; ++round) {
        std::optional<JXLibCurl> a, b;
        a.emplace();
        b.emplace();
        ASSERT_TRUE(Get(*a, url));
        ASSERT_TRUE(Get(*b, url));
        a.reset();
        b.reset();  // a's handle is closed now
    }
    EXPECT_EQ(server.ClientPorts().size(), 3u);  // two, then one of them again and a new one
}

// A child must neither use nor close the parent's pooled TLS stream: either would corrupt it.
TEST(JXLibCurlPool, AForkedChildOpensItsOwnAndTheParentKeepsItsConnection) {
    TempDir dir;
    const TlsMaterial tls = MakeTestCertificates(dir.Path());
    // The agent is forked before the server's threads exist and learns the port through a
    // pipe: a process forked while another thread allocates can hang in the sanitizers'
    // allocator, which takes no lock across fork.
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    const pid_t agent = ::fork();
    if (agent == 0) {
        ::close(pipe[1]);
        int port = 0;
        const bool told = ::read(pipe[0], &port, sizeof port) == sizeof port;
        ::_exit(told ? AgentThatForks(Url("https", port), {false, tls.caFile}) : 4);
    }
    ::close(pipe[0]);
    TestServer server(tls);
    const int port = server.Port();
    EXPECT_EQ(::write(pipe[1], &port, sizeof port), static_cast<ssize_t>(sizeof port));
    ::close(pipe[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(agent, &status, 0), agent);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << status << " (1: the first request, 2: the child's, 3: the parent's after the fork)";
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_NE(requests[1].remotePort, requests[0].remotePort) << "the child's own connection";
    EXPECT_EQ(requests[2].remotePort, requests[0].remotePort) << "the parent's stream intact";
}
