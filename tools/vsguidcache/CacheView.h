// A read-only view of a GUID cache directory: where the agent's configuration puts it, its
// expiry, and every record in it with its age. Nothing here writes, deletes or sweeps, so the
// operator's `list` and `sweep --dry-run` leave the directory exactly as they found it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CacheEntry {
    std::string key;
    std::string first;
    std::string second;
    std::string third;
    bool readable = false;   // a whole record: a regular file that a lookup answers from
    int64_t ageSeconds = 0;  // negative: stamped further in the future than a fresh write
    bool expired = false;    // the sweep removes it, whatever kind of entry it is
};

struct CacheLocation {
    std::string machine;
    std::string directory;  // empty when the machine has no job-results directory
    uint64_t expiry = 0;    // seconds; 0: caching is switched off
};

// Resolves the cache directory and expiry the way every cache object does in Init; a name the
// cache refuses resolves to no directory.
CacheLocation LocateCache(const std::string& dirName);

// The entries of the directory, sorted by key. Returns 0, or the errno of the failed listing
// (ENOENT also when the location has no directory).
int ReadEntries(const CacheLocation& location, std::vector<CacheEntry>& entries);
