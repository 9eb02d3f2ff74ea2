#include "Commands.h"

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <iterator>
#include <set>
#include <vector>

#include "CacheView.h"
#include "ExitCodes.h"
#include "JXVMGuidCache.h"
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

// Everything but the read-only commands needs a live cache object.
int WithCache(const Options& o, const std::function<int(JXVMGuidCache&)>& work) {
    CacheLocation where;
    if (const int refused = Locate(o, where)) {
        return refused;
    }
    if (where.expiry == 0) {
        return SwitchedOff();
    }
    JXVMGuidCache cache(o.dirName);
    if (!cache.Init()) {
        return Fail(kNoCache,
                    "no cache here: machine '" + where.machine + "' has no job-results directory");
    }
    return work(cache);
}

// The entries of `going` that the sweep took away, by what is left in the directory after it.
std::vector<CacheEntry> Removed(const CacheLocation& where, const std::vector<CacheEntry>& going) {
    std::vector<CacheEntry> after;
    ReadEntries(where, after);
    std::set<std::string> left;
    for (const auto& e : after) {
        left.insert(e.key);
    }
    std::vector<CacheEntry> removed;
    for (const auto& e : going) {
        if (left.count(e.key) == 0) {
            removed.push_back(e);
        }
    }
    return removed;
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
    if (!ReadEntries(where, entries)) {
        return Fail(kNoCache,
                    "cannot list the cache directory" +
                        (where.directory.empty() ? std::string() : " " + where.directory));
    }
    PrintEntries(o.json, where, entries, "entries");
    return kOk;
}

int Get(const Options& o) {
    return WithCache(o, [&](JXVMGuidCache& cache) {
        std::string first, second, third;
        if (!cache.LookupGuidCache(o.key, first, second, third)) {
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
    return WithCache(o, [&](JXVMGuidCache& cache) {
        if (!cache.CacheGuid(o.key, o.first, o.second, o.third)) {
            return Fail(kRefused,
                        "record not stored: the key must be a plain file name and the "
                        "first two fields must not contain \"0x17\"");
        }
        Say(o.json, o.key, "stored", "stored '" + o.key + "'");
        return static_cast<int>(kOk);
    });
}

int Invalidate(const Options& o) {
    return WithCache(o, [&](JXVMGuidCache& cache) {
        if (!cache.InvalidateGuidFromCache(o.key)) {
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
    if (!ReadEntries(where, before)) {
        return Fail(kNoCache, "cannot list the cache directory " + where.directory);
    }
    // Records or not: the sweep removes whatever the rule calls expired.
    std::vector<CacheEntry> going;
    std::copy_if(before.begin(), before.end(), std::back_inserter(going),
                 [](const CacheEntry& e) { return e.expired; });
    if (o.dryRun) {
        PrintEntries(o.json, where, going, "wouldRemove");
        return kOk;
    }
    return WithCache(o, [&](JXVMGuidCache& cache) {
        if (!cache.CleanupGuidCache()) {
            return Fail(kRefused, "the sweep could not list the cache directory");
        }
        PrintEntries(o.json, where, Removed(where, going), "removed");
        return static_cast<int>(kOk);
    });
}

}  // namespace vsguidcache
