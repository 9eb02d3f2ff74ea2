#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "CacheFixture.h"
#include "JXVMGuidCache.h"

namespace fs = std::filesystem;

namespace {

using GuidCacheSafety = CacheFixture;

TEST_F(GuidCacheSafety, UnsafeKeysTouchNothing) {
    JXVMGuidCache cache;
    ASSERT_TRUE(cache.Init());
    ASSERT_TRUE(cache.CacheGuid("victim", "v", "v", "v"));
    Plant(m_strMachineDir + "/outside", "o");
    Plant(m_strRoot + "/outside", "o");
    const auto before = Snapshot();
    const std::string keys[] = {
        "",
        ".",
        "..",
        "../outside",
        "../../outside",
        "a/b",
        "/tmp",
        "victim/",
        std::string("victim\0x", 8),
        std::string(256, 'k'),
    };
    for (const std::string& key : keys) {
        SCOPED_TRACE(key);
        EXPECT_FALSE(cache.CacheGuid(key, "a", "b", "c"));
        std::string first = "F", second = "S", third = "T";
        EXPECT_FALSE(cache.LookupGuidCache(key, first, second, third));
        EXPECT_EQ(first + second + third, "FST");
        EXPECT_FALSE(cache.InvalidateGuidFromCache(key));
        EXPECT_FALSE(cache.WriteGuidData(key, "x"));
    }
    EXPECT_EQ(Snapshot(), before);
    EXPECT_TRUE(cache.CacheGuid(std::string(255, 'k'), "a", "b", "c")) << "the longest name";
}

TEST_F(GuidCacheSafety, FieldsThatCannotComeBackAreRefused) {
    JXVMGuidCache cache;
    ASSERT_TRUE(cache.Init());
    const std::string nul("a\0b", 3);
    const std::string tooLong(65536 - 9, 'c');  // with a, b and both separators, 64 KiB + 1
    const std::vector<std::string> refused[] = {{"a0x17", "b", "c"}, {"a", "0x17", "c"},
                                                {nul, "b", "c"},     {"a", nul, "c"},
                                                {"a", "b", nul},     {"a", "b", tooLong}};
    for (const auto& fields : refused) {
        EXPECT_FALSE(cache.CacheGuid("vm", fields[0], fields[1], fields[2]));
    }
    EXPECT_EQ(Entries(m_strCacheDir), std::vector<std::string>{});
    EXPECT_TRUE(cache.CacheGuid("vm", "a0X17", "b0x1", "0x17c0x17")) << "these do come back";
    std::string first, second, third;
    ASSERT_TRUE(cache.LookupGuidCache("vm", first, second, third));
    EXPECT_EQ(first + "|" + second + "|" + third, "a0X17|b0x1|0x17c0x17");
    ASSERT_TRUE(cache.CacheGuid("vm", "a", "b", std::string(65536 - 10, 'c'))) << "the longest";
    ASSERT_TRUE(cache.LookupGuidCache("vm", first, second, third));
    EXPECT_EQ(third.size(), 65536u - 10);
}

TEST_F(GuidCacheSafety, FailedWriteKeepsThePreviousRecord) {
    JXVMGuidCache cache;
    ASSERT_TRUE(cache.Init());
    ASSERT_TRUE(cache.CacheGuid("vm", "old", "record", "kept"));
    // A write cut short by the file-size limit: GuidCacheFault.SizeLimitNeverLeavesATornRecord.
    fs::create_directory(m_strCacheDir + "/taken");  // the rename over it fails
    EXPECT_FALSE(cache.CacheGuid("taken", "a", "b", "c"));
    EXPECT_EQ(Entries(m_strCacheDir), (std::vector<std::string>{"taken", "vm"}))
        << "no temporary left";
    EXPECT_EQ(ReadFileText(m_strCacheDir + "/vm"), "old0x17record0x17kept");
}

TEST_F(GuidCacheSafety, ConcurrentProcessesSeeOnlyWholeRecords) {
    constexpr int kWriters = 4;
    constexpr int kIterations = 600;
    constexpr auto kTimeBudget = std::chrono::seconds(3);
    const std::string keys[] = {"k0", "k1", "k2"};
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(pipeFds[0]);
            int hits = 0, faults = 0;
            {
                JXVMGuidCache cache;
                faults += !cache.Init();
                const auto start = std::chrono::steady_clock::now();
                for (int i = 0; i < kIterations && !faults &&
                                std::chrono::steady_clock::now() - start < kTimeBudget;
                     ++i) {
                    const std::string& key = keys[(i * 7 + w) % 3];
                    const auto triple = Triple(w, i);
                    std::string first = "?", second = "?", third = "?";
                    switch (i % 6) {
                        case 0:
                        case 1:
                        case 2:
                            faults += !cache.CacheGuid(key, triple[0], triple[1], triple[2]);
                            break;
                        case 3:
                        case 4:
                            if (cache.LookupGuidCache(key, first, second, third)) {
                                ++hits;
                                faults +=
                                    !IsWrittenTriple(first, second, third, kWriters, kIterations);
                            }
                            break;
                        default:
                            w == 0 ? faults += !cache.InvalidateGuidFromCache(key)
                                   : faults += !cache.CleanupGuidCache();
                    }
                }
            }
            const int report[2] = {hits, faults};
            const bool sent = ::write(pipeFds[1], report, sizeof(report)) == sizeof(report);
            ::_exit(sent ? 0 : 1);
        }
        ASSERT_GT(pid, 0);
        children.push_back(pid);
    }
    ::close(pipeFds[1]);
    int hits = 0, faults = 0;
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        int report[2] = {0, 0};
        ASSERT_EQ(::read(pipeFds[0], report, sizeof(report)), ssize_t(sizeof(report)));
        hits += report[0];
        faults += report[1];
    }
    ::close(pipeFds[0]);
    EXPECT_EQ(faults, 0) << "a failed operation or a hit that no writer wrote";
    EXPECT_GT(hits, 0);
    for (const std::string& name : Entries(m_strCacheDir)) {
        EXPECT_EQ(name.rfind(".vsgc-tmp.", 0), std::string::npos) << "temporary left: " << name;
    }
}

}  // namespace
