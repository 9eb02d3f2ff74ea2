#include "PosixFiles.h"

#include <dirent.h>

#include <cerrno>
#include <memory>

namespace vsguidcache {

int ListingError(const std::string& path) {
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(path.c_str()), &::closedir);
    return listing == nullptr ? errno : EIO;
}

}  // namespace vsguidcache
