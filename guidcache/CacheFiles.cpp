#include "CacheFiles.h"

namespace vsgc {

bool ReadBoundedPosix(const std::string& path, size_t bound, std::string& data) {
    // O_NONBLOCK keeps a FIFO planted at the path from blocking the open; it is refused below.
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat info {};
    if (file.Get() < 0 || ::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uintmax_t>(info.st_size) > bound) {
        return false;
    }
    // One byte of room past the bound shows a file that grew past it since the fstat.
    std::string read(bound + 1, '\0');
    size_t used = 0;
    while (used < read.size()) {
        const ssize_t n = ::read(file.Get(), &read[used], read.size() - used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;
        }
        used += static_cast<size_t>(n);
    }
    if (used > bound) {
        return false;
    }
    read.resize(used);
    data = std::move(read);
    return true;
}

}  // namespace vsgc
