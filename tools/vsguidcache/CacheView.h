// A read-only view of a GUID cache directory: where the agent's configuration puts it, its
// expiry, and every record in it with its age. Nothing here writes, deletes or sweeps, so the
// operator's `list` and `sweep --dry-run` leave the directory exactly as they found it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CacheStore.h"

struct CacheEntry {
    std::string key;
    std::string first;
    std::string second;
    std::string third;
    bool readable = false;   // a whole record: a regular file that a lookup answers from
    int64_t ageSeconds = 0;  // negative: stamped further in the future than a fresh write
    bool expired = false;    // the sweep removes it, whatever kind of entry it is
};

// Where the cache is, found as every cache object finds it (the library's own code for it).
using CacheLocation = vsgc::CacheLocation;

// Resolves the cache directory and expiry; a name the cache refuses resolves to no directory.
inline CacheLocation LocateCache(const std::string& dirName) {
    return vsgc::Locate(dirName);
}

// The entries of the directory, sorted by key. Returns 0, or the errno of the failed listing
// (ENOENT also when the location has no directory).
int ReadEntries(const CacheLocation& location, std::vector<CacheEntry>& entries);
