#include "CacheView.h"

#include <algorithm>
#include <ctime>
#include <memory>

#include "CLoDirectory.h"
#include "CLoFile.h"
#include "CLoPath.h"
#include "JXPI_CommClient.h"
#include "JXPlatformInfo.h"
#include "JXVMGuidCache.h"

namespace {

constexpr unsigned long kDefaultExpiry = 864000;
// The cache treats a file stamped this little ahead of the clock as just written.
constexpr int64_t kFutureTolerance = 60;

void Describe(const CacheLocation& location, const std::string& path, CacheEntry& entry) {
    long modified = 0;
    if (CLoFile::GetTimes(path.c_str(), nullptr, nullptr, &modified).IsError()) {
        return;
    }
    const int64_t age = static_cast<int64_t>(std::time(nullptr)) - modified;
    entry.ageSeconds = age < 0 && age >= -kFutureTolerance ? 0 : age;
    entry.expired =
        entry.ageSeconds < 0 || static_cast<uint64_t>(entry.ageSeconds) > location.expiry;

    char* buffer = nullptr;
    unsigned long size = 0;
    if (CLoFile::ReadWholeFile(path.c_str(), &buffer, size).IsError()) {
        return;
    }
    const std::unique_ptr<char[]> owned(buffer);
    // A cache object that was never initialised owns no directory, so it decodes and its
    // destructor's sweep has nothing to touch.
    JXVMGuidCache().DecodeString(owned.get(), entry.first, entry.second, entry.third);
    entry.readable = true;
}

}  // namespace

CacheLocation LocateCache(const std::string& dirName) {
    CacheLocation location;
    JXPlatformInfo info;
    location.machine = info.getPhysicalMachine();
    unsigned long expiry = kDefaultExpiry;
    info.getNumber("VirtualServer", "nVMGuidCacheTime", &expiry);
    location.expiry = expiry;
    JXPI_CommClient client;
    const char* jobResults = location.machine.empty()
                                 ? nullptr
                                 : client.getJobResultsDirectory(location.machine.c_str());
    if (jobResults != nullptr) {
        location.directory = jobResults;
        LoPathAppend(location.directory, dirName.c_str(), 0);
    }
    return location;
}

bool ReadEntries(const CacheLocation& location, std::vector<CacheEntry>& entries) {
    CLoDirectory listing;
    if (location.directory.empty() ||
        listing.Open(location.directory.c_str(), "*", true).IsError()) {
        return false;
    }
    SLoDirEntry item;
    bool end = false;
    while (!end && !listing.GetEntry(&item, end).IsError()) {
        const std::string name = item.m_strName.c_str();
        if (name == "." || name == "..") {
            continue;
        }
        CacheEntry entry;
        entry.key = name;
        std::string path = location.directory;
        LoPathAppend(path, name.c_str(), 0);
        Describe(location, path, entry);
        entries.push_back(std::move(entry));
    }
    std::sort(entries.begin(), entries.end(),
              [](const CacheEntry& a, const CacheEntry& b) { return a.key < b.key; });
    return true;
}
