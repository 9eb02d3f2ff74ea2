// The rules of the GUID cache directory that JXVMGuidCache and the vsguidcache tool both apply:
// which names are safe, where the expiry comes from, and which entries a sweep removes. The
// tool includes this header so that its listing and dry run can never disagree with the sweep.
// Internal: not installed.
#pragma once

#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <initializer_list>
#include <string>

#include "CLoFile.h"

namespace vsgc {

constexpr const char* kDefaultDirName = "_VM_GUID_CACHE_";
constexpr const char* kSeparator = "0x17";  // the four-character text, not the control byte
constexpr size_t kSeparatorLength = 4;
constexpr const char* kConfigSection = "VirtualServer";
constexpr const char* kConfigCacheTime = "nVMGuidCacheTime";
constexpr unsigned long kDefaultCacheTime = 864000;  // ten days
// The longest record, fields and separators together: nothing longer is written, and a file
// under a key is read no further, so a huge or sparse file there cannot take the memory of
// every process that looks it up.
constexpr unsigned long kMaxRecordSize = 64UL * 1024;

// File times can run up to a second ahead of time() on a freshly written file; a file stamped
// this little in the future is one that was just written, not one from before a clock jump.
constexpr int64_t kFutureTolerance = 60;

// A name that stays inside the directory it is appended to: one path component, neither the
// directory itself nor its parent, and short enough for the file system to take. Keys and the
// cache directory name must both be such names. Which rule a name breaks, for a person to
// read after "the key "; null when it is safe.
inline const char* NameFault(const std::string& name) {
    if (name.empty() || name == "." || name == "..") {
        return "must not be empty, '.' or '..'";
    }
    if (name.find('/') != std::string::npos) {
        return "must not contain '/'";
    }
    if (name.find('\0') != std::string::npos) {
        return "must not contain a NUL byte";
    }
    return name.size() > NAME_MAX ? "is longer than 255 bytes" : nullptr;
}
static_assert(NAME_MAX == 255, "the text above names the limit");

inline bool IsSafeName(const std::string& name) {
    return NameFault(name) == nullptr;
}

// Which rule a record to store breaks; empty when it keeps them all. The first two fields are
// cut at their first separator, no field survives a NUL byte, and a record longer than a
// lookup reads is never found again.
inline std::string RecordFault(const std::string& first, const std::string& second,
                               const std::string& third) {
    const size_t size = first.size() + second.size() + third.size() + 2 * kSeparatorLength;
    if (size > kMaxRecordSize) {
        return "the record would take " + std::to_string(size) + " bytes, more than " +
               std::to_string(kMaxRecordSize);
    }
    if (first.find(kSeparator) != std::string::npos) {
        return "FIRST contains the separator \"0x17\"";
    }
    if (second.find(kSeparator) != std::string::npos) {
        return "SECOND contains the separator \"0x17\"";
    }
    for (const std::string* field : {&first, &second, &third}) {
        if (field->find('\0') != std::string::npos) {
            return "a field contains a NUL byte";
        }
    }
    return std::string();
}

// Age in seconds at `now` of an entry stamped `stamp`: 0 for a stamp up to the tolerance ahead
// (a fresh write), negative for one further ahead (a clock set back).
inline int64_t EntryAge(int64_t now, int64_t stamp) {
    // Unsigned difference: defined for any pair of stamps.
    const auto age =
        static_cast<int64_t>(static_cast<uint64_t>(now) - static_cast<uint64_t>(stamp));
    return age < 0 && age >= -kFutureTolerance ? 0 : age;
}

// Whether the sweep removes an entry of that age. An entry from the far future goes: it
// would otherwise never expire.
inline bool IsExpiredAge(int64_t age, uint64_t expiry) {
    return age < 0 || static_cast<uint64_t>(age) > expiry;
}

// What the sweep decides for the entry at `path`, whatever kind of entry it is: its age (from
// its own modification time: a symbolic link's, not its target's) and whether the sweep
// removes it. False when its times cannot be read; such an entry stays. The file deletion
// refuses directories, so no sweep removes one, however old.
inline bool JudgeEntry(const std::string& path, int64_t now, uint64_t expiry, int64_t& age,
                       bool& removed) {
    long accessed = 0;
    long changed = 0;
    long modified = 0;
    if (CLoFile::GetTimes(path.c_str(), &accessed, &changed, &modified).IsError()) {
        return false;
    }
    age = EntryAge(now, modified);
    struct stat info {};
    removed =
        IsExpiredAge(age, expiry) && !(::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
    return true;
}

// The sweep's rule for one entry of the cache directory.
inline bool IsExpiredEntry(const std::string& path, int64_t now, uint64_t expiry) {
    int64_t age = 0;
    bool removed = false;
    return JudgeEntry(path, now, expiry, age, removed) && removed;
}

// What CacheGuid writes: both separators and no NUL byte. Anything else is a file left
// damaged (a crash, an in-place write cut short, zeros after a power loss) or a foreign one,
// and no lookup answers from it.
inline bool IsWholeRecord(const std::string& record) {
    const size_t firstEnd = record.find(kSeparator);
    return firstEnd != std::string::npos &&
           record.find(kSeparator, firstEnd + kSeparatorLength) != std::string::npos &&
           record.find('\0') == std::string::npos;
}

}  // namespace vsgc
