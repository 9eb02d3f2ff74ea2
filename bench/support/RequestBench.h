// What the request benchmarks share: the header lines every client sends, libcurl handles
// owned by unique_ptr, the body collector, the wall-clock setting, the loop of the new-object
// workloads with the transport's connection pool on or off, and the final check.
//
// Every client sends the library's header lines (Content-Type, Accept-Language, User-Agent);
// the libcurl clients also drop "Expect:", as the library's transport does.
#pragma once

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <string>

namespace vsbench {

extern const char* const kLibraryHeaderLines[3];

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

// kLibraryHeaderLines and "Expect:", for CURLOPT_HTTPHEADER.
SlistPtr LibraryHeaderList();

// CURLOPT_WRITEFUNCTION appending to the std::string in CURLOPT_WRITEDATA.
size_t AppendBody(char* data, size_t size, size_t count, void* target);

// Configure, timed by the wall clock: the requests wait on the server process.
benchmark::internal::Benchmark* WallClock(benchmark::internal::Benchmark* b,
                                          int smokeIterations = 1, int fullIterations = 0);

// The new-object workloads (https_new_object, http_new_object): pass makes a connection object,
// connects it and makes one request into response. One untimed pass comes first: with the
// pool on (pooled), it leaves a connected handle parked, so that the run measures a process
// that has talked to the host before rather than its first handshake. The pool is on for
// this run only, and DisableConnectionPool closes what it kept, so that every other row
// measures objects that close their connections as before.
void NewObjectRequests(benchmark::State& state, bool pooled, size_t expected,
                       bool (*pass)(std::string& response));

// Ends a request benchmark: an error when the last response body does not have the expected
// length, else items (requests) and bytes (sent and received) per second.
void FinishRequests(benchmark::State& state, size_t expected, size_t lastLength,
                    size_t sentPerRequest = 0);

}  // namespace vsbench
