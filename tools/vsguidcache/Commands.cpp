#include "Commands.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <iostream>
#include <iterator>
#include <set>
#include <vector>

#include "CacheFiles.h"
#include "CacheStore.h"
#include "CacheView.h"
#include "ConfigFile.h"
#include "ExitCodes.h"
#include "RootTrust.h"
#include "ToolOutput.h"

namespace vsguidcache {
namespace {

// Where the cache is, once it is known that the caller may act on it.
int Locate(const Options& o, CacheLocation& where) {
    where = LocateCache(o.dirName);
    const std::string reason = ::geteuid() == 0 ? UntrustedDirectory(where) : std::string();
    return reason.empty() ? static_cast<int>(kOk) : Distrusted(reason);
}

int SwitchedOff() {
    return Fail(kNoCache,
                std::string("caching is switched off (") + vsgc::kConfigCacheTime + " is 0)");
}

// The machine has no job-results directory, so there is no cache at all. The platform's record
// of the path it looked for goes to the log; the operator's line says what to change, and names
// the configuration file as the tool judges it (see ConfigFile.h).
int NoJobResults(const CacheLocation& where) {
    const std::string config = ConfigPath();
    const std::string machine = "machine '" + where.machine + "' has no job-results directory";
    if (const char* fault = ConfigFault()) {
        return Fail(kNoCache, "no cache here: the configuration file " + config + " " + fault +
                                  " (name one with --config or " + kConfigVariable + "), and " +
                                  machine + " under the default root");
    }
    return Fail(kNoCache,
                "no cache here: " + machine + " under [Platform] JobResultsRoot of " + config);
}

// The cache directory could not be listed (`error` from ReadEntries). Before the first get,
// put or invalidate creates it there is none: a fresh cache, not a fault, but still no cache
// to read, and a read must not create it.
int Unlisted(const CacheLocation& where, int error) {
    if (where.directory.empty()) {
        return NoJobResults(where);
    }
    if (error == ENOENT) {
        return Fail(kNoCache, "no cache yet at " + where.directory);
    }
    return Fail(kNoCache,
                "cannot list the cache directory " + where.directory + ": " + std::strerror(error));
}

// Which of the cache's rules a record to store breaks, or empty when it keeps them all (the
// cache then refused it for the write itself).
std::string BrokenRule(const Options& o) {
    if (const char* fault = vsgc::NameFault(o.key)) {
        return std::string("the key ") + fault;
    }
    return vsgc::RecordFault(o.first, o.second, o.third);
}

using CacheWork = std::function<int(const CacheLocation&)>;

// A command that changes the cache acts on `where`, as located once, through the cache's own
// store as a cache object would: the directory made ready as Init makes it (created at its
// first use), and, as every cache user ends, the sweep of expired records.
int InCache(const Options& o, const CacheLocation& where, const CacheWork& work) {
    if (where.expiry == 0) {
        return SwitchedOff();
    }
    if (!vsgc::OpenDirectory(where, o.dirName)) {
        return NoJobResults(where);
    }
    const int status = work(where);
    vsgc::SweepDirectory(where.directory, where.expiry);
    return status;
}

int WithCache(const Options& o, const CacheWork& work) {
    CacheLocation where;
    if (const int refused = Locate(o, where)) {
        return refused;
    }
    return InCache(o, where, work);
}

// A lookup that failed either found no record or could not read one; the store says which
// only in its log, so the tool reads the file as a lookup does to tell the operator. 0 for no
// record (none there, or one a lookup does not answer from), else the read's errno.
int UnreadRecord(const CacheLocation& where, const std::string& key) {
    std::string path;
    std::string record;
    const int error = vsgc::KeyPath(where.directory, key, path)
                          ? vsgc::ReadBoundedPosix(path, vsgc::kMaxRecordSize, record)
                          : 0;
    return vsgc::IsNoRecord(error) ? 0 : error;
}

// What the sweep removed: the expired entries that are gone from a second listing. Zero, or the
// listing's errno when it failed, so that an unreadable directory is never reported as emptied.
int Removed(const CacheLocation& where, const std::vector<CacheEntry>& going,
            std::vector<CacheEntry>& removed) {
    std::vector<CacheEntry> after;
    if (const int error = ReadEntries(where, after)) {
        return error;
    }
    std::set<std::string> left;
    for (const auto& e : after) {
        left.insert(e.key);
    }
    for (const auto& e : going) {
        if (left.count(e.key) == 0) {
            removed.push_back(e);
        }
    }
    return 0;
}

}  // namespace

int Distrusted(const std::string& reason) {
    return Fail(kUntrusted, "refusing to run as root: " + reason);
}

int List(const Options& o) {
    CacheLocation where;
    if (const int refused = Locate(o, where)) {
        return refused;
    }
    std::vector<CacheEntry> entries;
    if (const int error = ReadEntries(where, entries)) {
        return Unlisted(where, error);
    }
    PrintEntries(o.json, where, entries, "entries");
    return kOk;
}

int Get(const Options& o) {
    return WithCache(o, [&](const CacheLocation& where) {
        std::string first, second, third;
        if (!vsgc::LookupRecord(where.directory, where.expiry, o.key, first, second, third)) {
            if (const int error = UnreadRecord(where, o.key)) {
                return Fail(kUnreadable, "cannot read the record under '" + o.key + "' (" +
                                             where.directory + "/" + o.key +
                                             "): " + std::strerror(error));
            }
            return Fail(kMissing, "no record under '" + o.key + "'");
        }
        if (o.json) {
            PrintJson(JsonObject()
                          .Text("key", o.key)
                          .Text("first", first)
                          .Text("second", second)
                          .Text("third", third)
                          .Done());
        } else {
            std::cout << Printable(first) << "\n"
                      << Printable(second) << "\n"
                      << Printable(third) << "\n";
        }
        return static_cast<int>(kOk);
    });
}

int Put(const Options& o) {
    return WithCache(o, [&](const CacheLocation& where) {
        if (!vsgc::StoreRecord(where.directory, where.expiry, o.key, o.first, o.second, o.third)) {
            const std::string rule = BrokenRule(o);
            return Fail(kRefused,
                        "record not stored: " +
                            (rule.empty() ? "the write to the cache directory failed" : rule));
        }
        Say(o.json, o.key, "stored", "stored '" + o.key + "'");
        return static_cast<int>(kOk);
    });
}

int Invalidate(const Options& o) {
    return WithCache(o, [&](const CacheLocation& where) {
        if (!vsgc::InvalidateRecord(where.directory, where.expiry, o.key)) {
            // Refused for the key, or the record stays (a directory this user may not change).
            return Fail(kRefused, vsgc::IsSafeName(o.key)
                                      ? "the record under '" + o.key + "' could not be removed"
                                      : "'" + o.key + "' is not a valid key");
        }
        Say(o.json, o.key, "invalidated", "invalidated '" + o.key + "'");
        return static_cast<int>(kOk);
    });
}

int Sweep(const Options& o) {
    CacheLocation where;
    if (const int refused = Locate(o, where)) {
        return refused;
    }
    if (where.expiry == 0) {
        return SwitchedOff();  // the sweep would refuse too: a dry run must not promise more
    }
    std::vector<CacheEntry> before;
    if (const int error = ReadEntries(where, before)) {
        return Unlisted(where, error);
    }
    // Records or not: the sweep removes whatever the rule calls expired.
    std::vector<CacheEntry> going;
    std::copy_if(before.begin(), before.end(), std::back_inserter(going),
                 [](const CacheEntry& e) { return e.expired; });
    if (o.dryRun) {
        PrintEntries(o.json, where, going, "wouldRemove");
        return kOk;
    }
    return InCache(o, where, [&](const CacheLocation&) {
        if (!vsgc::SweepDirectory(where.directory, where.expiry)) {
            return Fail(kRefused, "the sweep could not list the cache directory");
        }
        std::vector<CacheEntry> removed;
        if (const int error = Removed(where, going, removed)) {
            return Fail(kRefused, "the sweep ran, but the cache directory " + where.directory +
                                      " could not be listed afterwards: " + std::strerror(error));
        }
        PrintEntries(o.json, where, removed, "removed");
        return static_cast<int>(kOk);
    });
}

}  // namespace vsguidcache
