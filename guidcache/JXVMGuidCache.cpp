#include "JXVMGuidCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <list>
#include <memory>

#include "CLoDirectory.h"
#include "CLoError.h"
#include "CLoFile.h"
#include "CLoPath.h"
#include "CacheFiles.h"
#include "GuidCacheRules.h"
#include "JXPI_CommClient.h"
#include "JXPlatformInfo.h"
#include "LibraryLog.h"
#include "TqDebug.h"

namespace {

using vsgc::IsSafeName;
using vsgc::kSeparator;
using vsgc::kSeparatorLength;

constexpr const char* kInitLabel = "bool JXVMGuidCache::Init()";

// Read-write, create, truncate: the flags records have always been written with.
constexpr int kWriteFlags = O_RDWR | O_CREAT | O_TRUNC;

// Temporary names are claimed with O_EXCL; a name left by a crashed process whose pid came
// back is skipped by trying the next counter value.
constexpr int kTempNameAttempts = 16;

// Backdates the entry itself to the epoch, which every sweep counts as expired. Best effort:
// a file of another user keeps its time and simply ages out.
void MarkExpired(const std::string& path) {
    const struct timespec epoch[2] = {{0, 0}, {0, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), epoch, AT_SYMLINK_NOFOLLOW);
}

std::string TempName() {
    static std::atomic<unsigned> counter{0};
    return ".vsgc-tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
}

// Deletes the temporary file unless the rename took it over.
class TempFileGuard {
public:
    explicit TempFileGuard(std::string path) : m_strPath(std::move(path)) {}
    ~TempFileGuard() {
        if (!m_bCommitted) {
            CLoFile::Delete(m_strPath.c_str(), true);
        }
    }
    TempFileGuard(const TempFileGuard&) = delete;
    TempFileGuard& operator=(const TempFileGuard&) = delete;

    void Commit() { m_bCommitted = true; }

private:
    std::string m_strPath;
    bool m_bCommitted = false;
};

}  // namespace

JXVMGuidCache::JXVMGuidCache() : m_nCacheTime(0), m_strCacheDirName(vsgc::kDefaultDirName) {}

JXVMGuidCache::JXVMGuidCache(const std::string& dirName)
    : m_nCacheTime(0), m_strCacheDirName(dirName) {}

JXVMGuidCache::~JXVMGuidCache() {
    CleanupGuidCache();
}

bool JXVMGuidCache::Init() {
    // An empty name or ".." would make the job-results directory (or its parent) the cache,
    // and the sweep or the removal at expiry 0 would then take the job results with it.
    if (!IsSafeName(m_strCacheDirName)) {
        TqDebug log(nullptr);
        vslog::Error(log, kInitLabel, "Cache directory name [%s] is not a single file name",
                     m_strCacheDirName.c_str());
        return false;
    }
    JXPI_CommClient client;
    JXPlatformInfo info;
    const std::string machine = info.getPhysicalMachine();
    if (machine.empty()) {
        TqDebug log(nullptr);
        vslog::Error(log, kInitLabel,
                     "No machine name: [Platform] PhysicalMachine is set empty in the agent "
                     "configuration, or the host has no name");
        return false;
    }
    // The platform's lookup may say where it looked (ours names the directory and the
    // configuration); the cache says what failed, on any platform.
    const char* jobResults = client.getJobResultsDirectory(machine.c_str());
    if (jobResults == nullptr) {
        TqDebug log(nullptr);
        vslog::Error(log, kInitLabel, "No job-results directory for machine [%s]", machine.c_str());
        return false;
    }
    m_strCacheDir = jobResults;
    LoPathAppend(m_strCacheDir, m_strCacheDirName.c_str(), 0);
    if (!CLoPath::Exists(m_strCacheDir.c_str())) {
        // Another process may create it at the same moment; either way it exists afterwards,
        // and a directory that cannot be made shows up as failed writes.
        CLoDirectory::Create(m_strCacheDir.c_str(), true);
    }
    unsigned long cacheTime = vsgc::kDefaultCacheTime;
    info.getNumber(vsgc::kConfigSection, vsgc::kConfigCacheTime, &cacheTime);
    m_nCacheTime = cacheTime;
    if (m_nCacheTime == 0) {
        CLoDirectory::Remove(m_strCacheDir.c_str(), true, false);
    }
    return true;
}

bool JXVMGuidCache::CacheGuid(const std::string& key, const std::string& first,
                              const std::string& second, const std::string& third) {
    if (!IsSafeName(key) || !vsgc::RecordFault(first, second, third).empty()) {
        return false;
    }
    if (m_nCacheTime == 0) {
        return true;
    }
    return WriteGuidData(key, EncodeString(first, second, third));
}

bool JXVMGuidCache::LookupGuidCache(const std::string& key, std::string& first, std::string& second,
                                    std::string& third) {
    // A record the sweep would remove is past the age the agent trusts it for, whether or not
    // a sweep has run yet: a miss, not a stale answer.
    std::string path;
    std::string record;
    if (m_nCacheTime == 0 || !KeyPath(key, path) || _IsGuidFileOlder(path) ||
        !ReadGuidData(key, record)) {
        return false;
    }
    // A damaged file would hand the caller its own old strings, or a cut field, as the
    // cache's answer: it is a miss, and it is stamped expired so that the next sweep takes it.
    if (!vsgc::IsWholeRecord(record)) {
        MarkExpired(path);
        return false;
    }
    DecodeString(record, first, second, third);
    return true;
}

bool JXVMGuidCache::InvalidateGuidFromCache(const std::string& key) {
    std::string path;
    if (m_nCacheTime == 0 || !KeyPath(key, path)) {
        return false;
    }
    // A caller told true reads on as if the record were gone, so a record that stays (a
    // directory this process may not change) is false; one that was never there is gone.
    const CLoError result = CLoFile::Delete(path.c_str(), false);
    return !result.IsError() || vsgc::FailureErrno(result, path) == ENOENT;
}

bool JXVMGuidCache::CleanupGuidCache() {
    CLoDirectory listing;
    SLoDirEntry entry;
    bool end = false;
    CLoError result = listing.Open(m_strCacheDir.c_str(), "*", true);
    if (result.IsError()) {
        return false;
    }
    std::list<std::string> expired;
    while (!end) {
        result = listing.GetEntry(&entry, end);
        if (result.IsError()) {
            break;
        }
        const std::string name = entry.m_strName.c_str();
        if (name == "." || name == "..") {
            continue;
        }
        std::string path = m_strCacheDir;
        LoPathAppend(path, name.c_str(), 0);
        if (_IsGuidFileOlder(path)) {
            expired.push_back(path);
        }
    }
    // Deleting only after the listing is closed keeps the directory unchanged while it is read.
    listing.Close();
    for (const std::string& path : expired) {
        CLoFile::Delete(path.c_str(), false);
    }
    return true;
}

std::string JXVMGuidCache::EncodeString(const std::string& first, const std::string& second,
                                        const std::string& third) const {
    return first + kSeparator + second + kSeparator + third;
}

void JXVMGuidCache::DecodeString(const std::string& record, std::string& first, std::string& second,
                                 std::string& third) const {
    std::string rest = record;
    const size_t firstEnd = rest.find(kSeparator);
    if (firstEnd != std::string::npos) {
        first = rest.substr(0, firstEnd);
        rest.erase(0, firstEnd + kSeparatorLength);
    }
    const size_t secondEnd = rest.find(kSeparator);
    if (secondEnd != std::string::npos) {
        second = rest.substr(0, secondEnd);
        third = rest.substr(secondEnd + kSeparatorLength);
    }
}

bool JXVMGuidCache::WriteGuidData(const std::string& key, const std::string& data) {
    std::string path;
    return data.size() <= vsgc::kMaxRecordSize && KeyPath(key, path) && _WriteWholeFile(path, data);
}

bool JXVMGuidCache::ReadGuidData(const std::string& key, std::string& data) {
    std::string path;
    if (!KeyPath(key, path) || !CLoPath::Exists(path.c_str())) {
        return false;
    }
    return _ReadWholeFile(path, data);
}

// The record goes to a temporary file next to the key's file and is renamed over it, so
// readers see the old record or the new one, whole, and a failed write keeps the old one.
bool JXVMGuidCache::_WriteWholeFile(const std::string& path, const std::string& data) {
    const std::string directory = path.substr(0, path.rfind('/'));
    CLoFile file;
    std::string tempPath;
    CLoError result;
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        tempPath = directory;
        LoPathAppend(tempPath, TempName().c_str(), 0);
        result = file.Open(tempPath.c_str(), kWriteFlags | O_EXCL, 0);
        if (!result.IsError() || vsgc::FailureErrno(result, tempPath) != EEXIST) {
            break;
        }
    }
    if (result.IsError()) {
        return false;
    }
    TempFileGuard guard(tempPath);
    unsigned int written = 0;
    result = file.Write(data.data(), static_cast<unsigned int>(data.size()), &written);
    if (result.IsError() || static_cast<uint64_t>(written) != data.size()) {
        return false;
    }
    // Unlike the in-place write, a failed close must not replace a good record with this one.
    if (file.Close().IsError() || !vsgc::RenameEntry(tempPath, path)) {
        return false;
    }
    guard.Commit();
    return true;
}

// The whole file, NUL bytes and all, so that data comes back as WriteGuidData stored it (a
// record cut at a NUL would pass for a shorter one).
bool JXVMGuidCache::_ReadWholeFile(const std::string& path, std::string& data) {
    return vsgc::ReadBounded(path, vsgc::kMaxRecordSize, data);
}

bool JXVMGuidCache::_IsGuidFileOlder(const std::string& path) {
    return vsgc::IsExpiredEntry(path, static_cast<int64_t>(std::time(nullptr)), m_nCacheTime);
}

bool JXVMGuidCache::KeyPath(const std::string& key, std::string& path) const {
    if (m_strCacheDir.empty() || !IsSafeName(key)) {
        return false;
    }
    path = m_strCacheDir;
    LoPathAppend(path, key.c_str(), 0);
    return true;
}
