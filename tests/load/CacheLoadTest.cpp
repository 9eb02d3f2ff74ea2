// 8 processes x 2000 cache operations, mixed with sweeps, on one directory.
#include <filesystem>

#include "CacheFixture.h"
#include "JXVMGuidCache.h"

namespace {

using CacheLoad = CacheFixture;

constexpr int kProcesses = 8;
constexpr int kOperations = 2000;
constexpr int kKeys = 24;

// One worker's share; returns its error count (a refused write or a torn read; a miss is not
// an error, since another process may have invalidated or not yet written the key).
int Work(int worker) {
    JXVMGuidCache cache;
    if (!cache.Init()) {
        return 100;
    }
    int errors = 0;
    unsigned seed = 7919u * static_cast<unsigned>(worker + 1);
    for (int i = 0; i < kOperations; ++i) {
        seed = seed * 1103515245u + 12345u;
        const std::string key = "vm" + std::to_string((seed >> 8) % kKeys);
        const unsigned op = (seed >> 20) % 20;
        if (op < 9) {
            const auto t = Triple(worker, i);
            errors += cache.CacheGuid(key, t[0], t[1], t[2]) ? 0 : 1;
        } else if (op < 17) {
            std::string first, second, third;
            if (cache.LookupGuidCache(key, first, second, third) &&
                !IsWrittenTriple(first, second, third, kProcesses, kOperations)) {
                ++errors;
            }
        } else if (op < 19) {
            errors += cache.InvalidateGuidFromCache(key) ? 0 : 1;
        } else {
            errors += cache.CleanupGuidCache() ? 0 : 1;
        }
    }
    return std::min(errors, 99);
}

}  // namespace

TEST_F(CacheLoad, EightProcessesMixedWithSweeps) {
    {
        JXVMGuidCache setup;
        ASSERT_TRUE(setup.Init());
    }
    // Expired entries for the sweeps to race over.
    for (int i = 0; i < 200; ++i) {
        const std::string path = m_strCacheDir + "/expired" + std::to_string(i);
        Plant(path, "old0x17old0x17old");
        Stamp(path, std::time(nullptr) - 2 * 864000);
    }
    std::vector<pid_t> children;
    for (int w = 0; w < kProcesses; ++w) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::_exit(Work(w));
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "errors in worker " << pid;
    }
    for (const std::string& name : Entries(m_strCacheDir)) {
        EXPECT_EQ(name.rfind("vm", 0), 0u) << "left behind: " << name;
    }
}
