// Requests over one keep-alive connection to a loopback server: the library's connection
// beside a raw libcurl easy handle reused the same way, and beside the two peer clients
// (cpp-httplib's client with keep-alive, curlpp), all on the same server and bodies.
//
// http_new_object makes a new library connection object per iteration (connect, one GET of
// 1 KiB): /lib closes its connection with the object, /lib_pooled runs with the transport's
// connection pool on, so that each object takes the connection the one before parked.
//
// vm_list_50Mbit fetches the 908 KB VM list (VmList.h) through a relay that holds the link to
// 50 Mbit/s (ShapedRelay.h): /gzip with the library's default offer of compressed bodies, which
// the server answers with its gzip copy, /identity with the offer off. vm_list_inflate/zlib
// times zlib's inflate of that gzip copy by CPU time: what decoding costs per decoded byte.
//
// Every client sends the same header lines as the library (Content-Type, Accept-Language,
// User-Agent; libcurl clients also drop "Expect:") and sets the URL for every request.
//
// The timed work of each client is one non-inlined function (*Send), for callgrind's
// --toggle-collect.
//
// Exchange logging (enableDebug) writes its lines to a file: TQDEBUG_FILE is set before the
// first log call, TQDEBUG_LEVEL stays 0, so the runs without enableDebug filter their level-2
// lines exactly as the default settings do.
#include <curl/curl.h>
#include <fcntl.h>
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <curlpp/Easy.hpp>
#include <curlpp/Infos.hpp>
#include <curlpp/Options.hpp>
#include <curlpp/cURLpp.hpp>
#include <list>
#include <memory>
#include <string>

#include "BenchMain.h"
#include "LoopbackServer.h"
#include "RequestBench.h"
#include "ShapedRelay.h"
#include "VSRestApiConnection.h"
#include "VmList.h"

namespace {

int g_nPort = -1;
std::string g_strLogFile;
const vsbench::ShapedRelay* g_pRelay = nullptr;
std::string g_strVmListGzip;  // the server's copy, made the same way
size_t g_nVmListBytes = 0;

struct Exchange {
    const char* resource;  // below the server root
    bool post;
    size_t expected;  // length of the response body
};

const std::string& PostBody() {
    static const std::string body(4096, 'p');
    return body;
}

const Exchange kGet1k{"get/1k", false, LoopbackServer::kSmallBody};
const Exchange kGet64k{"get/64k", false, LoopbackServer::kLargeBody};
const Exchange kPost4k{"post", true, 4};  // the server answers "4096"

std::string Url(const Exchange& exchange) {
    return "http://127.0.0.1:" + std::to_string(g_nPort) + "/" + exchange.resource;
}

void Finish(benchmark::State& state, const Exchange& exchange, size_t lastLength) {
    vsbench::FinishRequests(state, exchange.expected, lastLength,
                            exchange.post ? PostBody().size() : 0);
}

// ---- the library ----

class BenchConnection : public CVSRestApiConnection {
public:
    // No encoding offered unless asked for: the rows compare the same bytes on the wire as the
    // other clients, which offer none (the loopback server compresses what a client accepts, and
    // a 1 KiB body compressed costs ten times the exchange's time there).
    explicit BenchConnection(bool exchangeLog, bool compression = false, int port = g_nPort) {
        m_strContentType = "application/json";
        m_nPort = static_cast<unsigned int>(port);
        setCompression(compression);
        if (exchangeLog) {
            enableDebug();
        }
    }
};

[[gnu::noinline]] bool LibSend(BenchConnection& connection, const Exchange& exchange,
                               std::string& response) {
    return exchange.post ? connection.post(exchange.resource, PostBody(), response, nullptr)
                         : connection.get(exchange.resource, response, nullptr);
}

[[gnu::noinline]] bool LibNewObjectPass(std::string& response) {
    BenchConnection connection(false);
    return connection.connect("127.0.0.1", false, "") &&
           connection.get(kGet1k.resource, response, nullptr);
}

void LibNewObject(benchmark::State& state, bool pooled) {
    vsbench::NewObjectRequests(state, pooled, kGet1k.expected, &LibNewObjectPass);
}

// The log opens the file at its first call, which may not have happened yet.
bool EmptyLogFile() {
    const int fd = ::open(g_strLogFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    return fd >= 0 && ::close(fd) == 0;
}

void Lib(benchmark::State& state, Exchange exchange, bool exchangeLog) {
    if (exchangeLog && !EmptyLogFile()) {
        state.SkipWithError("cannot empty the exchange log file");
        return;
    }
    BenchConnection connection(exchangeLog);
    if (!connection.connect("127.0.0.1", false, "")) {
        state.SkipWithError("connect failed");
        return;
    }
    std::string response;
    for (auto _ : state) {
        if (!LibSend(connection, exchange, response)) {
            state.SkipWithError("request failed");
            return;
        }
    }
    Finish(state, exchange, response.size());
}

// ---- the VM list over a 50 Mbit/s link ----

// The bytes on the wire per fetch tell whether the server's answer was the one asked for.
bool WireMatches(benchmark::State& state, uint64_t wireBytes, bool compressed) {
    const double perFetch = static_cast<double>(wireBytes) /
                            static_cast<double>(std::max<int64_t>(1, state.iterations()));
    state.counters["wire_bytes"] = perFetch;
    return compressed == (perFetch < static_cast<double>(g_nVmListBytes));
}

void ShapedVmList(benchmark::State& state, bool compressed) {
    BenchConnection connection(false, compressed, g_pRelay->Port());
    if (!connection.connect("127.0.0.1", false, "")) {
        state.SkipWithError("connect failed");
        return;
    }
    std::string response;
    const uint64_t before = g_pRelay->BytesToClients();
    for (auto _ : state) {
        if (!connection.get("get/vm_list", response, nullptr)) {
            state.SkipWithError(("request failed: " + connection.getLastCurlError()).c_str());
            return;
        }
    }
    if (!WireMatches(state, g_pRelay->BytesToClients() - before, compressed)) {
        state.SkipWithError(compressed ? "the body came uncompressed" : "the body came compressed");
        return;
    }
    vsbench::FinishRequests(state, g_nVmListBytes, response.size());
}

void InflateVmList(benchmark::State& state) {
    size_t decoded = 0;
    for (auto _ : state) {
        decoded = vsbench::GunzipLength(g_strVmListGzip);
    }
    if (decoded != g_nVmListBytes) {
        state.SkipWithError("the gzip copy does not decode to the VM list");
        return;
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(decoded));
}

// ---- raw libcurl ----

[[gnu::noinline]] bool RawSend(CURL* h, const std::string& url, bool post, std::string& response) {
    response.clear();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    if (post) {
        const std::string& body = PostBody();
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    } else {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    }
    long status = 0;
    return curl_easy_perform(h) == CURLE_OK &&
           curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status < 400;
}

void Raw(benchmark::State& state, Exchange exchange) {
    const vsbench::CurlPtr handle(curl_easy_init());
    const vsbench::SlistPtr headers = vsbench::LibraryHeaderList();
    CURL* h = handle.get();
    std::string response;
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &vsbench::AppendBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
    const std::string url = Url(exchange);
    for (auto _ : state) {
        if (!RawSend(h, url, exchange.post, response)) {
            state.SkipWithError("request failed");
            return;
        }
    }
    Finish(state, exchange, response.size());
}

// ---- cpp-httplib's client ----

[[gnu::noinline]] bool HttplibSend(httplib::Client& client, const std::string& path, bool post,
                                   size_t& length) {
    httplib::Result result = post ? client.Post(path, PostBody(), "application/json")
                                  : client.Get(path, {{"Content-Type", "application/json"}});
    if (!result || result->status >= 400) {
        return false;
    }
    length = result->body.size();
    return true;
}

void Httplib(benchmark::State& state, Exchange exchange) {
    httplib::Client client("127.0.0.1", g_nPort);
    client.set_keep_alive(true);
    // Its best setting: with Nagle on, a request written in two parts waits for a delayed ACK.
    client.set_tcp_nodelay(true);
    client.set_default_headers({{"Accept-Language", "en_US"}, {"User-Agent", "curl/7.32.0"}});
    const std::string path = std::string("/") + exchange.resource;
    size_t length = 0;
    for (auto _ : state) {
        if (!HttplibSend(client, path, exchange.post, length)) {
            state.SkipWithError("request failed");
            return;
        }
    }
    Finish(state, exchange, length);
}

// ---- curlpp ----

[[gnu::noinline]] bool CurlppSend(curlpp::Easy& request, const std::string& url, bool post,
                                  std::string& response) {
    response.clear();
    request.setOpt(curlpp::options::Url(url));
    if (post) {
        request.setOpt(curlpp::options::PostFields(PostBody()));
        request.setOpt(curlpp::options::PostFieldSize(static_cast<long>(PostBody().size())));
    } else {
        request.setOpt(curlpp::options::HttpGet(true));
    }
    request.perform();
    return curlpp::infos::ResponseCode::get(request) < 400;
}

void Curlpp(benchmark::State& state, Exchange exchange) {
    curlpp::Easy request;
    std::string response;
    request.setOpt(curlpp::options::NoSignal(true));
    std::list<std::string> headers(std::begin(vsbench::kLibraryHeaderLines),
                                   std::end(vsbench::kLibraryHeaderLines));
    headers.emplace_back("Expect:");
    request.setOpt(curlpp::options::HttpHeader(headers));
    request.setOpt(
        curlpp::options::WriteFunction([&response](char* data, size_t size, size_t count) {
            response.append(data, size * count);
            return size * count;
        }));
    const std::string url = Url(exchange);
    try {
        for (auto _ : state) {
            if (!CurlppSend(request, url, exchange.post, response)) {
                state.SkipWithError("request failed");
                return;
            }
        }
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
        return;
    }
    Finish(state, exchange, response.size());
}

// ---- resident memory over many requests on one connection ----

void Memory(benchmark::State& state) {
    BenchConnection connection(false);
    if (!connection.connect("127.0.0.1", false, "")) {
        state.SkipWithError("connect failed");
        return;
    }
    std::string response;
    vsbench::MeasureResidentGrowth(
        state, vsbench::Size(1000, 20), vsbench::Size(100000, 100), "requests",
        [&](size_t) { return connection.get(kGet1k.resource, response, nullptr); });
}

void RegisterAll() {
    using vsbench::WallClock;
    const struct {
        const char* name;
        Exchange exchange;
    } workloads[] = {{"get_1KiB", kGet1k}, {"get_64KiB", kGet64k}, {"post_4KiB", kPost4k}};
    for (const auto& w : workloads) {
        const std::string name = w.name;
        WallClock(benchmark::RegisterBenchmark((name + "/lib").c_str(), Lib, w.exchange, false), 3);
        WallClock(benchmark::RegisterBenchmark((name + "/raw").c_str(), Raw, w.exchange), 3);
        WallClock(benchmark::RegisterBenchmark((name + "/httplib").c_str(), Httplib, w.exchange),
                  3);
        WallClock(benchmark::RegisterBenchmark((name + "/curlpp").c_str(), Curlpp, w.exchange), 3);
    }
    WallClock(benchmark::RegisterBenchmark("http_new_object/lib", LibNewObject, false), 2);
    WallClock(benchmark::RegisterBenchmark("http_new_object/lib_pooled", LibNewObject, true), 2);
    WallClock(benchmark::RegisterBenchmark("get_1KiB_exchange_log/lib", Lib, kGet1k, true), 3);
    WallClock(benchmark::RegisterBenchmark("post_4KiB_exchange_log/lib", Lib, kPost4k, true), 3);
    // Fixed counts: a fetch over the slow link takes up to 150 ms.
    WallClock(benchmark::RegisterBenchmark("vm_list_50Mbit/gzip", ShapedVmList, true), 1, 3)
        ->Unit(benchmark::kMillisecond);
    WallClock(benchmark::RegisterBenchmark("vm_list_50Mbit/identity", ShapedVmList, false), 1, 3)
        ->Unit(benchmark::kMillisecond);
    vsbench::Configure(benchmark::RegisterBenchmark("vm_list_inflate/zlib", InflateVmList))
        ->Unit(benchmark::kMillisecond);
    WallClock(benchmark::RegisterBenchmark("memory_requests/lib", Memory), 1, 1)
        ->Repetitions(1)  // one long pass; repeating it measures nothing new
        ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
    vsbench::ParseSmoke(argc, argv);
    // Before anything can log: the settings are read once per process.
    vsbench::ScratchDir scratch("http");
    g_strLogFile = scratch.File("exchange.log");
    ::setenv("TQDEBUG_FILE", g_strLogFile.c_str(), 1);
    ::setenv("TQDEBUG_LEVEL", "0", 1);
    // Forks: before libcurl or anything else starts a thread.
    LoopbackServer server;
    g_nPort = server.Port();
    const vsbench::ShapedRelay relay(g_nPort, 50e6);
    g_pRelay = &relay;
    const std::string vmList = vsbench::VmListJson(vsbench::VmListCount());
    g_nVmListBytes = vmList.size();
    g_strVmListGzip = vsbench::Gzip(vmList);
    curlpp::initialize();
    RegisterAll();
    const int rc = vsbench::Run(argc, argv);
    curlpp::terminate();
    return rc;
}
