// vsguidcache: an operator's view of the agent's shared VM GUID cache directory.
//
//   vsguidcache [--config FILE] [--dir-name NAME] [--json] list
//   vsguidcache ... get KEY
//   vsguidcache ... put KEY FIRST SECOND THIRD
//   vsguidcache ... invalidate KEY
//   vsguidcache ... sweep [--dry-run]
//
// list and sweep --dry-run only read. get, put, invalidate and sweep go through JXVMGuidCache,
// and like every cache user they end with its sweep of expired records.
//
// Exit codes: 0 done; 1 bad arguments; 2 no record under the key; 3 no cache here (no
// job-results directory, or caching switched off); 4 the cache refused or failed the change.
#include <CLI/CLI.hpp>

#include <boost/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <set>

#include "CacheView.h"
#include "JXVMGuidCache.h"

namespace {

enum Exit { kOk = 0, kUsage = 1, kMissing = 2, kNoCache = 3, kRefused = 4 };

struct Options {
    std::string config;
    std::string dirName = "_VM_GUID_CACHE_";
    bool json = false;
    std::string key, first, second, third;
    bool dryRun = false;
};

std::string Age(int64_t seconds) {
    if (seconds < 0) {
        return "future";
    }
    const int64_t units[] = {86400, 3600, 60, 1};
    const char* names[] = {"d", "h", "m", "s"};
    for (int i = 0; i < 4; ++i) {
        if (seconds >= units[i] || i == 3) {
            std::string out = std::to_string(seconds / units[i]) + names[i];
            if (i < 3 && seconds % units[i] >= units[i + 1]) {
                out += " " + std::to_string(seconds % units[i] / units[i + 1]) + names[i + 1];
            }
            return out;
        }
    }
    return {};
}

boost::json::object EntryJson(const CacheEntry& e) {
    return {{"key", e.key},        {"first", e.first},           {"second", e.second},
            {"third", e.third},    {"ageSeconds", e.ageSeconds}, {"expired", e.expired},
            {"record", e.readable}};
}

void PrintEntries(const Options& o, const CacheLocation& where,
                  const std::vector<CacheEntry>& entries, const char* title) {
    if (o.json) {
        boost::json::array list;
        for (const auto& e : entries) {
            list.push_back(EntryJson(e));
        }
        std::cout << boost::json::serialize(boost::json::object{{"directory", where.directory},
                                                                {"expirySeconds", where.expiry},
                                                                {title, std::move(list)}})
                  << "\n";
        return;
    }
    std::printf("%s (expiry %s)\n", where.directory.c_str(),
                Age(static_cast<int64_t>(where.expiry)).c_str());
    std::printf("%-24s %-20s %-20s %-28s %8s  %s\n", "KEY", "FIRST", "SECOND", "THIRD", "AGE",
                "STATE");
    for (const auto& e : entries) {
        std::printf("%-24s %-20s %-20s %-28s %8s  %s\n", e.key.c_str(), e.first.c_str(),
                    e.second.c_str(), e.third.c_str(), Age(e.ageSeconds).c_str(),
                    !e.readable ? "not a record"
                    : e.expired ? "expired"
                                : "live");
    }
    std::printf("%zu %s\n", entries.size(), entries.size() == 1 ? "entry" : "entries");
}

void Say(const Options& o, const std::string& key, const char* outcome, const std::string& text) {
    if (o.json) {
        std::cout << boost::json::serialize(boost::json::object{{"key", key}, {"result", outcome}})
                  << "\n";
    } else {
        std::cout << text << "\n";
    }
}

int Fail(Exit code, const std::string& message) {
    std::fprintf(stderr, "vsguidcache: %s\n", message.c_str());
    return code;
}

// Everything but the read-only commands needs a live cache object.
int WithCache(const Options& o, const std::function<int(JXVMGuidCache&)>& work) {
    const CacheLocation where = LocateCache(o.dirName);
    if (where.expiry == 0) {
        return Fail(kNoCache, "caching is switched off (nVMGuidCacheTime is 0)");
    }
    JXVMGuidCache cache(o.dirName);
    if (!cache.Init()) {
        return Fail(kNoCache, "no cache here: machine '" + where.machine +
                                  "' has no job-results directory, or the directory name is "
                                  "not a plain name");
    }
    return work(cache);
}

int List(const Options& o) {
    const CacheLocation where = LocateCache(o.dirName);
    std::vector<CacheEntry> entries;
    if (!ReadEntries(where, entries)) {
        return Fail(kNoCache,
                    "cannot list the cache directory" +
                        (where.directory.empty() ? std::string() : " " + where.directory));
    }
    PrintEntries(o, where, entries, "entries");
    return kOk;
}

int Get(const Options& o) {
    return WithCache(o, [&](JXVMGuidCache& cache) {
        std::string first, second, third;
        if (!cache.LookupGuidCache(o.key, first, second, third)) {
            return Fail(kMissing, "no record under '" + o.key + "'");
        }
        if (o.json) {
            std::cout << boost::json::serialize(boost::json::object{{"key", o.key},
                                                                    {"first", first},
                                                                    {"second", second},
                                                                    {"third", third}})
                      << "\n";
        } else {
            std::cout << first << "\n" << second << "\n" << third << "\n";
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
        Say(o, o.key, "stored", "stored '" + o.key + "'");
        return static_cast<int>(kOk);
    });
}

int Invalidate(const Options& o) {
    return WithCache(o, [&](JXVMGuidCache& cache) {
        if (!cache.InvalidateGuidFromCache(o.key)) {
            return Fail(kRefused, "'" + o.key + "' is not a valid key");
        }
        Say(o, o.key, "invalidated", "invalidated '" + o.key + "'");
        return static_cast<int>(kOk);
    });
}

int Sweep(const Options& o) {
    const CacheLocation where = LocateCache(o.dirName);
    std::vector<CacheEntry> before;
    if (!ReadEntries(where, before)) {
        return Fail(kNoCache, "cannot list the cache directory");
    }
    std::vector<CacheEntry> going;
    for (const auto& e : before) {
        if (e.readable && e.expired) {
            going.push_back(e);
        }
    }
    if (o.dryRun) {
        PrintEntries(o, where, going, "wouldRemove");
        return kOk;
    }
    return WithCache(o, [&](JXVMGuidCache& cache) {
        if (!cache.CleanupGuidCache()) {
            return Fail(kRefused, "the sweep could not list the cache directory");
        }
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
        PrintEntries(o, where, removed, "removed");
        return static_cast<int>(kOk);
    });
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"Inspect and maintain the agent's VM GUID cache directory."};
    app.require_subcommand(1);
    app.add_option("--config", o.config, "agent configuration file (default: $VSAGENT_CONFIG)");
    app.add_option("--dir-name", o.dirName, "cache directory name")->capture_default_str();
    app.add_flag("--json", o.json, "machine-readable output");

    auto* list = app.add_subcommand("list", "every entry with its fields, age and state");
    auto* get = app.add_subcommand("get", "the three fields stored under KEY");
    get->add_option("KEY", o.key)->required();
    auto* put = app.add_subcommand("put", "store a record under KEY");
    put->add_option("KEY", o.key)->required();
    put->add_option("FIRST", o.first)->required();
    put->add_option("SECOND", o.second)->required();
    put->add_option("THIRD", o.third)->required();
    auto* invalidate = app.add_subcommand("invalidate", "remove the record under KEY");
    invalidate->add_option("KEY", o.key)->required();
    auto* sweep = app.add_subcommand("sweep", "remove expired records now");
    sweep->add_flag("--dry-run", o.dryRun, "only show what would be removed");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kOk : kUsage;
    }
    if (!o.config.empty()) {
        ::setenv("VSAGENT_CONFIG", o.config.c_str(), 1);
    }
    if (list->parsed())
        return List(o);
    if (get->parsed())
        return Get(o);
    if (put->parsed())
        return Put(o);
    if (invalidate->parsed())
        return Invalidate(o);
    return Sweep(o);
}
