// 16 threads x 5000 requests (VSSUPPORT_LOAD_PER_THREAD changes the count, for slow sanitizer
// builds), once on one shared connection and once on a connection per thread.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "TestServer.h"
#include "VSRestApiConnection.h"

namespace {

constexpr int kThreads = 16;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

int PerThread() {
    const char* text = std::getenv("VSSUPPORT_LOAD_PER_THREAD");
    return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : 5000;
}

size_t OpenDescriptors() {
    size_t n = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) {
            ++n;
        }
        ::closedir(dir);
    }
    return n;
}

long ResidentKiB() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

class Client : public CVSRestApiConnection {
public:
    explicit Client(int port) {
        m_strContentType = "application/json";
        m_nPort = static_cast<unsigned>(port);
    }
};

// Runs `perThread` requests on each of 16 threads; returns the failures.
int Hammer(int port, bool shared, int perThread) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < (shared ? 1 : kThreads); ++i) {
        clients.push_back(std::make_unique<Client>(port));
        if (!clients.back()->connect("127.0.0.1", false, "")) {
            return -1;
        }
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Client& client = *clients[shared ? 0 : t];
            std::string response;
            for (int i = 0; i < perThread; ++i) {
                const bool ok = i % 4 == 0 ? client.post("items", "{\"n\":1}", response, nullptr)
                                           : client.get("items", response, nullptr);
                if (!ok || response.size() != 1024) {
                    ++failures;
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    return failures.load();
}

// The server closes its side of a finished connection on its own thread; the count is taken
// once it has stopped changing.
size_t SettledDescriptors() {
    size_t now = OpenDescriptors();
    for (int stable = 0, i = 0; stable < 10 && i < 250; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const size_t next = OpenDescriptors();
        stable = next == now ? stable + 1 : 0;
        now = next;
    }
    return now;
}

void RunLoad(bool shared) {
    TestServer server;
    server.SetRecording(false);
    server.SetResponder([](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(1024, 'r'), "application/json");
    });
    // Warm up the same way first: thread stacks, allocator arenas, TLS and libcurl state.
    ASSERT_EQ(Hammer(server.Port(), shared, 50), 0);
    const size_t fdsBefore = SettledDescriptors();
    const long rssBefore = ResidentKiB();
    const size_t portsBefore = server.ClientPorts().size();
    const size_t requestsBefore = server.RequestCount();

    EXPECT_EQ(Hammer(server.Port(), shared, PerThread()), 0);

    EXPECT_EQ(server.RequestCount() - requestsBefore, size_t{kThreads} * PerThread());
    EXPECT_EQ(server.ClientPorts().size() - portsBefore, shared ? 1u : size_t{kThreads})
        << "one TCP connection per client connection";
    const size_t fdsAfter = SettledDescriptors();
    const long growth = ResidentKiB() - rssBefore;
    EXPECT_EQ(fdsAfter, fdsBefore);
    if (!kSanitized) {  // sanitizer shadow memory and quarantine grow by design
        EXPECT_LT(growth, 2048) << "resident memory grew by more than 2 MiB";
    }
    std::printf(
        "[ figures  ] %d requests, %zu client connection(s), descriptors %zu -> %zu, "
        "resident memory %+ld KiB\n",
        kThreads * PerThread(), server.ClientPorts().size() - portsBefore, fdsBefore, fdsAfter,
        growth);
}

}  // namespace

TEST(RestLoad, SixteenThreadsOnOneSharedConnection) {
    RunLoad(true);
}

TEST(RestLoad, SixteenThreadsWithAConnectionEach) {
    RunLoad(false);
}
