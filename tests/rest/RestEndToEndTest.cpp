// The connection against a real HTTP(S) server on 127.0.0.1.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <brotli/encode.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "LogCapture.h"
#include "ProxyServer.h"
#include "RestLabels.h"
#include "TempDir.h"
#include "TestServer.h"
#include "VSRestApiConnection.h"

using rest_labels::kLogError;
using ::testing::AllOf;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;

namespace {

class Client : public CVSRestApiConnection {
public:
    explicit Client(int port, bool https = false) {
        m_strContentType = "application/json";
        m_nPort = static_cast<unsigned>(port);
        m_bUseHttps = https;
        m_strBasePath = "/api/v1";
    }
    void UseTransport(std::unique_ptr<JXLibCurl> curl) {
        delete m_pCurl;  // the connection owns its transport; this one replaces the real one
        m_pCurl = curl.release();
    }
    using CVSRestApiConnection::m_pCurl;
};

// Whether the platform's transport hands a body over to the caller's string without a copy (our
// stand-in's does; on another platform the body is copied and stays with the transport).
template <typename Curl, typename = void>
struct HandsOverBodies : std::false_type {};
template <typename Curl>
struct HandsOverBodies<Curl, std::void_t<decltype(std::declval<Curl&>().JXLibCurlTakeHttpResponse(
                                 std::declval<std::string&>()))>> : std::true_type {};
constexpr bool kHandsOverBodies = HandsOverBodies<JXLibCurl>::value;

// Whether the platform's transport can set a request's header lines aside (ours can).
template <typename Curl, typename = void>
struct HasHeaderStack : std::false_type {};
template <typename Curl>
struct HasHeaderStack<Curl,
                      std::void_t<decltype(std::declval<Curl&>().JXLibCurlPushHttpHeaderList())>>
    : std::true_type {};
constexpr bool kHasHeaderStack = HasHeaderStack<JXLibCurl>::value;

// One deflate call over `in`, with room for all it writes; deflateEnd once `end`.
std::string Deflate(z_stream& z, const std::string& in, int flush, bool end) {
    std::string out(deflateBound(&z, in.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, flush);
    out.resize(out.size() - z.avail_out);
    if (end) {
        deflateEnd(&z);
    }
    return out;
}

// A body as a server sends it in one frame of the encoding its Content-Encoding names.
std::string Encode(const std::string& coding, const std::string& data) {
    z_stream z{};
    if (coding == "gzip" && deflateInit2(&z, 9, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY) == Z_OK) {
        return Deflate(z, data, Z_FINISH, true);
    }
    std::string out(ZSTD_compressBound(data.size()) + BrotliEncoderMaxCompressedSize(data.size()),
                    '\0');
    size_t size = out.size();
    if (coding == "br") {
        BrotliEncoderCompress(BROTLI_DEFAULT_QUALITY, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC,
                              data.size(), reinterpret_cast<const uint8_t*>(data.data()), &size,
                              reinterpret_cast<uint8_t*>(&out[0]));
    } else {
        size = ZSTD_compress(&out[0], out.size(), data.data(), data.size(), 3);
    }
    out.resize(size);
    return out;
}

// 1 GiB of zeros as gzip, 1 MB, made at the cost of 1 MiB: a fully flushed deflate block is
// byte-aligned and refers to nothing before it, so copies of it follow one another. No trailer:
// a client stops long before it.
std::string GzipBomb() {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    const std::string block = Deflate(z, std::string(size_t{1} << 20, '\0'), Z_FULL_FLUSH, true);
    std::string out("\x1f\x8b\x08\0\0\0\0\0\x02\x03", 10);  // the gzip header
    for (int i = 0; i < 1024; ++i) {
        out += block;
    }
    return out;
}

std::string Header(const ReceivedRequest& r, const std::string& name) {
    auto it = r.headers.find(name);
    return it == r.headers.end() ? "<none>" : it->second;
}

}  // namespace

TEST(RestEndToEnd, FourVerbsWithUrlHeadersAndExactBodies) {
    TestServer server;
    Client client(server.Port());
    ASSERT_TRUE(client.connect("127.0.0.1", false, ""));
    std::string query = "vms";
    client.appendQueryStringArgument(query, "name=%s", client.UrlEncode("a b").c_str());
    const std::string body("{\"k\":\0\"v\"}", 10);
    std::string response;

    ASSERT_TRUE(client.get(query, response, nullptr));
    EXPECT_EQ(response, "ok GET");
    ASSERT_TRUE(client.post("vms", body, response, nullptr));
    EXPECT_EQ(response, "ok POST");
    ASSERT_TRUE(client.put("/vms/7", body, response, nullptr));
    ASSERT_TRUE(client.del("vms/7", body, response, nullptr));
    EXPECT_EQ(response, "ok DELETE");

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 4u);
    const char* methods[] = {"GET", "POST", "PUT", "DELETE"};
    const char* targets[] = {"/api/v1/vms?name=a%20b", "/api/v1/vms", "/api/v1/vms/7",
                             "/api/v1/vms/7"};
    for (size_t i = 0; i < requests.size(); ++i) {
        SCOPED_TRACE(methods[i]);
        EXPECT_EQ(requests[i].method, methods[i]);
        EXPECT_EQ(requests[i].target, targets[i]);
        EXPECT_EQ(Header(requests[i], "Accept-Language"), "en_US");
        EXPECT_EQ(Header(requests[i], "User-Agent"), "curl/7.32.0");
        EXPECT_EQ(Header(requests[i], "Content-Type"), "application/json");
        EXPECT_EQ(requests[i].body, i == 0 ? std::string() : body);
    }
}

TEST(RestEndToEnd, ReusedConnectionCarriesNothingOver) {
    TestServer server;
    Client client(server.Port());
    ASSERT_TRUE(client.connect("127.0.0.1", false, ""));
    std::string response;
    ASSERT_TRUE(client.post("a", std::string(100000, 'p'), response, nullptr));
    ASSERT_TRUE(client.del("b", "", response, nullptr));
    ASSERT_TRUE(client.get("c", response, nullptr));
    ASSERT_TRUE(client.put("d", "put-body", response, nullptr));
    ASSERT_TRUE(client.get("e", response, nullptr));

    const auto r = server.Requests();
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0].method + " " + std::to_string(r[0].body.size()), "POST 100000");
    EXPECT_EQ(r[1].method + " [" + r[1].body + "]", "DELETE []");
    EXPECT_EQ(r[2].method + " [" + r[2].body + "]", "GET []");
    EXPECT_EQ(r[3].method + " [" + r[3].body + "]", "PUT [put-body]");
    EXPECT_EQ(r[4].method + " [" + r[4].body + "]", "GET []");
    EXPECT_EQ(Header(r[4], "Content-Length"), "<none>");
    EXPECT_EQ(server.ClientPorts().size(), 1u) << "requests on one connection share one socket";
}

TEST(RestEndToEnd, ErrorStatusGivesFalseWithBody) {
    TestServer server;
    server.SetResponder([](const httplib::Request& req, httplib::Response& res) {
        res.status = req.path == "/api/v1/missing" ? 404 : 500;
        res.set_content("{\"error\":\"" + std::to_string(res.status) + "\"}", "application/json");
    });
    LogCapture log;
    Client client(server.Port());
    ASSERT_TRUE(client.connect("127.0.0.1", false, ""));
    std::string response;
    EXPECT_FALSE(client.get("missing", response, nullptr));
    EXPECT_EQ(response, "{\"error\":\"404\"}");
    EXPECT_EQ(client.getLastHttpStatus(), 404);
    EXPECT_FALSE(client.post("broken", "x", response, nullptr));
    EXPECT_EQ(response, "{\"error\":\"500\"}");
    EXPECT_EQ(client.getLastHttpStatus(), 500);

    const auto lines = log.From(kLogError);
    ASSERT_EQ(lines.size(), 5u);
    const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/api/v1/";
    EXPECT_EQ(lines[0].message, "Error: [HTTP error 404] [404]. GET [" + url + "missing]");
    EXPECT_EQ(lines[1].message, "  Rsp: [{\"error\":\"404\"}]");
    EXPECT_EQ(lines[2].message, "Error: [HTTP error 500] [500]. POST [" + url + "broken]");
    EXPECT_EQ(lines[3].message, "  Req: [x]");
    EXPECT_EQ(lines[4].message, "  Rsp: [{\"error\":\"500\"}]");
}

TEST(RestEndToEnd, RefusedPortGivesLibcurlText) {
    LogCapture log;
    Client client(UnusedPort());
    ASSERT_TRUE(client.connect("127.0.0.1", false, ""));
    std::string response = "stale";
    EXPECT_FALSE(client.get("vms", response, nullptr));
    EXPECT_EQ(response, "");
    EXPECT_EQ(client.getLastHttpStatus(), 0) << "no answer, no status";
    const auto lines = log.From(kLogError);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0].message, HasSubstr("Couldn't connect to server] [0]. GET [http://"));

    // Read from another thread while requests fail: always the text of a finished exchange.
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done) {
            const std::string text = client.getLastCurlError();
            EXPECT_TRUE(text.empty() || text.find("Couldn't connect") != std::string::npos) << text;
        }
    });
    for (int i = 0; i < 20; ++i) {
        EXPECT_FALSE(client.get("vms", response, nullptr));
    }
    done = true;
    reader.join();
}

TEST(RestEndToEnd, HttpsVerifiesAgainstTheCaFile) {
    TempDir dir;
    const TlsMaterial tls = MakeTestCertificates(dir.Path());
    TestServer server(tls);
    std::string response;

    Client trusted(server.Port(), true);
    ASSERT_TRUE(trusted.connect("127.0.0.1", false, tls.caFile));
    LogCapture timingsLog;
    EXPECT_TRUE(trusted.get("vms", response, nullptr));
    EXPECT_EQ(response, "ok GET");
    // Where the time went: the phases in order, TLS included; the second request reuses.
#ifndef VSTEST_PLATFORM_PACKAGE  // reporting them is our transport's extra
    const VSRestApiTimings t = trusted.getLastTimings();
    const int64_t phases[] = {0, t.nLookupUs, t.nConnectUs, t.nTlsUs, t.nFirstByteUs, t.nTotalUs};
    EXPECT_TRUE(t.bKnown && std::is_sorted(std::begin(phases), std::end(phases)) && !t.bReused);
    EXPECT_THAT(timingsLog.Records().back().message,
                ContainsRegex("/vms: lookup [0-9.]+ ms, connect [0-9.]+ ms, tls [0-9.]+ ms, first "
                              "byte [0-9.]+ ms, total [0-9.]+ ms, new connection$"));
    EXPECT_TRUE(trusted.get("vms", response, nullptr));
    EXPECT_TRUE(trusted.getLastTimings().bReused);
#endif

    LogCapture log;
    Client untrusted(server.Port(), true);
    ASSERT_TRUE(untrusted.connect("127.0.0.1", false, ""));
    EXPECT_FALSE(untrusted.get("vms", response, nullptr));
    ASSERT_FALSE(log.From(kLogError).empty());
    EXPECT_THAT(log.From(kLogError)[0].message, HasSubstr("certificate"));

    Client skipping(server.Port(), true);
    ASSERT_TRUE(skipping.connect("127.0.0.1", true, "/nonexistent/ca.pem"));
    EXPECT_TRUE(skipping.get("vms", response, nullptr));

    // Verification covers the host name too: the certificate names 127.0.0.1, not localhost.
    log.Clear();
    Client wrongName(server.Port(), true);
    ASSERT_TRUE(wrongName.connect("localhost", false, tls.caFile));
    EXPECT_FALSE(wrongName.get("vms", response, nullptr));
    ASSERT_FALSE(log.From(kLogError).empty());
    EXPECT_THAT(log.From(kLogError)[0].message, HasSubstr("'localhost'"));
    // The refused handshake leaves the object usable once it names the right host.
    ASSERT_TRUE(wrongName.connect("127.0.0.1", false, tls.caFile));
    EXPECT_TRUE(wrongName.get("vms", response, nullptr));
}

TEST(RestEndToEnd, ThreadsOnOneConnectionNeverOverlap) {
    TestServer server;
    std::atomic<int> inFlight{0};
    std::atomic<int> maxInFlight{0};
    server.SetResponder([&](const httplib::Request& req, httplib::Response& res) {
        const int now = ++inFlight;
        int seen = maxInFlight.load();
        while (now > seen && !maxInFlight.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        --inFlight;
        res.set_content(req.body, "text/plain");
    });
    Client client(server.Port());
    ASSERT_TRUE(client.connect("127.0.0.1", false, ""));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                const std::string body = std::to_string(t) + ":" + std::to_string(i);
                std::string response;
                if (!client.post("echo", body, response, nullptr) || response != body) {
                    ++failures;
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(server.Requests().size(), 200u);
    EXPECT_EQ(maxInFlight.load(), 1);
}

namespace {

// Fetches a session token with a nested request from inside its login-header hook, the way a
// client logs in lazily, and names each request in a header line of its own.
class LazyLoginClient : public Client {
public:
    explicit LazyLoginClient(int port) : Client(port) { m_bUseLoginHeaders = true; }
    int logins = 0;

protected:
    bool isSecretRequest(HTTP_REQ_TYPE, const std::string& resource,
                         const VSRestApiRequestOptions*) override {
        return resource == "session";
    }
    bool addCurlHeaders(HTTP_REQ_TYPE verb, const std::string& resource, const std::string& body,
                        const VSRestApiRequestOptions* options) override {
        return CVSRestApiConnection::addCurlHeaders(verb, resource, body, options) &&
               m_pCurl->JXLibCurlAppendHeader(HTTP_HDR_STANDARD, ("X-For: " + resource).c_str());
    }
    bool addLoginCurlHeaders() override {
        if (m_strAux1.empty()) {
            ++logins;
            std::string token;
            m_bUseLoginHeaders = false;  // the login request itself carries no token
            const bool ok = post("session", "user", token, nullptr);
            m_bUseLoginHeaders = true;
            if (!ok) {
                return false;
            }
            m_strAux1 = token;
        }
        return m_pCurl->JXLibCurlAppendHeader(HTTP_HDR_STANDARD,
                                              ("X-Session: " + m_strAux1).c_str());
    }

public:
    std::vector<std::string> bodiesSeenBySave;
    // The body as the transport answers for it now: "<none>" for null.
    std::string TransportBody() {
        unsigned long length = 0;
        const char* body = m_pCurl->GetHttpResponse(length, false);
        return body != nullptr ? std::string(body, length) : "<none>";
    }
    // An exchange and recvResp outside the request path, as a client's own sendReq makes them:
    // the body is handed over, and nothing keeps pointing at the string it went to.
    std::string BodyAfterOwnExchange(const std::string& url) {
        {
            std::string body;
            m_pCurl->JXLibCurlSendHttpReqLog(HTTP_REQ_GET, url.c_str(), nullptr, 0, false, false,
                                             nullptr);
            recvResp(body);
            if (body != "data") {
                return "handed over: " + body;
            }
        }
        return TransportBody();
    }

protected:
    bool saveLoginCurlHeaders() override {
        bodiesSeenBySave.push_back(TransportBody());
        return true;
    }
};

// Every line of the request once: "Name: value" for each name given, in the order given.
std::vector<std::string> Lines(const ReceivedRequest& r, std::initializer_list<const char*> names) {
    std::vector<std::string> lines;
    for (const char* name : names) {
        auto range = r.headers.equal_range(name);
        for (auto it = range.first; it != range.second; ++it) {
            lines.push_back(std::string(name) + ": " + it->second);
        }
    }
    return lines;
}

}  // namespace

TEST(RestEndToEnd, NestedRequestFromAHookLeavesTheOuterRequestsLinesAlone) {
    TestServer server;
    server.SetResponder([](const httplib::Request& req, httplib::Response& res) {
        res.set_content(req.path == "/api/v1/session" ? "tok-1" : "data", "text/plain");
    });
    LogCapture log;
    LazyLoginClient client(server.Port());
    client.enableDebug();
    ASSERT_TRUE(client.connect("127.0.0.1", false, ""));
    std::string response;
    ASSERT_TRUE(client.get("vms", response, nullptr));
    EXPECT_EQ(response, "data");
    ASSERT_TRUE(client.get("hosts", response, nullptr));
    EXPECT_EQ(client.logins, 1);
    // Where the transport can, the body is handed over to `response`, not copied: the hooks
    // still find it through the transport, and once the request has returned the transport no
    // longer points at it. Elsewhere it is copied, and stays the transport's too.
    EXPECT_EQ(response, "data");
    EXPECT_THAT(client.bodiesSeenBySave, ::testing::ElementsAre("data", "data"));
    const std::string kept = kHandsOverBodies ? "<none>" : "data";
    EXPECT_EQ(client.TransportBody(), kept);
    const std::string base = "http://127.0.0.1:" + std::to_string(server.Port()) + "/api/v1/";
    EXPECT_EQ(client.BodyAfterOwnExchange(base + "x"), kept);
    // The secret login inside "vms" shows no body, and "vms" gets its own marking back after it.
    EXPECT_THAT(
        Messages(log.From(rest_labels::kLogResponse)),
        ::testing::ElementsAre("Response from POST [" + base + "session]:\n[5 bytes withheld] ",
                               "Response from GET [" + base + "vms]:\ndata ",
                               "Response from GET [" + base + "hosts]:\ndata "));

    const auto r = server.Requests();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].target, "/api/v1/session");
    const auto names = {"Accept-Language", "User-Agent", "X-For", "X-Session"};
    EXPECT_THAT(Lines(r[0], names),
                ::testing::ElementsAre("Accept-Language: en_US", "User-Agent: curl/7.32.0",
                                       "X-For: session"));
    EXPECT_THAT(Lines(r[1], names),
                ::testing::ElementsAre("Accept-Language: en_US", "User-Agent: curl/7.32.0",
                                       "X-For: vms", "X-Session: tok-1"));
    EXPECT_THAT(Lines(r[2], names),
                ::testing::ElementsAre("Accept-Language: en_US", "User-Agent: curl/7.32.0",
                                       "X-For: hosts", "X-Session: tok-1"));
}

namespace {

// Pings the server from its login hook on every run of an outer request (never from the ping).
class RestlessClient : public Client {
public:
    explicit RestlessClient(int port) : Client(port) { m_bUseLoginHeaders = true; }

protected:
    bool addLoginCurlHeaders() override {
        if (!m_bPinging) {
            m_bPinging = true;
            std::string ignored;
            post("ping", "x", ignored, nullptr);
            m_bPinging = false;
        }
        return m_pCurl->JXLibCurlAppendHeader(HTTP_HDR_STANDARD, "X-Run: outer");
    }

private:
    bool m_bPinging = false;
};

}  // namespace

// Without a header stack the outer request runs its hooks again after a nested request; hooks
// that nest on every run fail the request with a reason instead of sending the ping's lines.
TEST(RestEndToEnd, HooksThatNestOnEveryRunFailWithoutAHeaderStack) {
    TestServer server;
    RestlessClient client(server.Port());
    ASSERT_TRUE(client.connect("127.0.0.1", false, ""));
    std::string response;
    EXPECT_EQ(client.get("vms", response, nullptr), kHasHeaderStack);
    const auto requests = server.Requests();
    if (kHasHeaderStack) {
        ASSERT_EQ(requests.size(), 2u);  // one ping, then the request with its own lines
        EXPECT_EQ(requests[1].target, "/api/v1/vms");
        EXPECT_EQ(Header(requests[1], "X-Run"), "outer");
    } else {
        EXPECT_EQ(requests.size(), 3u) << "one ping a run, and nothing sent with a ping's lines";
        EXPECT_THAT(client.getLastCurlError(), HasSubstr("issued a request on every one of 3"));
    }
}

namespace {

// Answers its base's body less a trailing newline, as a recorder that trims one would.
class TrimmingCurl : public JXLibCurl {
public:
    const char* GetHttpResponse(unsigned long& length, bool headers) override {
        const char* data = JXLibCurl::GetHttpResponse(length, headers);
        if (data != nullptr && !headers && data[length - 1] == '\n') {
            --length;
        }
        return data;
    }
};

}  // namespace

TEST(RestEndToEnd, HandsOverExactlyTheBodyTheTransportAnswers) {
    TestServer server;
    server.SetResponder([](const httplib::Request&, httplib::Response& res) {
        res.set_content("data\n", "text/plain");
    });
    for (const bool trimming : {false, true}) {
        Client client(server.Port());
        if (trimming) {
            client.UseTransport(std::make_unique<TrimmingCurl>());
        }
        ASSERT_TRUE(client.connect("127.0.0.1", false, ""));
        std::string response;
        ASSERT_TRUE(client.get("a", response, nullptr));
        EXPECT_EQ(response, trimming ? "data" : "data\n");
    }
}

namespace {

// Logs in with a password in its JSON body and sends a bearer token on every request.
class BearerClient : public Client {
public:
    using Client::Client;

protected:
    bool addCurlHeaders(HTTP_REQ_TYPE verb, const std::string& resource, const std::string& body,
                        const VSRestApiRequestOptions* options) override {
        return CVSRestApiConnection::addCurlHeaders(verb, resource, body, options) &&
               m_pCurl->JXLibCurlAppendHeader(HTTP_HDR_STANDARD, "Authorization: Bearer T0KEN-7");
    }
};

}  // namespace

// The library masks every line it writes itself, so even a platform log that writes records as
// given (the contract-only platform's) carries none of these secrets.
TEST(RestEndToEnd, NoSecretReachesTheLogWhateverThePlatformLogDoes) {
    TestServer server;
    server.SetResponder([](const httplib::Request& req, httplib::Response& res) {
        if (req.path == "/api/v1/denied") {
            res.status = 403;
            res.set_content("{\"token\":\"S3CR3T-4xx\"}", "application/json");
        } else {
            res.set_content("{\"session\":\"S3SS-200\"}", "application/json");
        }
    });
    LogCapture log;
    BearerClient client(server.Port());
    client.enableDebug();
    ASSERT_TRUE(client.connect("127.0.0.1", false, ""));
    std::string response;
    EXPECT_TRUE(
        client.post("session", "{\"user\":\"admin\",\"password\":\"hunter2\"}", response, nullptr));
    EXPECT_TRUE(client.get("vms?api_key=K3Y-url", response, nullptr));
    EXPECT_FALSE(client.get("denied", response, nullptr));
    EXPECT_EQ(client.getLastHttpStatus(), 403);

    std::string all;
    for (const auto& r : log.Records()) {
        all += r.message + "\n";
    }
    for (const char* secret : {"hunter2", "K3Y-url", "T0KEN-7", "S3CR3T-4xx", "S3SS-200"}) {
        EXPECT_EQ(all.find(secret), std::string::npos) << secret << " in:\n" << all;
    }
    // The lines themselves are there, with their secrets masked.
    EXPECT_THAT(all, HasSubstr("\"password\":\"***\""));
    EXPECT_THAT(all, HasSubstr("api_key=***"));
    EXPECT_THAT(all, HasSubstr("  Rsp: [{\"token\":\"***\"}]"));
}

namespace {

// A log destination that throws on every record, for as long as it lives.
class ThrowingLog {
public:
    ThrowingLog()
        : m_previous(
              TqDebugSetSink([](const TqDebugRecord&) { throw std::runtime_error("log"); })) {}
    ~ThrowingLog() { TqDebugSetSink(m_previous); }
    ThrowingLog(const ThrowingLog&) = delete;
    ThrowingLog& operator=(const ThrowingLog&) = delete;

private:
    TqDebugSink m_previous;
};

}  // namespace

// Failures found before any exchange say why through getLastCurlError on any platform (the
// transport records the text where it can, the library keeps it otherwise), and a log that
// throws on every record changes no outcome.
TEST(RestEndToEnd, FailuresBeforeAnExchangeSayWhyWhateverTheLogDoes) {
    const ThrowingLog throwing;
    Client client(UnusedPort());
    std::string response = "kept";
    EXPECT_FALSE(client.get("vms", response, nullptr));
    EXPECT_EQ(response, "kept");
    EXPECT_EQ(client.getLastCurlError(), "not connected: call connect() first");
    EXPECT_FALSE(client.connect("http://127.0.0.1", false, ""));
    EXPECT_THAT(client.getLastCurlError(), HasSubstr("Server [http://127.0.0.1] refused"));
    EXPECT_EQ(client.getLastHttpStatus(), 0);
    ASSERT_TRUE(client.connect("127.0.0.1", false, ""));
    EXPECT_EQ(client.getLastCurlError(), "") << "a connect that succeeds leaves no reason behind";
    EXPECT_FALSE(client.post("vms", "body", response, nullptr));  // refused port: LogError
    EXPECT_THAT(client.getLastCurlError(), HasSubstr("Couldn't connect"));
}

// Decoded in every encoding, bounded in decoded bytes, and offered only while the switch is on.
TEST(RestEndToEnd, CompressedBodiesAreDecodedBoundedAndOfferedOnRequest) {
    const std::string plain(50000, 'v');
    const std::map<std::string, std::string> bodies = {{"gzip", Encode("gzip", plain)},
                                                       {"br", Encode("br", plain)},
                                                       {"zstd", Encode("zstd", plain)},
                                                       {"bomb", GzipBomb()}};
    TestServer server;
    server.SetResponder([&bodies](const httplib::Request& req, httplib::Response& res) {
        const std::string coding = req.path.substr(8);  // after "/api/v1/"
        res.set_header("Content-Encoding", coding == "bomb" ? "gzip" : coding);
        res.set_content(bodies.at(coding), "text/plain");
    });
    Client client(server.Port());
    client.setCompression(false);  // before connect
    ASSERT_TRUE(client.connect("127.0.0.1", false, ""));
    std::string response;
    EXPECT_TRUE(client.get("zstd", response, nullptr) && response == plain) << "decoded unasked";
    client.setCompression(true);
    for (const char* coding : {"gzip", "br", "zstd"}) {
        EXPECT_TRUE(client.get(coding, response, nullptr) && response == plain) << coding;
    }
    client.setCompression(false);  // after connect
    EXPECT_TRUE(client.get("gzip", response, nullptr) && response == plain);
    const auto r = server.Requests();
    ASSERT_EQ(r.size(), 5u);
    EXPECT_THAT(Header(r[1], "Accept-Encoding"),
                AllOf(HasSubstr("gzip"), HasSubstr("br"), HasSubstr("zstd")));
    EXPECT_EQ(Header(r[0], "Accept-Encoding") + Header(r[4], "Accept-Encoding"), "<none><none>");
#ifndef VSTEST_PLATFORM_PACKAGE  // a body limit a client lowers is our transport's
    const LogCapture quiet;
    client.m_pCurl->JXLibCurlSetResponseLimits(size_t{16} << 20, 200 << 10);
    EXPECT_FALSE(client.get("bomb", response, nullptr));
    EXPECT_EQ(client.getLastCurlError(), "response body exceeds the limit of 16777216 bytes");
    EXPECT_TRUE(response.empty());
#endif
}

namespace {

class RefusesProxyPassword : public JXLibCurl {
public:
    bool JXLibCurlSetAdditionalOptionsStringValue(CURLoption option,
                                                  const std::string& value) override {
        return option != CURLOPT_PROXYPASSWORD &&
               JXLibCurl::JXLibCurlSetAdditionalOptionsStringValue(option, value);
    }
};

constexpr const char* kProxyPassword = "pr0xy-S3cret";
constexpr const char* kProxyBasic = "YWdlbnQ6cHIweHktUzNjcmV0";  // agent:pr0xy-S3cret

}  // namespace

// The route of a request to a loopback server: through the proxy, which then saw its absolute
// URL, or direct. The connection's own proxy beats the environment's; no credential of it
// reaches a log line, the transport's trace and a refused connect's line included.
TEST(RestEndToEnd, ProxiesFromTheEnvironmentOrTheConnection) {
    TestServer server;
    ProxyServer proxy;
    const ProxyEnvironment env;
    const std::string dead = LoopbackUrl("http", UnusedPort(), "/");
    enum Own { kNone, kNamed, kOff };
    const struct {
        const char* name;
        std::string httpProxy;
        const char* noProxy;
        Own own;
        bool viaProxy;
    } cases[] = {
        {"environment", proxy.Url(), "", kNone, true},
        {"no_proxy", proxy.Url(), "example.org,127.0.0.1", kNone, false},
        {"own over environment", dead, "", kNamed, true},
        {"environment off", proxy.Url(), "", kOff, false},
    };
    LogCapture log;
    for (const auto& c : cases) {
        ProxyEnvironment::Set("http_proxy", c.httpProxy);
        ProxyEnvironment::Set("no_proxy", c.noProxy);
        Client client(server.Port());
        if (c.own == kNamed) {
            client.setProxy(proxy.Url(), "agent", kProxyPassword);
        } else if (c.own == kOff) {
            client.disableProxy();
        }
        ASSERT_TRUE(client.connect("127.0.0.1", false, "")) << c.name;
        client.m_pCurl->JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_VERBOSE, 1);
        const size_t before = proxy.Heads().size();
        std::string response;
        EXPECT_TRUE(client.get("vms", response, nullptr) && response == "ok GET") << c.name;
        ASSERT_EQ(proxy.Heads().size(), before + (c.viaProxy ? 1 : 0)) << c.name;
        if (c.viaProxy) {
            EXPECT_THAT(proxy.Heads().back(), HasSubstr("GET " + server.Url("/api/v1/vms")));
        }
    }
    EXPECT_THAT(proxy.Heads().back(),
                HasSubstr(std::string("Proxy-Authorization: Basic ") + kProxyBasic));
    Client refused(server.Port());
    refused.UseTransport(std::make_unique<RefusesProxyPassword>());
    refused.setProxy(proxy.Url(), "agent", kProxyPassword);
    EXPECT_FALSE(refused.connect("127.0.0.1", false, ""));
    EXPECT_EQ(refused.getLastCurlError(), "Failed to set curl option:[CURLOPT_PROXYPASSWORD]");

    std::string all;
    for (const auto& r : log.Records()) {
        all += r.message + "\n";
    }
    EXPECT_EQ(all.find(kProxyPassword), std::string::npos) << all;
    EXPECT_EQ(all.find(kProxyBasic), std::string::npos) << all;
#ifndef VSTEST_PLATFORM_PACKAGE  // the trace into the log is our transport's
    EXPECT_THAT(all, HasSubstr("> Proxy-Authorization: ***"));
#endif
}

// HTTPS through the environment's proxy is a tunnel: the server's certificate is verified
// against the connection's CA file, end to end.
TEST(RestEndToEnd, HttpsThroughAProxyVerifiesTheServer) {
    TempDir dir;
    TempDir otherDir;
    const TlsMaterial tls = MakeTestCertificates(dir.Path());
    const TlsMaterial other = MakeTestCertificates(otherDir.Path());
    TestServer server(tls);
    ProxyServer proxy;
    const ProxyEnvironment env;
    ProxyEnvironment::Set("https_proxy", proxy.Url());
    const LogCapture quiet;
    for (const auto& [caFile, trusted] : {std::pair{tls.caFile, true}, {other.caFile, false}}) {
        Client client(server.Port(), true);
        ASSERT_TRUE(client.connect("127.0.0.1", false, caFile));
        std::string response;
        EXPECT_EQ(client.get("vms", response, nullptr), trusted) << caFile;
        EXPECT_THAT(client.getLastCurlError(),
                    trusted ? ::testing::Matcher<std::string>(::testing::IsEmpty())
                            : HasSubstr("certificate"));
    }
    const std::string connect = "CONNECT 127.0.0.1:" + std::to_string(server.Port());
    ASSERT_EQ(proxy.Heads().size(), 2u);
    EXPECT_THAT(proxy.Heads(), ::testing::Each(::testing::StartsWith(connect)));
}
