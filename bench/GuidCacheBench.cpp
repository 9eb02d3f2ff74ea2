// The VM GUID cache against raw POSIX code doing the same file work:
//  - cache_10k: CacheGuid of 10,000 distinct keys, then LookupGuidCache of each; raw: the same
//    record bytes written to a temporary file that is renamed over the key's file, then read
//    back and split.
//  - cleanup_10k, cleanup_100k: CleanupGuidCache of a directory holding that many records, half
//    of them older than the expiry; raw: an opendir/readdir/lstat loop, unlink after closedir.
//    Only the sweep is timed; the expired half is planted again before every pass.
//  - memory_cache_ops: resident memory after 1,000 and after 100,000 cache operations.
//
// Every run has its own job-results root and agent configuration in a scratch directory.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "BenchMain.h"
#include "JXVMGuidCache.h"

namespace {

constexpr const char* kSeparator = "0x17";
constexpr uint64_t kExpiry = 864000;  // the default: the configuration leaves it unset
constexpr time_t kOld = 20 * 24 * 3600;

std::string g_strMachineDir;  // the job-results directory of the benchmark's machine

struct Record {
    std::string key, first, second, third;
};

std::string Key(size_t i) {
    char key[48];
    std::snprintf(key, sizeof key, "7c29%04zx-1f3a-4b6c-9d2e-%012zx", i % 0x10000, i);
    return key;
}

std::vector<Record> Records(size_t count) {
    std::vector<Record> records;
    records.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        records.push_back({Key(i), "host" + std::to_string(i % 16) + ".lab.local",
                           "datastore-" + std::to_string(i % 40),
                           "/datastore-" + std::to_string(i % 40) + "/vm-" + std::to_string(i) +
                               "/vm-" + std::to_string(i) + ".conf"});
    }
    return records;
}

// A cache on its own directory under the machine's job-results directory.
std::unique_ptr<JXVMGuidCache> OpenCache(benchmark::State& state, const std::string& dirName) {
    auto cache = std::make_unique<JXVMGuidCache>(dirName);
    if (!cache->Init()) {
        state.SkipWithError("cache Init failed");
        return nullptr;
    }
    return cache;
}

// ---- raw POSIX store ----

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t put = ::write(fd, data.data() + done, data.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

bool RawWrite(const std::string& dir, const std::string& key, const std::string& data) {
    static std::atomic<unsigned> counter{0};
    const std::string temp =
        dir + "/.tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (fd < 0) {
        return false;
    }
    const bool written = WriteAll(fd, data);
    if (::close(fd) != 0 || !written || ::rename(temp.c_str(), (dir + "/" + key).c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

bool RawRead(const std::string& dir, const std::string& key, std::string& data) {
    const int fd = ::open((dir + "/" + key).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    data.clear();
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0) {
            data.append(buffer, static_cast<size_t>(got));
        }
    }
    ::close(fd);
    return got == 0;
}

bool RawDecode(const std::string& record, std::string& first, std::string& second,
               std::string& third) {
    const size_t a = record.find(kSeparator);
    const size_t b = a == std::string::npos ? a : record.find(kSeparator, a + 4);
    if (b == std::string::npos) {
        return false;
    }
    first.assign(record, 0, a);
    second.assign(record, a + 4, b - a - 4);
    third.assign(record, b + 4, std::string::npos);
    return true;
}

// ---- cache then lookup ----

void Finish(benchmark::State& state, size_t count, const std::string& third, const Record& last) {
    if (state.iterations() > 0 && third != last.third) {
        state.SkipWithError("a record did not read back");
        return;
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(2 * count));
}

// One pass: every record cached, then every record looked up. Null when all went well.
[[gnu::noinline]] const char* CacheLibPass(JXVMGuidCache& cache, const std::vector<Record>& records,
                                           std::string& first, std::string& second,
                                           std::string& third) {
    for (const Record& r : records) {
        if (!cache.CacheGuid(r.key, r.first, r.second, r.third)) {
            return "CacheGuid failed";
        }
    }
    for (const Record& r : records) {
        if (!cache.LookupGuidCache(r.key, first, second, third)) {
            return "LookupGuidCache failed";
        }
    }
    return nullptr;
}

void CacheLib(benchmark::State& state) {
    const std::vector<Record> records = Records(vsbench::Size(10000, 50));
    std::unique_ptr<JXVMGuidCache> cache = OpenCache(state, "_VM_GUID_CACHE_");
    if (!cache) {
        return;
    }
    std::string first, second, third;
    // Untimed: the first pass creates the files, every later one replaces them.
    if (const char* error = CacheLibPass(*cache, records, first, second, third)) {
        state.SkipWithError(error);
        return;
    }
    for (auto _ : state) {
        if (const char* error = CacheLibPass(*cache, records, first, second, third)) {
            state.SkipWithError(error);
            return;
        }
    }
    Finish(state, records.size(), third, records.back());
}

[[gnu::noinline]] const char* CacheRawPass(const std::string& dir,
                                           const std::vector<Record>& records, std::string& first,
                                           std::string& second, std::string& third) {
    std::string data;
    for (const Record& r : records) {
        if (!RawWrite(dir, r.key, r.first + kSeparator + r.second + kSeparator + r.third)) {
            return "write failed";
        }
    }
    for (const Record& r : records) {
        if (!RawRead(dir, r.key, data) || !RawDecode(data, first, second, third)) {
            return "read failed";
        }
    }
    return nullptr;
}

void CacheRaw(benchmark::State& state) {
    const std::vector<Record> records = Records(vsbench::Size(10000, 50));
    const std::string dir = g_strMachineDir + "/raw_cache";
    ::mkdir(dir.c_str(), 0750);
    std::string first, second, third;
    if (const char* error = CacheRawPass(dir, records, first, second, third)) {
        state.SkipWithError(error);
        return;
    }
    for (auto _ : state) {
        if (const char* error = CacheRawPass(dir, records, first, second, third)) {
            state.SkipWithError(error);
            return;
        }
    }
    Finish(state, records.size(), third, records.back());
}

// ---- cleanup ----

bool Plant(const std::string& path, time_t stamp) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (fd < 0) {
        return false;
    }
    static const std::string record = std::string("host1.lab.local") + kSeparator + "datastore-1" +
                                      kSeparator + "/datastore-1/vm/vm.conf";
    const timespec times[2] = {{stamp, 0}, {stamp, 0}};
    const bool ok = WriteAll(fd, record) && ::futimens(fd, times) == 0;
    return ::close(fd) == 0 && ok;
}

// Even keys are fresh and planted once; odd keys are expired and planted before every pass.
bool Prepare(const std::string& dir, size_t count, bool fresh) {
    ::mkdir(dir.c_str(), 0750);
    const time_t now = std::time(nullptr);
    for (size_t i = fresh ? 0 : 1; i < count; i += 2) {
        const std::string path = dir + "/" + Key(i);
        struct stat info;
        if (fresh && ::lstat(path.c_str(), &info) == 0) {
            continue;
        }
        if (!Plant(path, fresh ? now : now - kOld)) {
            return false;
        }
    }
    return true;
}

template <typename Sweep>
void Cleanup(benchmark::State& state, const std::string& dir, size_t count, Sweep sweep) {
    // Untimed: one full pass first, so that every timed pass meets a directory that has been
    // through deletions and re-creations, not a freshly built one.
    if (!Prepare(dir, count, true) || !Prepare(dir, count, false) || !sweep()) {
        state.SkipWithError("cannot plant records");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        const bool planted = Prepare(dir, count, false);
        state.ResumeTiming();
        if (!planted || !sweep()) {
            state.SkipWithError(planted ? "sweep failed" : "cannot plant records");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count));
    state.counters["entries"] = static_cast<double>(count);
}

void CleanupLib(benchmark::State& state, size_t count) {
    const std::string dirName = "_VM_GUID_CACHE_" + std::to_string(count);
    std::unique_ptr<JXVMGuidCache> cache = OpenCache(state, dirName);
    if (cache) {
        Cleanup(state, g_strMachineDir + "/" + dirName, count,
                [&cache] { return cache->CleanupGuidCache(); });
    }
}

[[gnu::noinline]] bool RawSweep(const std::string& dir) {
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) {
        return false;
    }
    const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
    std::vector<std::string> expired;
    while (const dirent* entry = ::readdir(listing)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
            continue;
        }
        std::string path = dir + "/" + name;
        struct stat info;
        if (::lstat(path.c_str(), &info) == 0 &&
            now - static_cast<uint64_t>(info.st_mtime) > kExpiry) {
            expired.push_back(std::move(path));
        }
    }
    ::closedir(listing);
    for (const std::string& path : expired) {
        ::unlink(path.c_str());
    }
    return true;
}

void CleanupRaw(benchmark::State& state, size_t count) {
    const std::string dir = g_strMachineDir + "/raw_cleanup_" + std::to_string(count);
    Cleanup(state, dir, count, [&dir] { return RawSweep(dir); });
}

// ---- resident memory over many cache operations ----

void Memory(benchmark::State& state) {
    const std::vector<Record> records = Records(1000);
    const size_t first = vsbench::Size(1000, 20);
    const size_t total = vsbench::Size(100000, 100);
    std::unique_ptr<JXVMGuidCache> cache = OpenCache(state, "_VM_GUID_CACHE_memory");
    if (!cache) {
        return;
    }
    std::string a, b, c;
    // Alternately one record written and one read, over 1,000 keys.
    vsbench::MeasureResidentGrowth(state, first, total, "operations", [&](size_t i) {
        const Record& r = records[(i / 2) % records.size()];
        return i % 2 == 0 ? cache->CacheGuid(r.key, r.first, r.second, r.third)
                          : cache->LookupGuidCache(r.key, a, b, c);
    });
}

void RegisterAll() {
    using vsbench::Configure;
    // A pass takes about half a second: several per repetition.
    Configure(benchmark::RegisterBenchmark("cache_10k/lib", CacheLib), 1, 0, 2.0)
        ->Unit(benchmark::kMillisecond);
    Configure(benchmark::RegisterBenchmark("cache_10k/raw", CacheRaw), 1, 0, 2.0)
        ->Unit(benchmark::kMillisecond);
    const size_t small = vsbench::Size(10000, 40);
    const size_t large = vsbench::Size(100000, 400);
    for (const size_t count : {small, large}) {
        const std::string name = count == small ? "cleanup_10k" : "cleanup_100k";
        // A pass plants up to 50,000 files first; a few passes are enough at this size.
        const int passes = count == small ? 20 : 4;
        Configure(benchmark::RegisterBenchmark((name + "/lib").c_str(), CleanupLib, count), 1,
                  passes)
            ->Unit(benchmark::kMillisecond);
        Configure(benchmark::RegisterBenchmark((name + "/raw").c_str(), CleanupRaw, count), 1,
                  passes)
            ->Unit(benchmark::kMillisecond);
    }
    Configure(benchmark::RegisterBenchmark("memory_cache_ops/lib", Memory), 1, 1)
        ->Repetitions(1)  // one long pass; repeating it measures nothing new
        ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
    vsbench::ParseSmoke(argc, argv);
    vsbench::ScratchDir scratch("guidcache");
    const std::string root = scratch.File("jobresults");
    g_strMachineDir = root + "/benchhost";
    ::mkdir(root.c_str(), 0750);
    ::mkdir(g_strMachineDir.c_str(), 0750);
    const std::string config = scratch.File("agent.ini");
    std::ofstream(config) << "[Platform]\nPhysicalMachine=benchhost\nJobResultsRoot=" << root
                          << "\n[VirtualServer]\n";
    ::setenv("VSAGENT_CONFIG", config.c_str(), 1);
    RegisterAll();
    return vsbench::Run(argc, argv);
}
