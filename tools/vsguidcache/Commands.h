// The tool's commands, each given the parsed command line and returning the exit status.
// list and sweep --dry-run only read. get, put, invalidate and sweep act through the cache's own
// store (CacheStore.h), on the directory and with the expiry the command located and root's
// checks judged, with no cache object and no second reading of the configuration; like every
// cache user they end with the store's sweep of expired records.
#pragma once

#include <string>

#include "GuidCacheRules.h"

namespace vsguidcache {

struct Options {
    std::string config;
    std::string dirName = vsgc::kDefaultDirName;
    bool json = false;
    std::string key, first, second, third;
    bool dryRun = false;
};

int List(const Options& o);
int Get(const Options& o);
int Put(const Options& o);
int Invalidate(const Options& o);
int Sweep(const Options& o);

// The refusal of a root run, for `reason` from the trust checks.
int Distrusted(const std::string& reason);

}  // namespace vsguidcache
