// The checks the tool makes before it acts as root: on the configuration file and on the cache
// directory, and on every folder and link on the way to each from "/".
#pragma once

#include <sys/types.h>

#include <string>

#include "CacheView.h"

namespace vsguidcache {

// Why root must not rely on the configuration file the platform reads, or empty; `resolved` is
// then the name that every later read is to use.
std::string UntrustedConfiguration(std::string& resolved);

// Why root must not append to the log file at `path` (TQDEBUG_FILE), or empty; `resolved` is
// then the name the log is to open. Judged as the configuration is: whoever could change a
// folder on the way could aim root's records at any file, or have root create one.
std::string UntrustedLogFile(const std::string& path, std::string& resolved);

// Why root must not act on the cache directory of `where`, or empty (also when there is none).
std::string UntrustedDirectory(const CacheLocation& where);
// The same walk with `trusted` counted as root is (root stays trusted): the tool passes 0, a
// test its own uid.
std::string UntrustedDirectory(const CacheLocation& where, uid_t trusted);

}  // namespace vsguidcache
