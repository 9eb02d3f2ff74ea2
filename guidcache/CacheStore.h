// The cache store: everything the library's cache objects and the operator's tool do to a cache
// directory beyond its rules (GuidCacheRules.h). Where the directory is, from the platform's
// configuration (Locate); what Init makes of it (OpenDirectory); and the operations on records,
// each given the directory and the expiry it acts with as arguments, so that a caller that has
// located the cache once (the tool, after root's checks of that very directory) acts on that
// location and never has the configuration read again. One copy, compiled into the library and
// into the tool: a JXVMGuidCache holds a location and delegates every operation here, and the
// tool calls the same functions with no cache object at all.
//
// The operations keep the cache's promises to every process sharing the directory: a record is
// written to a temporary file beside the key's file and renamed over it (readers see the old
// record or the new one, whole; a failed write keeps the old one), it is read no further than
// kMaxRecordSize, and a fault that is no plain miss is told once per cause in the log under the
// cache object's own function labels, which the agent's log readers know. Nothing is locked
// between processes. Internal: not installed.
#pragma once

#include <cstdint>
#include <string>

namespace vsgc {

// Why a location has no directory.
enum class LocationFault {
    None,
    UnsafeName,    // the directory name is not a single file name
    NoMachine,     // the configuration sets the machine's name empty, or the host has none
    NoJobResults,  // the machine has no job-results directory
};

struct CacheLocation {
    std::string machine;
    std::string directory;  // empty when there is a fault
    uint64_t expiry = 0;    // seconds; 0: caching is switched off
    LocationFault fault = LocationFault::None;
};

// The cache directory named `dirName` and the expiry, as the platform's configuration gives
// them now. Nothing is created or changed.
CacheLocation Locate(const std::string& dirName);

// What Init makes of `where`, found for `dirName`: false, with one Error record saying why, for
// a location with a fault. Otherwise the directory is created when missing and, at expiry 0,
// removed with everything in it.
bool OpenDirectory(const CacheLocation& where, const std::string& dirName);

// The operations on the records in `directory` with `expiry` (seconds; 0: caching is off), as
// JXVMGuidCache states them: CacheGuid, LookupGuidCache, InvalidateGuidFromCache,
// CleanupGuidCache, WriteGuidData and ReadGuidData in that order. An empty directory holds
// nothing and takes nothing.
bool StoreRecord(const std::string& directory, uint64_t expiry, const std::string& key,
                 const std::string& first, const std::string& second, const std::string& third);
bool LookupRecord(const std::string& directory, uint64_t expiry, const std::string& key,
                  std::string& first, std::string& second, std::string& third);
bool InvalidateRecord(const std::string& directory, uint64_t expiry, const std::string& key);
bool SweepDirectory(const std::string& directory, uint64_t expiry);
bool WriteData(const std::string& directory, const std::string& key, const std::string& data);
bool ReadData(const std::string& directory, const std::string& key, std::string& data);

// The key's file in `directory`; false, with `path` untouched, for an empty directory or a key
// that is not a single file name.
bool KeyPath(const std::string& directory, const std::string& key, std::string& path);
// The file at `path` replaced by `data` whole, through a temporary file beside it.
bool WriteRecordFile(const std::string& path, const std::string& data);
// The whole file at `path`, NUL bytes included, no further than kMaxRecordSize.
bool ReadRecordFile(const std::string& path, std::string& data);
// Whether the sweep removes the entry at `path` now.
bool IsExpiredNow(const std::string& path, uint64_t expiry);

// The record text: first + "0x17" + second + "0x17" + third, nothing checked.
std::string EncodeRecord(const std::string& first, const std::string& second,
                         const std::string& third);
// Sets an output only when its separator is found: a record without the first separator
// leaves all three untouched, one without the second leaves second and third untouched. The
// record may be one of the outputs.
void DecodeRecord(const std::string& record, std::string& first, std::string& second,
                  std::string& third);

}  // namespace vsgc
