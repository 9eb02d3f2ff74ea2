#include "RequestBench.h"

#include <string>

#include "BenchMain.h"
#include "JXLibCurl.h"

namespace vsbench {

const char* const kLibraryHeaderLines[3] = {"Content-Type: application/json",
                                            "Accept-Language: en_US", "User-Agent: curl/7.32.0"};

namespace {

// The process's connection pool, on for the life of this object when asked for.
class PoolSwitch {
public:
    explicit PoolSwitch(bool on) : m_bOn(on) {
        if (m_bOn) {
            JXLibCurl::EnableConnectionPool();
        }
    }
    ~PoolSwitch() {
        if (m_bOn) {
            JXLibCurl::DisableConnectionPool();
        }
    }
    PoolSwitch(const PoolSwitch&) = delete;
    PoolSwitch& operator=(const PoolSwitch&) = delete;

private:
    bool m_bOn;
};

// On failure curl_slist_append leaves the list as it was, still ours to free.
void Append(SlistPtr& list, const char* line) {
    if (curl_slist* grown = curl_slist_append(list.get(), line)) {
        (void)list.release();
        list.reset(grown);
    }
}

}  // namespace

SlistPtr LibraryHeaderList() {
    SlistPtr headers;
    for (const char* line : kLibraryHeaderLines) {
        Append(headers, line);
    }
    Append(headers, "Expect:");
    return headers;
}

size_t AppendBody(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

benchmark::internal::Benchmark* WallClock(benchmark::internal::Benchmark* b, int smokeIterations,
                                          int fullIterations) {
    return Configure(b, smokeIterations, fullIterations)->UseRealTime();
}

void NewObjectRequests(benchmark::State& state, bool pooled, size_t expected,
                       bool (*pass)(std::string& response)) {
    const PoolSwitch pool(pooled);
    std::string response;
    if (!pass(response)) {
        state.SkipWithError("request failed");
        return;
    }
    for (auto _ : state) {
        if (!pass(response)) {
            state.SkipWithError("request failed");
            return;
        }
    }
    FinishRequests(state, expected, response.size());
}

void FinishRequests(benchmark::State& state, size_t expected, size_t lastLength,
                    size_t sentPerRequest) {
    if (state.iterations() > 0 && lastLength != expected) {
        state.SkipWithError("the response body has the wrong length");
        return;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sentPerRequest + expected));
}

}  // namespace vsbench
