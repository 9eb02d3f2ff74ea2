#include "CacheStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <list>
#include <mutex>
#include <utility>

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

namespace vsgc {
namespace {

// The labels of the cache object's functions whose work this is: the agent's log readers know
// its records by them, whoever calls the store.
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
    return error != kNoReason ? std::strerror(error) : "the platform gives no reason";
}

// A lookup that could not read is no miss, though it returns false like one: the record says
// which file and why, once per cause, so that the fault is found where it is.
void TellReadFault(const std::string& path, int error) {
    if (error != 0 && !IsNoRecord(error) && FirstTime('r', error, path)) {
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

// Why there is no cache directory, as one Error record. The platform's lookup may say where
// it looked (ours names the directory and the configuration); this says what failed, on any
// platform.
void TellLocationFault(const CacheLocation& where, const std::string& dirName) {
    TqDebug log(nullptr);
    switch (where.fault) {
        case LocationFault::UnsafeName:
            vslog::Error(log, kInitLabel, "Cache directory name [%s] is not a single file name",
                         dirName.c_str());
            break;
        case LocationFault::NoMachine:
            vslog::Error(log, kInitLabel,
                         "No machine name: [Platform] PhysicalMachine is set empty in the agent "
                         "configuration, or the host has no name");
            break;
        case LocationFault::NoJobResults:
            vslog::Error(log, kInitLabel, "No job-results directory for machine [%s]",
                         where.machine.c_str());
            break;
        case LocationFault::None:
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

// A temporary file of a name of its own in `directory`, opened in `file`: its path, or empty
// with the fault told on behalf of the record at `path`.
std::string OpenTemporary(CLoFile& file, const std::string& directory, const std::string& path) {
    std::string tempPath;
    CLoError result;
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        tempPath = directory;
        LoPathAppend(tempPath, TempName().c_str(), 0);
        result = file.Open(tempPath.c_str(), kWriteFlags | O_EXCL, 0);
        if (!result.IsError() || FailureErrno(result, tempPath) != EEXIST) {
            break;
        }
    }
    if (result.IsError()) {
        TellWriteFault(path, CreateFailure(result, directory));
        return std::string();
    }
    return tempPath;
}

}  // namespace

CacheLocation Locate(const std::string& dirName) {
    CacheLocation where;
    // An empty name or ".." would make the job-results directory (or its parent) the cache,
    // and the sweep or the removal at expiry 0 would then take the job results with it.
    if (!IsSafeName(dirName)) {
        where.fault = LocationFault::UnsafeName;
        return where;
    }
    JXPlatformInfo info;
    where.machine = info.getPhysicalMachine();
    unsigned long expiry = kDefaultCacheTime;
    info.getNumber(kConfigSection, kConfigCacheTime, &expiry);
    where.expiry = expiry;
    if (where.machine.empty()) {
        where.fault = LocationFault::NoMachine;
        return where;
    }
    JXPI_CommClient client;
    const char* jobResults = client.getJobResultsDirectory(where.machine.c_str());
    if (jobResults == nullptr) {
        where.fault = LocationFault::NoJobResults;
        return where;
    }
    where.directory = jobResults;
    LoPathAppend(where.directory, dirName.c_str(), 0);
    return where;
}

bool OpenDirectory(const CacheLocation& where, const std::string& dirName) {
    if (where.fault != LocationFault::None) {
        TellLocationFault(where, dirName);
        return false;
    }
    const char* directory = where.directory.c_str();
    if (!CLoPath::Exists(directory)) {
        // Another process may create it at the same moment; either way it exists afterwards,
        // and a directory that cannot be made shows up as failed writes.
        CLoDirectory::Create(directory, true);
    }
    if (where.expiry == 0) {
        CLoDirectory::Remove(directory, true, false);
    }
    return true;
}

bool StoreRecord(const std::string& directory, uint64_t expiry, const std::string& key,
                 const std::string& first, const std::string& second, const std::string& third) {
    if (!IsSafeName(key) || !RecordFault(first, second, third).empty()) {
        return false;
    }
    if (expiry == 0) {
        return true;
    }
    return WriteData(directory, key, EncodeRecord(first, second, third));
}

bool LookupRecord(const std::string& directory, uint64_t expiry, const std::string& key,
                  std::string& first, std::string& second, std::string& third) {
    // A record the sweep would remove is past the age the agent trusts it for, whether or not
    // a sweep has run yet: a miss, not a stale answer.
    std::string path;
    std::string record;
    if (expiry == 0 || !KeyPath(directory, key, path) || IsExpiredNow(path, expiry) ||
        !ReadRecordFile(path, record)) {
        return false;
    }
    // A damaged file would hand the caller its own old strings, or a cut field, as the
    // cache's answer: it is a miss, and it is stamped expired so that the next sweep takes it.
    if (!IsWholeRecord(record)) {
        MarkExpired(path);
        return false;
    }
    DecodeRecord(record, first, second, third);
    return true;
}

bool InvalidateRecord(const std::string& directory, uint64_t expiry, const std::string& key) {
    std::string path;
    if (expiry == 0 || !KeyPath(directory, key, path)) {
        return false;
    }
    // A caller told true reads on as if the record were gone, so a record that stays (a
    // directory this process may not change) is false; one that was never there is gone.
    const CLoError result = CLoFile::Delete(path.c_str(), false);
    return !result.IsError() || FailureErrno(result, path) == ENOENT;
}

bool SweepDirectory(const std::string& directory, uint64_t expiry) {
    CLoDirectory listing;
    SLoDirEntry entry;
    bool end = false;
    CLoError result = listing.Open(directory.c_str(), "*", true);
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
        std::string path = directory;
        LoPathAppend(path, name.c_str(), 0);
        if (IsExpiredNow(path, expiry)) {
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

bool WriteData(const std::string& directory, const std::string& key, const std::string& data) {
    std::string path;
    return data.size() <= kMaxRecordSize && KeyPath(directory, key, path) &&
           WriteRecordFile(path, data);
}

bool ReadData(const std::string& directory, const std::string& key, std::string& data) {
    std::string path;
    return KeyPath(directory, key, path) && ReadRecordFile(path, data);
}

bool KeyPath(const std::string& directory, const std::string& key, std::string& path) {
    if (directory.empty() || !IsSafeName(key)) {
        return false;
    }
    path = directory;
    LoPathAppend(path, key.c_str(), 0);
    return true;
}

// The record goes to a temporary file next to the key's file and is renamed over it, so
// readers see the old record or the new one, whole, and a failed write keeps the old one.
bool WriteRecordFile(const std::string& path, const std::string& data) {
    CLoFile file;
    const std::string tempPath = OpenTemporary(file, path.substr(0, path.rfind('/')), path);
    if (tempPath.empty()) {
        return false;
    }
    TempFileGuard guard(tempPath);
    unsigned int written = 0;
    int error =
        FailureOf(file.Write(data.data(), static_cast<unsigned int>(data.size()), &written));
    if (error == 0 && static_cast<uint64_t>(written) != data.size()) {
        error = kNoReason;
    }
    // Unlike the in-place write, a failed close must not replace a good record with this one.
    error = error != 0 ? error : FailureOf(file.Close());
    error = error != 0 ? error : RenameEntry(tempPath, path);
    if (error != 0) {
        TellWriteFault(path, error);
        return false;
    }
    guard.Commit();
    return true;
}

// The whole file, NUL bytes and all, so that data comes back as it was stored (a record cut at
// a NUL would pass for a shorter one). Nothing there is a miss; a record that is there, or may
// be, and could not be read is a fault and is told (see TellReadFault).
bool ReadRecordFile(const std::string& path, std::string& data) {
    if (!CLoPath::Exists(path.c_str())) {  // links followed: a dangling one holds nothing
        TellReadFault(path, AbsenceErrno(path));
        return false;
    }
    const int error = ReadBounded(path, kMaxRecordSize, data);
    TellReadFault(path, error);
    return error == 0;
}

bool IsExpiredNow(const std::string& path, uint64_t expiry) {
    return IsExpiredEntry(path, static_cast<int64_t>(std::time(nullptr)), expiry);
}

std::string EncodeRecord(const std::string& first, const std::string& second,
                         const std::string& third) {
    return first + kSeparator + second + kSeparator + third;
}

void DecodeRecord(const std::string& record, std::string& first, std::string& second,
                  std::string& third) {
    const size_t firstEnd = record.find(kSeparator);
    if (firstEnd == std::string::npos) {
        return;
    }
    // Every part is cut out before any output is assigned: an output may be the record.
    std::string head = record.substr(0, firstEnd);
    const size_t secondStart = firstEnd + kSeparatorLength;
    const size_t secondEnd = record.find(kSeparator, secondStart);
    if (secondEnd != std::string::npos) {
        std::string middle = record.substr(secondStart, secondEnd - secondStart);
        third = record.substr(secondEnd + kSeparatorLength);
        second = std::move(middle);
    }
    first = std::move(head);
}

}  // namespace vsgc
