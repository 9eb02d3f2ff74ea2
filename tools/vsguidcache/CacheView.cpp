#include "CacheView.h"

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "CLoDirectory.h"
#include "CLoError.h"
#include "CLoPath.h"
#include "CacheFiles.h"
#include "CacheStore.h"
#include "GuidCacheRules.h"
#include "PosixFiles.h"

namespace {

// Age, expiry and what counts as a record come from the cache's own rules, so that the listing
// and the dry run say exactly what the sweep and a lookup do. The record is read no further
// than a lookup reads it, so a huge file under a key costs the listing no more than a lookup.
void Describe(const CacheLocation& location, const std::string& path, int64_t now,
              CacheEntry& entry) {
    if (!vsgc::JudgeEntry(path, now, location.expiry, entry.ageSeconds, entry.expired)) {
        return;
    }
    std::string record;
    if (vsgc::ReadBoundedPosix(path, vsgc::kMaxRecordSize, record) != 0) {
        return;
    }
    vsgc::DecodeRecord(record, entry.first, entry.second, entry.third);
    entry.readable = vsgc::IsWholeRecord(record);
}

}  // namespace

int ReadEntries(const CacheLocation& location, std::vector<CacheEntry>& entries) {
    if (location.directory.empty()) {
        return ENOENT;
    }
    CLoDirectory listing;
    const CLoError opened = listing.Open(location.directory.c_str(), "*", true);
    if (opened.IsError()) {
        return vsguidcache::ListingError(location.directory);  // Open says no more than that
    }
    const int64_t now = std::time(nullptr);
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
        Describe(location, path, now, entry);
        entries.push_back(std::move(entry));
    }
    std::sort(entries.begin(), entries.end(),
              [](const CacheEntry& a, const CacheEntry& b) { return a.key < b.key; });
    return 0;
}
