// Building the resource of a request: UrlEncode against curl_easy_escape, and
// appendQueryStringArgument against snprintf, on the same values; and what masking secrets
// adds to a log record with a 4 KiB JSON body, and with 1 MiB of hostile text.
//
// Each side's timed work is one non-inlined function (the *Pass functions), so that
// `valgrind --tool=callgrind --toggle-collect='*EncodeLibPass*'` counts exactly that work.
#include <curl/curl.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BenchMain.h"
#include "TqDebug.h"
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
                                                    "7c29a1b2-1f3a-4b6c-9d2e-00000000002a"};
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

// A response as the exchange log writes it: 4 KiB of a VM list in JSON, a session token in it.
const std::string& LoggedJson() {
    static const std::string body = [] {
        std::string text = R"({"session":{"token":"c2Vzc2lvbi10b2tlbi0x","expires":3600},"vms":[)";
        for (int i = 0; text.size() < 4000; ++i) {
            text += (i > 0 ? "," : "") + std::string(R"({"id":"vm-)") + std::to_string(i) +
                    R"(","name":"web 01","state":"running","host":"host-01.lab.local",)" +
                    R"("datastore":"/datastores/ds1/web.cfg","tags":["prod","linux"]})";
        }
        return text + "]}";
    }();
    return body;
}

// 1 MiB of what a hostile server can put in an error body to make a masker rescan it: long
// names of separators before "=", ":" and "<" (each "_" or "-" a place where a secret name
// could begin), quoted names, tags that never close, long backslash runs before a quote, a
// URL authority without "@", form-data names without a part, secret elements holding a comment,
// escaped tags and names of escapes. Each shape runs for 16 KiB, and the shapes repeat.
const std::string& HostileBody() {
    static const std::string body = [] {
        const auto run = [](const std::string& unit, const std::string& end) {
            std::string text;
            while (text.size() + end.size() < (16U << 10)) {
                text += unit;
            }
            return text + end;
        };
        const std::string shapes[] = {
            run("_", "d=1 "),
            run("-_", "token:1\n"),
            "\"" + run("_", "d\":1,"),
            "<" + run("_", "d>1</x>"),
            run("<password ", ">"),
            run("\\", "\":"),
            "http://" + run("a", "/"),
            run("user[", "]=1&"),
            run("; name=\"password\"", "\r\nX: 1\r\n"),
            run("<token><!--", "--><b>"),
            run("&lt;token&gt;", "&lt;b&gt;"),
            "\"" + run("\\u005f", "d\":1,"),
        };
        std::string text;
        for (size_t i = 0; text.size() < (1U << 20); ++i) {
            text += shapes[i % (sizeof shapes / sizeof shapes[0])];
        }
        return text;
    }();
    return body;
}

std::string LogRecord(const std::string& body) {
    std::string record(body.size() + 64, '\0');
    const int n = std::snprintf(&record[0], record.size(), "Response from %s [%s]:\n%s ", "GET",
                                "https://host-1:8443/api/v1/vms", body.c_str());
    record.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return record;
}

// What the log does for each record it writes now (format, then mask), against the format
// alone, as it did before it masked secrets.
[[gnu::noinline]] size_t MaskLibPass(const std::string& body) {
    std::string record = LogRecord(body);
    TqDebugMaskSecrets(record);
    benchmark::DoNotOptimize(record);
    return record.size();
}

[[gnu::noinline]] size_t MaskRawPass(const std::string& body) {
    std::string record = LogRecord(body);
    benchmark::DoNotOptimize(record);
    return record.size();
}

template <size_t (*Pass)(const std::string&), const std::string& (*Body)()>
void Mask(benchmark::State& state) {
    const std::string& body = Body();
    for (auto _ : state) {
        Pass(body);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(body.size()));
}

}  // namespace

int main(int argc, char** argv) {
    vsbench::ParseSmoke(argc, argv);
    using vsbench::Configure;
    Configure(benchmark::RegisterBenchmark("url_encode/lib", EncodeLib), 10);
    Configure(benchmark::RegisterBenchmark("url_encode/raw", EncodeRaw), 10);
    Configure(benchmark::RegisterBenchmark("query_argument/lib", QueryLib), 10);
    Configure(benchmark::RegisterBenchmark("query_argument/raw", QueryRaw), 10);
    Configure(benchmark::RegisterBenchmark("log_mask/lib", Mask<MaskLibPass, LoggedJson>), 10);
    Configure(benchmark::RegisterBenchmark("log_mask/raw", Mask<MaskRawPass, LoggedJson>), 10);
    Configure(benchmark::RegisterBenchmark("log_mask_hostile/lib", Mask<MaskLibPass, HostileBody>),
              1);
    Configure(benchmark::RegisterBenchmark("log_mask_hostile/raw", Mask<MaskRawPass, HostileBody>),
              1);
    return vsbench::Run(argc, argv);
}
