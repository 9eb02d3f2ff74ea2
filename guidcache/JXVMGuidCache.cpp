#include "JXVMGuidCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <list>
#include <memory>
#include <mutex>

#include "CLoDirectory.h"
#include "CLoError.h"
#include "CLoFile.h"
#include "CLoPath.h"
#include "CacheFiles.h"
#include "CacheStore.h"
#include "GuidCacheRules.h"
#include "LibraryLog.h"
#include "TqDebug.h"

namespace {

using vsgc::IsSafeName;
using vsgc::kSeparator;

constexpr const char* kInitLabel = "bool JXVMGuidCache::Init()";
constexpr const char* kReadLabel =
    "bool JXVMGuidCache::_ReadWholeFile(const std::string&, std::string&)";
constexpr const char* kWriteLabel =
    "bool JXVMGuidCache::_WriteWholeFile(const std::string&, const std::string&)";

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

// The faults already told. One fault (a directory this process may not read) fails every key
// alike, so a record per key would flood the log: each (operation, errno, directory) is told
// once. Process-wide, as a cache object has no room of its own for it (its members are fixed);
// the last few causes are kept, so a process meeting new faults for ever keeps a bounded list.
// try_lock: a thread that finds the list busy (or a child forked while another thread held it)
// tells its fault again rather than waiting.
class ToldFaults {
public:
    bool IsNew(const std::string& cause) {
        std::unique_lock<std::mutex> lock(m_mutex, std::try_to_lock);
        if (!lock.owns_lock()) {
            return true;
        }
        for (const std::string& told : m_causes) {
            if (told == cause) {
                return false;
            }
        }
        m_causes[m_nNext] = cause;
        m_nNext = (m_nNext + 1) % m_causes.size();
        return true;
    }

private:
    std::mutex m_mutex;
    std::array<std::string, 8> m_causes;
    size_t m_nNext = 0;
};

// Whether `error`, met by `operation` on a record in `path`'s directory, is to be told now.
bool FirstTime(char operation, int error, const std::string& path) {
    static ToldFaults told;
    return told.IsNew(operation + std::to_string(error) + ":" + path.substr(0, path.rfind('/')));
}

const char* Reason(int error) {
    return error != vsgc::kNoReason ? std::strerror(error) : "the platform gives no reason";
}

// A lookup that could not read is no miss, though it returns false like one: the record says
// which file and why, once per cause, so that the fault is found where it is.
void TellReadFault(const std::string& path, int error) {
    if (error != 0 && !vsgc::IsNoRecord(error) && FirstTime('r', error, path)) {
        TqDebug log(nullptr);
        vslog::Error(log, kReadLabel,
                     "Cannot read the cache record [%s]: %s (said once for this reason and "
                     "directory; lookups there fail until it is mended)",
                     path.c_str(), Reason(error));
    }
}

void TellWriteFault(const std::string& path, int error) {
    if (FirstTime('w', error, path)) {
        TqDebug log(nullptr);
        vslog::Error(log, kWriteLabel,
                     "Cannot write the cache record [%s]: %s (said once for this reason and "
                     "directory; records there are not stored until it is mended)",
                     path.c_str(), Reason(error));
    }
}

// Why there is nothing to read at `path`: 0 for an entry that is there (a dangling link), else
// the errno of looking it up (ENOENT: nothing there).
int AbsenceErrno(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? 0 : errno;
}

// Why Init found no cache directory, as one Error record. The platform's lookup may say where
// it looked (ours names the directory and the configuration); this says what failed, on any
// platform.
void TellLocationFault(const vsgc::CacheLocation& where, const std::string& dirName) {
    TqDebug log(nullptr);
    switch (where.fault) {
        case vsgc::LocationFault::UnsafeName:
            vslog::Error(log, kInitLabel, "Cache directory name [%s] is not a single file name",
                         dirName.c_str());
            break;
        case vsgc::LocationFault::NoMachine:
            vslog::Error(log, kInitLabel,
                         "No machine name: [Platform] PhysicalMachine is set empty in the agent "
                         "configuration, or the host has no name");
            break;
        case vsgc::LocationFault::NoJobResults:
            vslog::Error(log, kInitLabel, "No job-results directory for machine [%s]",
                         where.machine.c_str());
            break;
        case vsgc::LocationFault::None:
            break;
    }
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
    const vsgc::CacheLocation where = vsgc::Locate(m_strCacheDirName);
    if (where.fault != vsgc::LocationFault::None) {
        TellLocationFault(where, m_strCacheDirName);
        return false;
    }
    m_strCacheDir = where.directory;
    if (!CLoPath::Exists(m_strCacheDir.c_str())) {
        // Another process may create it at the same moment; either way it exists afterwards,
        // and a directory that cannot be made shows up as failed writes.
        CLoDirectory::Create(m_strCacheDir.c_str(), true);
    }
    m_nCacheTime = where.expiry;
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
    vsgc::DecodeRecord(record, first, second, third);
}

bool JXVMGuidCache::WriteGuidData(const std::string& key, const std::string& data) {
    std::string path;
    return data.size() <= vsgc::kMaxRecordSize && KeyPath(key, path) && _WriteWholeFile(path, data);
}

bool JXVMGuidCache::ReadGuidData(const std::string& key, std::string& data) {
    std::string path;
    return KeyPath(key, path) && _ReadWholeFile(path, data);
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
        TellWriteFault(path, vsgc::CreateFailure(result, directory));
        return false;
    }
    TempFileGuard guard(tempPath);
    unsigned int written = 0;
    int error =
        vsgc::FailureOf(file.Write(data.data(), static_cast<unsigned int>(data.size()), &written));
    if (error == 0 && static_cast<uint64_t>(written) != data.size()) {
        error = vsgc::kNoReason;
    }
    // Unlike the in-place write, a failed close must not replace a good record with this one.
    error = error != 0 ? error : vsgc::FailureOf(file.Close());
    error = error != 0 ? error : vsgc::RenameEntry(tempPath, path);
    if (error != 0) {
        TellWriteFault(path, error);
        return false;
    }
    guard.Commit();
    return true;
}

// The whole file, NUL bytes and all, so that data comes back as WriteGuidData stored it (a
// record cut at a NUL would pass for a shorter one). Nothing there is a miss; a record that is
// there, or may be, and could not be read is a fault and is told (see TellReadFault).
bool JXVMGuidCache::_ReadWholeFile(const std::string& path, std::string& data) {
    if (!CLoPath::Exists(path.c_str())) {  // links followed: a dangling one holds nothing
        TellReadFault(path, AbsenceErrno(path));
        return false;
    }
    const int error = vsgc::ReadBounded(path, vsgc::kMaxRecordSize, data);
    TellReadFault(path, error);
    return error == 0;
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
