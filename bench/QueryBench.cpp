// Building the resource of a request: UrlEncode against curl_easy_escape, and
// appendQueryStringArgument against snprintf, on the same values.
//
// Each side's timed work is one non-inlined function (the *Pass functions), so that
// `valgrind --tool=callgrind --toggle-collect='*EncodeLibPass*'` counts exactly that work.
#include <curl/curl.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BenchMain.h"
#include "VSRestApiConnection.h"

namespace {

// Names as they come from a host: plain, with blanks and reserved characters, non-ASCII.
const std::vector<std::string>& Values() {
    static const std::vector<std::string> values = {"web-01",
                                                    "web 01",
                                                    "db/primary & replica",
                                                    "Gr\xc3\xbc\xc3\x9f"
                                                    "e 100%",
                                                    "a=b&c=d?e",
                                                    "5029a1b2-1f3a-4b6c-9d2e-00000000002a"};
    return values;
}

[[gnu::noinline]] size_t EncodeLibPass(CVSRestApiConnection& connection,
                                       const std::vector<std::string>& values) {
    size_t bytes = 0;
    for (const std::string& value : values) {
        std::string encoded = connection.UrlEncode(value);
        bytes += encoded.size();
        benchmark::DoNotOptimize(encoded);
    }
    return bytes;
}

void EncodeLib(benchmark::State& state) {
    CVSRestApiConnection connection;
    const std::vector<std::string>& values = Values();
    size_t bytes = 0;
    for (auto _ : state) {
        bytes += EncodeLibPass(connection, values);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(values.size()));
    state.counters["bytes_out"] = static_cast<double>(bytes);
}

[[gnu::noinline]] size_t EncodeRawPass(CURL* handle, const std::vector<std::string>& values) {
    size_t bytes = 0;
    for (const std::string& value : values) {
        std::unique_ptr<char, void (*)(void*)> escaped(
            curl_easy_escape(handle, value.data(), static_cast<int>(value.size())), curl_free);
        std::string encoded(escaped ? escaped.get() : "");
        bytes += encoded.size();
        benchmark::DoNotOptimize(encoded);
    }
    return bytes;
}

void EncodeRaw(benchmark::State& state) {
    std::unique_ptr<CURL, void (*)(CURL*)> handle(curl_easy_init(), curl_easy_cleanup);
    const std::vector<std::string>& values = Values();
    size_t bytes = 0;
    for (auto _ : state) {
        bytes += EncodeRawPass(handle.get(), values);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(values.size()));
    state.counters["bytes_out"] = static_cast<double>(bytes);
}

// Three arguments per query, as a list request of a client builds them.
[[gnu::noinline]] void QueryLibPass(CVSRestApiConnection& connection, const std::string& name) {
    std::string query = "vms";
    connection.appendQueryStringArgument(query, "name=%s", name.c_str());
    connection.appendQueryStringArgument(query, "page=%d", 3);
    connection.appendQueryStringArgument(query, "pageSize=%d", 100);
    benchmark::DoNotOptimize(query);
}

void QueryLib(benchmark::State& state) {
    CVSRestApiConnection connection;
    const std::string name = "web%2001";
    for (auto _ : state) {
        QueryLibPass(connection, name);
    }
    state.SetItemsProcessed(state.iterations() * 3);
}

void AppendRaw(std::string& query, const char* text) {
    query += query.find('?') == std::string::npos ? '?' : '&';
    query += text;
}

[[gnu::noinline]] void QueryRawPass(const std::string& name) {
    char buffer[2048];
    std::string query = "vms";
    std::snprintf(buffer, sizeof buffer, "name=%s", name.c_str());
    AppendRaw(query, buffer);
    std::snprintf(buffer, sizeof buffer, "page=%d", 3);
    AppendRaw(query, buffer);
    std::snprintf(buffer, sizeof buffer, "pageSize=%d", 100);
    AppendRaw(query, buffer);
    benchmark::DoNotOptimize(query);
}

void QueryRaw(benchmark::State& state) {
    const std::string name = "web%2001";
    for (auto _ : state) {
        QueryRawPass(name);
    }
    state.SetItemsProcessed(state.iterations() * 3);
}

}  // namespace

int main(int argc, char** argv) {
    vsbench::ParseSmoke(argc, argv);
    using vsbench::Configure;
    Configure(benchmark::RegisterBenchmark("url_encode/lib", EncodeLib), 10);
    Configure(benchmark::RegisterBenchmark("url_encode/raw", EncodeRaw), 10);
    Configure(benchmark::RegisterBenchmark("query_argument/lib", QueryLib), 10);
    Configure(benchmark::RegisterBenchmark("query_argument/raw", QueryRaw), 10);
    return vsbench::Run(argc, argv);
}
