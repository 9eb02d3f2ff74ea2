#include "CacheFiles.h"

#include <cstdint>

namespace vsgc {
namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_nFd(fd) {}
    ~FileDescriptor() {
        if (m_nFd >= 0) {
            ::close(m_nFd);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return m_nFd; }

private:
    int m_nFd;
};

// The rest of the file, which may have grown since its size was taken: a byte past the bound
// is refused as it arrives.
int ReadAll(int fd, size_t bound, std::string& data) {
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : 0;
        }
        data.append(chunk, static_cast<size_t>(n));
        if (data.size() > bound) {
            return EFBIG;
        }
    }
}

}  // namespace

int ReadBoundedPosix(const std::string& path, size_t bound, std::string& data) {
    // O_NONBLOCK keeps a FIFO planted at the path from blocking the open; it is refused below.
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat info {};
    if (file.Get() < 0 || ::fstat(file.Get(), &info) != 0) {
        return errno;
    }
    if (!S_ISREG(info.st_mode)) {
        return EINVAL;
    }
    // A size past the bound is refused before anything is allocated (a sparse file may claim
    // terabytes it does not hold).
    if (static_cast<uintmax_t>(info.st_size) > bound) {
        return EFBIG;
    }
    std::string read;
    read.reserve(static_cast<size_t>(info.st_size));
    if (const int error = ReadAll(file.Get(), bound, read)) {
        return error;
    }
    data = std::move(read);
    return 0;
}

}  // namespace vsgc
