// The cache directory failing under a cache in use, and entries planted to lead it astray:
// operations return false or miss, nothing crashes, nothing outside the directory is touched,
// and no record is read back torn.
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "CacheFixture.h"
#include "JXVMGuidCache.h"
#include "LogCapture.h"

namespace fs = std::filesystem;

namespace {

using GuidCacheFault = CacheFixture;

bool LooksUp(JXVMGuidCache& cache, const std::string& key, std::string& joined) {
    std::string first, second, third;
    if (!cache.LookupGuidCache(key, first, second, third)) {
        return false;
    }
    joined = first + "|" + second + "|" + third;
    return true;
}

}  // namespace

TEST_F(GuidCacheFault, DirectoryRemovedWhileInUse) {
    JXVMGuidCache cache;
    ASSERT_TRUE(cache.Init());
    ASSERT_TRUE(cache.CacheGuid("vm", "a", "b", "c"));
    fs::remove_all(m_strCacheDir);

    std::string joined;
    EXPECT_FALSE(cache.CacheGuid("vm2", "d", "e", "f"));
    EXPECT_FALSE(LooksUp(cache, "vm", joined));
    EXPECT_TRUE(cache.InvalidateGuidFromCache("vm"));
    EXPECT_FALSE(cache.CleanupGuidCache());
    EXPECT_FALSE(fs::exists(m_strCacheDir)) << "operations do not recreate the directory";

    // Another process's Init brings the directory back; this object then works again.
    JXVMGuidCache other;
    ASSERT_TRUE(other.Init());
    EXPECT_TRUE(cache.CacheGuid("vm2", "d", "e", "f"));
    ASSERT_TRUE(LooksUp(cache, "vm2", joined));
    EXPECT_EQ(joined, "d|e|f");
}

TEST_F(GuidCacheFault, UnwritableDirectoryRefusesAndKeepsRecords) {
    JXVMGuidCache cache;
    ASSERT_TRUE(cache.Init());
    ASSERT_TRUE(cache.CacheGuid("vm", "old", "record", "kept"));
    // A directory anyone may read and no one may write; root ignores permission bits, so the
    // child gives root up once its cache is set up.
    ::chmod(m_tmp.Path().c_str(), 0755);
    ::chmod(m_strCacheDir.c_str(), 0555);
    ::chmod((m_strCacheDir + "/vm").c_str(), 0644);
    const int code = InChild([] {
        JXVMGuidCache child;
        if (!child.Init()) {
            return 10;
        }
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            return 11;
        }
        std::string joined;
        const bool wrote = child.CacheGuid("vm", "new", "new", "new");
        const bool invalidated = child.InvalidateGuidFromCache("vm");  // the record stays
        const bool read = LooksUp(child, "vm", joined);
        return !wrote && !invalidated && read && joined == "old|record|kept" ? 0 : 12;
    });
    ::chmod(m_strCacheDir.c_str(), 0750);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(Entries(m_strCacheDir), std::vector<std::string>{"vm"});
    std::string joined;
    ASSERT_TRUE(LooksUp(cache, "vm", joined));
    EXPECT_EQ(joined, "old|record|kept");
    EXPECT_TRUE(cache.CacheGuid("vm", "next", "write", "works"));
}

// A directory this process may not read (root made it 0750; the agent's other processes are
// not root): lookups and writes fail, and each cause is told once, with the path and the
// system's reason, not once per key.
TEST_F(GuidCacheFault, UnreadableDirectoryIsToldOncePerCause) {
    JXVMGuidCache cache;
    ASSERT_TRUE(cache.Init());
    ASSERT_TRUE(cache.CacheGuid("vm-51", "a", "b", "c"));
    ::chmod(m_tmp.Path().c_str(), 0755);
    ::chmod(m_strCacheDir.c_str(), ::geteuid() == 0 ? 0750 : 0);
    const std::string why = std::string("]: ") + std::strerror(EACCES) + " (said once";
    const int code = InChild([&] {
        JXVMGuidCache child;
        if (!child.Init() || (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))) {
            return 10;
        }
        LogCapture log;
        std::string joined;
        for (const char* key : {"vm-51", "vm-51", "vm-52"}) {
            if (LooksUp(child, key, joined) || child.CacheGuid(key, "d", "e", "f")) {
                return 11;
            }
        }
        const auto read = Messages(
            log.From("bool JXVMGuidCache::_ReadWholeFile(const std::string&, std::string&)"));
        const auto wrote = Messages(log.From(
            "bool JXVMGuidCache::_WriteWholeFile(const std::string&, const std::string&)"));
        const bool told =
            read.size() == 1 && wrote.size() == 1 &&
            read[0].rfind("Cannot read the cache record [" + m_strCacheDir + "/vm-51" + why, 0) ==
                0 &&
            wrote[0].rfind("Cannot write the cache record [" + m_strCacheDir + "/vm-51" + why, 0) ==
                0;
        return told ? 0 : 12;
    });
    ::chmod(m_strCacheDir.c_str(), 0750);
    EXPECT_EQ(code, 0);
}

TEST_F(GuidCacheFault, SizeLimitNeverLeavesATornRecord) {
    JXVMGuidCache cache;
    ASSERT_TRUE(cache.Init());
    constexpr int kKeys = 8;
    constexpr int kRounds = 40;
    // Records grow past the file-size limit part way; every lookup in between must give a
    // triple that was written whole, or miss.
    const int code = InChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        JXVMGuidCache child;
        if (!child.Init()) {
            return 20;
        }
        int refused = 0;
        for (int round = 0; round < kRounds; ++round) {
            for (int k = 0; k < kKeys; ++k) {
                const auto t = Triple(k, round);
                const std::string key = "vm" + std::to_string(k);
                refused += child.CacheGuid(key, t[0], t[1], t[2]) ? 0 : 1;
                std::string first, second, third;
                if (child.LookupGuidCache(key, first, second, third) &&
                    !IsWrittenTriple(first, second, third, kKeys, kRounds)) {
                    return 21;
                }
            }
        }
        return refused > 0 ? 0 : 22;  // the limit must have bitten
    });
    EXPECT_EQ(code, 0);
    for (const std::string& name : Entries(m_strCacheDir)) {
        EXPECT_EQ(name.rfind("vm", 0), 0u) << "left behind: " << name;
        std::string first, second, third;
        ASSERT_TRUE(cache.LookupGuidCache(name, first, second, third));
        EXPECT_TRUE(IsWrittenTriple(first, second, third, kKeys, kRounds)) << name;
    }
    const auto big = Triple(0, 99);
    EXPECT_TRUE(cache.CacheGuid("vm0", big[0], big[1], big[2])) << "the next write works";
}

TEST_F(GuidCacheFault, PlantedLinksLeadNowhere) {
    JXVMGuidCache cache;
    ASSERT_TRUE(cache.Init());
    const std::string victim = m_strRoot + "/victim";
    Plant(victim, "secret0x17data0x17here");
    fs::create_directory(m_strRoot + "/victim-dir");
    Plant(m_strRoot + "/victim-dir/inside", "x");
    fs::create_symlink(victim, m_strCacheDir + "/to-file");
    fs::create_symlink(m_strRoot + "/victim-dir", m_strCacheDir + "/to-dir");
    const auto outside = [&] {
        return ReadFileText(victim) + "|" + ReadFileText(m_strRoot + "/victim-dir/inside");
    };
    const std::string before = outside();

    std::string joined;
    EXPECT_FALSE(LooksUp(cache, "to-file", joined)) << "a link is not read through";
    EXPECT_FALSE(LooksUp(cache, "to-dir", joined));
    EXPECT_TRUE(cache.CacheGuid("to-file", "a", "b", "c")) << "replaces the link itself";
    ASSERT_TRUE(LooksUp(cache, "to-file", joined));
    EXPECT_EQ(joined, "a|b|c");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(m_strCacheDir + "/to-file")));
    EXPECT_TRUE(cache.InvalidateGuidFromCache("to-dir"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(m_strCacheDir + "/to-dir")));
    // A sparse file claims a terabyte it does not hold: a miss, not an allocation.
    Plant(m_strCacheDir + "/huge", "");
    ASSERT_EQ(::truncate((m_strCacheDir + "/huge").c_str(), 1L << 40), 0);
    EXPECT_FALSE(LooksUp(cache, "huge", joined));

    // An expired link is swept as a link; its target stays.
    fs::create_symlink(victim, m_strCacheDir + "/old-link");
    Stamp(m_strCacheDir + "/old-link", std::time(nullptr) - 10 * 864000);
    EXPECT_TRUE(cache.CleanupGuidCache());
    EXPECT_FALSE(fs::exists(fs::symlink_status(m_strCacheDir + "/old-link")));
    EXPECT_EQ(outside(), before);
}

TEST_F(GuidCacheFault, ControlBytesInKeysStayInside) {
    JXVMGuidCache cache;
    ASSERT_TRUE(cache.Init());
    const auto rootBefore = Entries(m_strMachineDir);
    const std::string keys[] = {"\x01", "tab\there", "new\nline", "\x7f", " lead", "-rf", "*"};
    for (const std::string& key : keys) {
        SCOPED_TRACE(key);
        EXPECT_TRUE(cache.CacheGuid(key, key, "s", "t"));
        std::string joined;
        ASSERT_TRUE(LooksUp(cache, key, joined));
        EXPECT_EQ(joined, key + "|s|t");
    }
    EXPECT_EQ(Entries(m_strCacheDir).size(), std::size(keys));
    EXPECT_EQ(Entries(m_strMachineDir), rootBefore);
    for (const std::string& key : keys) {
        EXPECT_TRUE(cache.InvalidateGuidFromCache(key));
    }
    EXPECT_TRUE(Entries(m_strCacheDir).empty());
}
