// Requests over TLS to a loopback server that presents a certificate from a CA made at run
// time; every client verifies the server against that CA file (peer and host name), as an
// agent verifies a server with its own CA bundle. Two ways of using a client:
//
//   https_get_1KiB     one kept connection, a GET of 1 KiB per iteration: what a request costs
//                      once the handshake is paid
//   https_new_object   a new client object per iteration, one GET: what an agent pays when
//                      each job makes its own client (TCP connect, full handshake, CA file)
//
// Each runs the library, a raw libcurl easy handle with the library's options and cpp-httplib's
// SSLClient. https_new_object/lib_pooled is the library with the transport's connection pool
// on for its run: each new object takes the handle the one before parked, with its verified
// connection. https_new_object/raw_shared is raw libcurl with its TLS session cache shared
// between the new handles (CURLSH with CURL_LOCK_DATA_SSL_SESSION only): it measures what a
// process-wide session cache would save, and reports whether the server resumed the session.
//
// The key type is ECDSA P-256 unless VSBENCH_TLS_KEY=rsa2048. The timed work of each client is
// one non-inlined function (*Send, *Pass), for callgrind's --toggle-collect.
#include <curl/curl.h>
#include <httplib.h>
#include <openssl/ssl.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "BenchMain.h"
#include "LoopbackCa.h"
#include "LoopbackServer.h"
#include "RequestBench.h"
#include "VSRestApiConnection.h"

namespace {

int g_nPort = -1;
std::string g_strCaFile;

const char* const kResource = "get/1k";  // below the server root
constexpr size_t kExpected = LoopbackServer::kSmallBody;

std::string Url() {
    return "https://127.0.0.1:" + std::to_string(g_nPort) + "/" + kResource;
}

// ---- the library ----

class TlsConnection : public CVSRestApiConnection {
public:
    TlsConnection() {  // no encoding offered, as the other clients offer none
        m_strContentType = "application/json";
        m_bUseHttps = true;
        m_nPort = static_cast<unsigned int>(g_nPort);
        setCompression(false);
    }

    bool Connect() { return connect("127.0.0.1", false, g_strCaFile); }
};

[[gnu::noinline]] bool LibSend(TlsConnection& connection, std::string& response) {
    return connection.get(kResource, response, nullptr);
}

void LibKept(benchmark::State& state) {
    TlsConnection connection;
    if (!connection.Connect()) {
        state.SkipWithError("connect failed");
        return;
    }
    std::string response;
    for (auto _ : state) {
        if (!LibSend(connection, response)) {
            state.SkipWithError("request failed");
            return;
        }
    }
    vsbench::FinishRequests(state, kExpected, response.size());
}

[[gnu::noinline]] bool LibNewObjectPass(std::string& response) {
    TlsConnection connection;
    return connection.Connect() && connection.get(kResource, response, nullptr);
}

void LibNewObject(benchmark::State& state, bool pooled) {
    vsbench::NewObjectRequests(state, pooled, kExpected, &LibNewObjectPass);
}

// ---- raw libcurl ----

// The library's TLS settings: peer and host verified against the CA file, TLS 1.2 or later.
void SetRawOptions(CURL* h, curl_slist* headers, std::string& response) {
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &vsbench::AppendBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(h, CURLOPT_CAINFO, g_strCaFile.c_str());
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
}

[[gnu::noinline]] bool RawSend(CURL* h, const std::string& url, std::string& response) {
    response.clear();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    long status = 0;
    return curl_easy_perform(h) == CURLE_OK &&
           curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status < 400;
}

void RawKept(benchmark::State& state) {
    const vsbench::CurlPtr handle(curl_easy_init());
    const vsbench::SlistPtr headers = vsbench::LibraryHeaderList();
    std::string response;
    SetRawOptions(handle.get(), headers.get(), response);
    const std::string url = Url();
    for (auto _ : state) {
        if (!RawSend(handle.get(), url, response)) {
            state.SkipWithError("request failed");
            return;
        }
    }
    vsbench::FinishRequests(state, kExpected, response.size());
}

// One GET on a handle of its own (attached to share when not null), cleaned up after it.
bool NewHandleGet(const std::string& url, curl_slist* headers, CURLSH* share,
                  std::string& response) {
    const vsbench::CurlPtr handle(curl_easy_init());
    if (!handle) {
        return false;
    }
    SetRawOptions(handle.get(), headers, response);
    if (share != nullptr) {
        curl_easy_setopt(handle.get(), CURLOPT_SHARE, share);
    }
    return RawSend(handle.get(), url, response);
}

[[gnu::noinline]] bool RawNewObjectPass(const std::string& url, curl_slist* headers,
                                        std::string& response) {
    return NewHandleGet(url, headers, nullptr, response);
}

[[gnu::noinline]] bool RawSharedNewObjectPass(const std::string& url, curl_slist* headers,
                                              CURLSH* share, std::string& response) {
    return NewHandleGet(url, headers, share, response);
}

// libcurl's TLS session cache shared by every handle attached to it, with the locks that a
// process whose threads make handles at the same time needs. Only the sessions are shared:
// connections stay with their handle, so each new handle still connects and shakes hands.
class SessionShare {
public:
    SessionShare() : m_share(curl_share_init()) {
        if (!m_share ||
            curl_share_setopt(m_share.get(), CURLSHOPT_LOCKFUNC, &SessionShare::Lock) !=
                CURLSHE_OK ||
            curl_share_setopt(m_share.get(), CURLSHOPT_UNLOCKFUNC, &SessionShare::Unlock) !=
                CURLSHE_OK ||
            curl_share_setopt(m_share.get(), CURLSHOPT_USERDATA, this) != CURLSHE_OK ||
            curl_share_setopt(m_share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) !=
                CURLSHE_OK) {
            m_share.reset();
        }
    }
    SessionShare(const SessionShare&) = delete;
    SessionShare& operator=(const SessionShare&) = delete;

    CURLSH* get() const { return m_share.get(); }

private:
    struct ShareDeleter {
        void operator()(CURLSH* share) const { curl_share_cleanup(share); }
    };

    // libcurl passes only its own lock kinds (below CURL_LOCK_DATA_LAST); nothing may throw
    // through its frames.
    static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<SessionShare*>(self)->m_locks[data].lock();
    }
    static void Unlock(CURL*, curl_lock_data data, void* self) {
        static_cast<SessionShare*>(self)->m_locks[data].unlock();
    }

    // Before the share: curl_share_cleanup still takes a lock.
    std::array<std::mutex, CURL_LOCK_DATA_LAST> m_locks;
    std::unique_ptr<CURLSH, ShareDeleter> m_share;
};

struct ResumptionProbe {
    CURL* handle = nullptr;
    bool seen = false;  // the TLS connection was looked at
    bool resumed = false;
};

// Whether the server resumed the TLS session of the transfer in progress; read from the
// progress callback, the one place where the handle still has its connection.
int NoteResumption(void* probe, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto& p = *static_cast<ResumptionProbe*>(probe);
    curl_tlssessioninfo* info = nullptr;
    if (!p.seen && curl_easy_getinfo(p.handle, CURLINFO_TLS_SSL_PTR, &info) == CURLE_OK &&
        info != nullptr && info->backend == CURLSSLBACKEND_OPENSSL && info->internals != nullptr) {
        auto* ssl = static_cast<SSL*>(info->internals);
        if (SSL_is_init_finished(ssl) == 1) {
            p.seen = true;
            p.resumed = SSL_session_reused(ssl) == 1;
        }
    }
    return 0;
}

// One more GET on a new handle, untimed: 1 when its TLS session was resumed, 0 when not, -1
// when it could not tell.
double ProbeResumption(const std::string& url, curl_slist* headers, CURLSH* share) {
    const vsbench::CurlPtr handle(curl_easy_init());
    std::string response;
    ResumptionProbe probe{handle.get()};
    SetRawOptions(handle.get(), headers, response);
    if (share != nullptr) {
        curl_easy_setopt(handle.get(), CURLOPT_SHARE, share);
    }
    curl_easy_setopt(handle.get(), CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle.get(), CURLOPT_XFERINFOFUNCTION, &NoteResumption);
    curl_easy_setopt(handle.get(), CURLOPT_XFERINFODATA, &probe);
    if (!RawSend(handle.get(), url, response) || !probe.seen) {
        return -1;
    }
    return probe.resumed ? 1 : 0;
}

void RawNewObject(benchmark::State& state, bool shareSessions) {
    const vsbench::SlistPtr headers = vsbench::LibraryHeaderList();
    SessionShare sessions;
    if (shareSessions && sessions.get() == nullptr) {
        state.SkipWithError("cannot set up the shared TLS session cache");
        return;
    }
    CURLSH* share = shareSessions ? sessions.get() : nullptr;
    const std::string url = Url();
    std::string response;
    for (auto _ : state) {
        const bool ok = shareSessions ? RawSharedNewObjectPass(url, headers.get(), share, response)
                                      : RawNewObjectPass(url, headers.get(), response);
        if (!ok) {
            state.SkipWithError("request failed");
            return;
        }
    }
    state.counters["tls_resumed"] = ProbeResumption(url, headers.get(), share);
    vsbench::FinishRequests(state, kExpected, response.size());
}

// ---- cpp-httplib's SSLClient ----

void SetUpHttplib(httplib::SSLClient& client) {
    client.set_keep_alive(true);
    // Its best setting: with Nagle on, a request written in two parts waits for a delayed ACK.
    client.set_tcp_nodelay(true);
    client.set_ca_cert_path(g_strCaFile);
    client.enable_server_certificate_verification(true);
    client.set_default_headers({{"Accept-Language", "en_US"}, {"User-Agent", "curl/7.32.0"}});
}

[[gnu::noinline]] bool HttplibSend(httplib::SSLClient& client, const std::string& path,
                                   size_t& length) {
    httplib::Result result = client.Get(path, {{"Content-Type", "application/json"}});
    if (!result || result->status >= 400) {
        return false;
    }
    length = result->body.size();
    return true;
}

void HttplibKept(benchmark::State& state) {
    httplib::SSLClient client("127.0.0.1", g_nPort);
    SetUpHttplib(client);
    const std::string path = std::string("/") + kResource;
    size_t length = 0;
    for (auto _ : state) {
        if (!HttplibSend(client, path, length)) {
            state.SkipWithError("request failed");
            return;
        }
    }
    vsbench::FinishRequests(state, kExpected, length);
}

[[gnu::noinline]] bool HttplibNewObjectPass(const std::string& path, size_t& length) {
    httplib::SSLClient client("127.0.0.1", g_nPort);
    SetUpHttplib(client);
    return HttplibSend(client, path, length);
}

void HttplibNewObject(benchmark::State& state) {
    const std::string path = std::string("/") + kResource;
    size_t length = 0;
    for (auto _ : state) {
        if (!HttplibNewObjectPass(path, length)) {
            state.SkipWithError("request failed");
            return;
        }
    }
    vsbench::FinishRequests(state, kExpected, length);
}

void RegisterAll() {
    using vsbench::WallClock;
    WallClock(benchmark::RegisterBenchmark("https_get_1KiB/lib", LibKept), 3);
    WallClock(benchmark::RegisterBenchmark("https_get_1KiB/raw", RawKept), 3);
    WallClock(benchmark::RegisterBenchmark("https_get_1KiB/httplib", HttplibKept), 3);
    WallClock(benchmark::RegisterBenchmark("https_new_object/lib", LibNewObject, false), 2);
    WallClock(benchmark::RegisterBenchmark("https_new_object/lib_pooled", LibNewObject, true), 2);
    WallClock(benchmark::RegisterBenchmark("https_new_object/raw", RawNewObject, false), 2);
    WallClock(benchmark::RegisterBenchmark("https_new_object/httplib", HttplibNewObject), 2);
    WallClock(benchmark::RegisterBenchmark("https_new_object/raw_shared", RawNewObject, true), 2);
}

std::string EnvOrEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

int main(int argc, char** argv) {
    vsbench::ParseSmoke(argc, argv);
    // Before anything can log: the settings are read once per process. Level 0 filters the
    // library's level-2 lines exactly as the default settings do.
    vsbench::ScratchDir scratch("https");
    const std::string logFile = scratch.File("exchange.log");
    ::setenv("TQDEBUG_FILE", logFile.c_str(), 1);
    ::setenv("TQDEBUG_LEVEL", "0", 1);
    const vsbench::TlsKey key = vsbench::ParseTlsKey(EnvOrEmpty("VSBENCH_TLS_KEY"));
    const vsbench::LoopbackCaFiles ca = vsbench::MakeLoopbackCa(scratch.Path(), key);
    g_strCaFile = ca.caCert;
    benchmark::AddCustomContext("tls_key", vsbench::TlsKeyName(key));
    // Forks: before libcurl or anything else starts a thread.
    LoopbackServer server(LoopbackServer::TlsIdentity{ca.serverCert, ca.serverKey});
    g_nPort = server.Port();
    RegisterAll();
    return vsbench::Run(argc, argv);
}
