#include <sys/stat.h>

#include <filesystem>
#include <optional>

#include <gmock/gmock.h>

#include "CacheFixture.h"
#include "JXVMGuidCache.h"
#include "LogCapture.h"

namespace fs = std::filesystem;

namespace {

constexpr time_t kDay = 86400;

class GuidCache : public CacheFixture {
protected:
    // Plants entries aged relative to one reading of the clock (negative ages lie in the
    // future), sweeps, and returns what is left. A trial during which the clock turned a second
    // is repeated, so the ages the sweep sees are exactly the planted ones.
    std::vector<std::string> SweepAged(JXVMGuidCache& cache, const std::string& directory,
                                       const std::vector<std::pair<std::string, time_t>>& aged) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            fs::remove_all(directory);
            fs::create_directories(directory);
            const time_t now = std::time(nullptr);
            for (const auto& [name, age] : aged) {
                const std::string path = directory + "/" + name;
                if (name.rfind("dir", 0) == 0) {
                    fs::create_directory(path);
                } else {
                    Plant(path, "r0x17e0x17c");
                }
                Stamp(path, now - age);
            }
            EXPECT_TRUE(cache.CleanupGuidCache());
            if (std::time(nullptr) == now) {
                return Entries(directory);
            }
        }
        ADD_FAILURE() << "the clock turned during every trial";
        return {};
    }
};

struct InitCase {
    const char* label;
    std::optional<std::string> dirName;  // none: the default constructor
    const char* settings;
    const char* machine;
    bool initOk;
    time_t expiry;  // probed by a sweep when initOk and non-zero
    std::vector<std::string> machineEntries;
    const char* why = nullptr;  // what a false Init's one Error record says
};

TEST_F(GuidCache, InitFindsCreatesOrRemovesTheDirectory) {
    const std::vector<std::string> withDefault = {"_VM_GUID_CACHE_", "old-job"};
    const InitCase cases[] = {
        {"default", std::nullopt, "", "host01", true, 864000, withDefault},
        {"custom name",
         std::string("Custom"),
         "",
         "host01",
         true,
         864000,
         {"Custom", "_VM_GUID_CACHE_", "old-job"}},
        {"setting 600", std::nullopt, "nVMGuidCacheTime=600", "host01", true, 600, withDefault},
        {"not a number", std::nullopt, "nVMGuidCacheTime=ten", "host01", true, 864000, withDefault},
        {"setting 0", std::nullopt, "nVMGuidCacheTime=0", "host01", true, 0, {"old-job"}},
        {"empty machine", std::nullopt, "", "", false, 0, withDefault, "PhysicalMachine"},
        {"no job results", std::nullopt, "", "host02", false, 0, withDefault,
         "No job-results directory for machine [host02]"},
        {"empty dir name", std::string(""), "", "host01", false, 0, withDefault, "name []"},
        {"dot dir name", std::string("."), "", "host01", false, 0, withDefault, "name [.]"},
        {"parent dir name", std::string(".."), "", "host01", false, 0, withDefault, "name [..]"},
        {"nested dir name", std::string("a/b"), "", "host01", false, 0, withDefault, "[a/b]"},
    };
    for (const InitCase& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(m_strMachineDir);
        fs::create_directories(m_strCacheDir);
        Plant(m_strCacheDir + "/kept", "k");
        Stamp(m_strCacheDir + "/kept", std::time(nullptr) - 20 * kDay);
        Plant(m_strMachineDir + "/old-job", "j");
        Stamp(m_strMachineDir + "/old-job", std::time(nullptr) - 20 * kDay);
        WriteConfig(c.settings, c.machine);
        const auto before = Snapshot();
        {
            std::optional<JXVMGuidCache> cache;
            c.dirName ? cache.emplace(*c.dirName) : cache.emplace();
            LogCapture log;
            ASSERT_EQ(cache->Init(), c.initOk);
            // A false Init says why, in a record of its own whatever the platform's lookups
            // write besides (where the platform looked is its own record's business).
            const auto own = log.From("bool JXVMGuidCache::Init()");
            if (!c.initOk) {
                ASSERT_EQ(own.size(), 1u);
                EXPECT_EQ(own[0].kind, TqDebugRecord::Error);
                EXPECT_THAT(own[0].message, ::testing::HasSubstr(c.why));
            }
            EXPECT_EQ(Entries(m_strMachineDir), c.machineEntries);
            if (!c.initOk) {
                EXPECT_EQ(Snapshot(), before) << "a failed Init touches nothing";
            } else if (c.expiry == 0) {
                EXPECT_FALSE(cache->CleanupGuidCache()) << "the directory is gone";
            } else {
                EXPECT_EQ(Entries(m_strCacheDir), std::vector<std::string>{"kept"});
                const std::string dir =
                    m_strMachineDir + "/" + c.dirName.value_or("_VM_GUID_CACHE_");
                EXPECT_EQ(
                    SweepAged(*cache, dir, {{"young", c.expiry - 30}, {"old", c.expiry + 30}}),
                    std::vector<std::string>{"young"});
            }
        }
        EXPECT_TRUE(fs::exists(m_strMachineDir + "/old-job")) << "the sweep stays in its directory";
        if (!c.initOk) {
            EXPECT_EQ(Snapshot(), before) << "destroying it deletes nothing";
        }
    }
}

TEST_F(GuidCache, RecordFormatIsByteExact) {
    JXVMGuidCache cache;
    ASSERT_TRUE(cache.Init());
    struct {
        const char *first, *second, *third, *file;
    } const written[] = {
        {"abc", "", "x", "abc0x170x17x"},
        {"", "", "", "0x170x17"},
        {"a", "b", "c0x17d", "a0x17b0x17c0x17d"},
    };
    for (const auto& w : written) {
        ASSERT_TRUE(cache.CacheGuid("rec", w.first, w.second, w.third));
        EXPECT_EQ(cache.EncodeString(w.first, w.second, w.third), w.file);
        EXPECT_EQ(ReadFileText(m_strCacheDir + "/rec"), w.file);
        std::string first = "?", second = "?", third = "?";
        ASSERT_TRUE(cache.LookupGuidCache("rec", first, second, third));
        EXPECT_EQ(first + "|" + second + "|" + third,
                  std::string(w.first) + "|" + w.second + "|" + w.third);
    }
    EXPECT_EQ(ReadFileText(m_strCacheDir + "/rec").size(), 16u) << "no terminator or line end";

    const std::string raw("a\0b0x17", 7);  // the store gives back what it was given
    std::string back;
    ASSERT_TRUE(cache.WriteGuidData("raw", raw));
    ASSERT_TRUE(cache.ReadGuidData("raw", back));
    EXPECT_EQ(back, raw);
}

TEST_F(GuidCache, DecodeSetsOnlyWhatItsSeparatorsButOnlyAWholeRecordIsAHit) {
    JXVMGuidCache cache;
    ASSERT_TRUE(cache.Init());
    struct {
        std::string file;
        const char* decoded;  // first|second|third that DecodeString gives from F|S|T
        bool hit;             // whole records only; a miss leaves F|S|T
    } const cases[] = {
        {"no separator", "F|S|T", false},
        {"", "F|S|T", false},
        {"a0x17b", "a|S|T", false},
        {"a0X17b0x17c", "a0X17b|S|T", false},  // the separator's x is lower case
        {"a0x17b0x17c0x17d", "a|b|c0x17d", true},
        {"a0x17b0x170x17", "a|b|0x17", true},
        {"0x170x17", "||", true},
        {std::string("a0x17b0x17c\0", 12), nullptr, false},
        {std::string(16, '\0'), nullptr, false},  // zeros left by a crash
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        std::string first = "F", second = "S", third = "T";
        if (c.decoded != nullptr) {
            cache.DecodeString(c.file, first, second, third);
            EXPECT_EQ(first + "|" + second + "|" + third, c.decoded);
        }
        const std::string path = m_strCacheDir + "/planted";
        Plant(path, c.file);
        first = "F", second = "S", third = "T";
        EXPECT_EQ(cache.LookupGuidCache("planted", first, second, third), c.hit);
        EXPECT_EQ(first + "|" + second + "|" + third, c.hit ? c.decoded : "F|S|T");
        // A damaged file counts as expired, so the next sweep takes it; a record stays.
        EXPECT_TRUE(cache.CleanupGuidCache());
        EXPECT_EQ(fs::exists(path), c.hit);
    }
}

TEST_F(GuidCache, OperationsWithCachingOn) {
    JXVMGuidCache cache;
    ASSERT_TRUE(cache.Init());
    ASSERT_TRUE(cache.Init());  // the path is rebuilt, not appended to twice
    std::string first = "F", second = "S", third = "T";
    EXPECT_FALSE(cache.LookupGuidCache("vm", first, second, third));
    EXPECT_EQ(first + second + third, "FST") << "a miss leaves the outputs alone";

    ASSERT_TRUE(cache.CacheGuid("vm", std::string(100, 'a'), "b", "c"));
    ASSERT_TRUE(cache.CacheGuid("vm", "x", "y", "z"));
    EXPECT_EQ(fs::file_size(m_strCacheDir + "/vm"), 11u) << "replaced, not overwritten in place";
    ASSERT_TRUE(cache.LookupGuidCache("vm", first, second, third));
    EXPECT_EQ(first + second + third, "xyz");
    Stamp(m_strCacheDir + "/vm", std::time(nullptr) - 30 * kDay);  // expired, not yet swept
    first = "F";
    EXPECT_FALSE(cache.LookupGuidCache("vm", first, second, third)) << "no stale answer";
    EXPECT_EQ(first + second + third, "Fyz");

    EXPECT_TRUE(cache.InvalidateGuidFromCache("vm"));
    EXPECT_FALSE(fs::exists(m_strCacheDir + "/vm"));
    EXPECT_FALSE(cache.LookupGuidCache("vm", first, second, third));
    EXPECT_TRUE(cache.InvalidateGuidFromCache("vm")) << "true with no record too";
    EXPECT_EQ(Entries(m_strCacheDir), std::vector<std::string>{});
}

TEST_F(GuidCache, OperationsWithCachingOff) {
    WriteConfig("nVMGuidCacheTime=0");
    JXVMGuidCache off;
    ASSERT_TRUE(off.Init());
    EXPECT_TRUE(off.CacheGuid("vm", "a", "b", "c"));
    EXPECT_FALSE(fs::exists(m_strCacheDir)) << "nothing written";

    fs::create_directories(m_strCacheDir);
    Plant(m_strCacheDir + "/vm", "a0x17b0x17c");
    std::string first = "F", second = "S", third = "T";
    EXPECT_FALSE(off.LookupGuidCache("vm", first, second, third));
    EXPECT_EQ(first + second + third, "FST");
    EXPECT_FALSE(off.InvalidateGuidFromCache("vm"));
    EXPECT_TRUE(fs::exists(m_strCacheDir + "/vm"));

    JXVMGuidCache never;  // no Init: off as well, and no directory to work on
    EXPECT_TRUE(never.CacheGuid("vm", "d", "e", "f"));
    EXPECT_FALSE(never.LookupGuidCache("vm", first, second, third));
    EXPECT_FALSE(never.InvalidateGuidFromCache("vm"));
    EXPECT_FALSE(never.WriteGuidData("vm", "x")) << "no directory yet: not the working directory";
    EXPECT_EQ(ReadFileText(m_strCacheDir + "/vm"), "a0x17b0x17c");
}

TEST_F(GuidCache, SweepDeletesWhatIsOlderThanTheExpiry) {
    JXVMGuidCache cache;
    ASSERT_TRUE(cache.Init());
    const std::vector<std::pair<std::string, time_t>> aged = {
        {"exact", 864000},   {"older", 864001},   {"fresh", 0},
        {".dotted", 864001}, {"dir-old", 864001}, {"far-future", -3600},
        {"ahead-1", -1},     {"ahead-59", -59},   {"ahead-61", -61},
    };
    // A subdirectory is age-tested like a file but the file deletion refuses it.
    EXPECT_EQ(SweepAged(cache, m_strCacheDir, aged),
              (std::vector<std::string>{"ahead-1", "ahead-59", "dir-old", "exact", "fresh"}));

    fs::remove_all(m_strCacheDir);
    EXPECT_FALSE(cache.CleanupGuidCache());
}

TEST_F(GuidCache, DestructorSweepsEvenWithCachingOff) {
    WriteConfig("nVMGuidCacheTime=0");
    {
        JXVMGuidCache off;
        ASSERT_TRUE(off.Init());
        fs::create_directories(m_strCacheDir);
        Plant(m_strCacheDir + "/aged", "a");
        Stamp(m_strCacheDir + "/aged", std::time(nullptr) - 5);
        Plant(m_strCacheDir + "/just-written", "j");
        Stamp(m_strCacheDir + "/just-written", std::time(nullptr) + 30);  // counts as age 0
    }
    EXPECT_EQ(Entries(m_strCacheDir), std::vector<std::string>{"just-written"});
}

}  // namespace
