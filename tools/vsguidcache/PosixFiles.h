// What the tool finds out with POSIX calls of its own, where the platform's file utilities
// answer only whether an operation failed: why a directory cannot be listed. (A whole file read
// with a bound on its size is the cache's own, vsgc::ReadBoundedPosix in CacheFiles.h.)
#pragma once

#include <cstddef>
#include <string>

namespace vsguidcache {

// Why the directory at `path` cannot be listed now, as an errno; EIO when it can after all.
int ListingError(const std::string& path);

}  // namespace vsguidcache
