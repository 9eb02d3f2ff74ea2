#include "CLoFile.h"
#include "FsFailure.h"
#include "UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

namespace {

using vsplatform::EmptyPathFailure;
using vsplatform::FsFailure;
using vsplatform::IsEmptyPath;
using vsplatform::LastFsFailure;

constexpr mode_t kDefaultFileMode = 0640;

// Room for `count` bytes and a terminating NUL, from new[] as the caller's delete[] expects;
// null when the memory cannot be had (the contract returns errors, it throws none).
std::unique_ptr<char[]> Allocate(size_t count) {
    return std::unique_ptr<char[]>(new (std::nothrow) char[count + 1]);
}

// Moves the `used` bytes into a buffer with room for `room`; the old one is freed at once, so
// growing never holds more than the two.
void Grow(std::unique_ptr<char[]>& data, size_t used, size_t room) {
    std::unique_ptr<char[]> bigger = Allocate(room);
    if (bigger) {
        std::copy_n(data.get(), used, bigger.get());
    }
    data = std::move(bigger);
}

// Reads until end of file rather than trusting the size from fstat: a file may grow or shrink
// while it is read, and some (those under /proc) report 0. The size is only the first guess
// for the room, one byte more so that an unchanged file ends in the second read; the room
// doubles when the file holds more, up to one byte past the limit, which tells a file over the
// limit without reading any further. The buffer read into is the one handed over: no copy.
// Gives 0 or the error.
int ReadAll(int fd, size_t sizeHint, size_t limit, std::unique_ptr<char[]>& data, size_t& used) {
    size_t room = std::min(sizeHint, limit) + 1;
    data = Allocate(room);
    used = 0;
    for (;;) {
        if (!data) {
            return ENOMEM;
        }
        if (used == room) {
            if (room > limit) {
                return EFBIG;
            }
            const size_t more = std::min(room, limit + 1 - room);
            Grow(data, used, room + more);
            room += more;
            continue;
        }
        const ssize_t got = ::read(fd, data.get() + used, room - used);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0 ? errno : 0;
        }
        used += static_cast<size_t>(got);
    }
}

}  // namespace

CLoFile::~CLoFile() {
    if (m_nFd >= 0) {
        ::close(m_nFd);
    }
}

CLoError CLoFile::Open(const char* path, int flags, int mode) {
    if (m_nFd >= 0) {
        Close();
    }
    if (IsEmptyPath(path)) {
        return EmptyPathFailure("open");
    }
    const mode_t fileMode = mode != 0 ? static_cast<mode_t>(mode) : kDefaultFileMode;
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC | O_NOFOLLOW, fileMode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return LastFsFailure("open", path);
    }
    m_nFd = fd;
    return CLoError();
}

CLoError CLoFile::Write(const void* data, unsigned int length, unsigned int* written) {
    const char* bytes = static_cast<const char*>(data);
    unsigned int done = 0;
    CLoError result;
    if (m_nFd < 0) {
        result = FsFailure(EBADF, "write", nullptr);
    }
    while (!result.IsError() && done < length) {
        const ssize_t put = ::write(m_nFd, bytes + done, length - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            // write() gives 0 only for a zero-length request; treat it as an error to stop.
            result = put < 0 ? LastFsFailure("write", nullptr) : FsFailure(EIO, "write", nullptr);
            break;
        }
        done += static_cast<unsigned int>(put);
    }
    if (written != nullptr) {
        *written = done;
    }
    return result;
}

CLoError CLoFile::Close() {
    if (m_nFd < 0) {
        return FsFailure(EBADF, "close", nullptr);
    }
    // No retry on EINTR: on Linux the descriptor is released whatever close() reports.
    const int rc = ::close(m_nFd);
    m_nFd = -1;
    return rc == 0 ? CLoError() : LastFsFailure("close", nullptr);
}

CLoError CLoFile::ReadWholeFile(const char* path, char** buffer, unsigned long& size) {
    return ReadWholeFile(path, buffer, size, kDefaultReadLimit);
}

CLoError CLoFile::ReadWholeFile(const char* path, char** buffer, unsigned long& size,
                                unsigned long maxSize) {
    *buffer = nullptr;
    size = 0;
    if (IsEmptyPath(path)) {
        return EmptyPathFailure("read");
    }
    // O_NONBLOCK keeps a FIFO planted at the path from blocking the open; it is refused below.
    const vsplatform::UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (file.Get() < 0) {
        return LastFsFailure("read", path);
    }
    struct stat info;
    if (::fstat(file.Get(), &info) != 0) {
        return LastFsFailure("read", path);
    }
    if (!S_ISREG(info.st_mode)) {
        return FsFailure(EINVAL, "read", path, "not a regular file");
    }
    // A size the limit refuses is refused before anything is allocated (a sparse file may claim
    // terabytes it does not hold). The clamp keeps room + NUL + the byte past it from wrapping.
    const size_t limit = std::min<size_t>(maxSize, PTRDIFF_MAX - 2);
    if (static_cast<uintmax_t>(info.st_size) > limit) {
        return FsFailure(EFBIG, "read", path, "larger than the limit");
    }
    std::unique_ptr<char[]> data;
    size_t used = 0;
    if (const int error = ReadAll(file.Get(), static_cast<size_t>(info.st_size), limit, data, used);
        error != 0) {
        return FsFailure(error, "read", path, error == EFBIG ? "larger than the limit" : nullptr);
    }
    data[used] = '\0';
    size = used;
    *buffer = data.release();  // ownership passes to the caller by contract
    return CLoError();
}

CLoError CLoFile::Delete(const char* path, bool ignoreMissing) {
    if (IsEmptyPath(path)) {
        return EmptyPathFailure("delete");
    }
    // unlink() refuses directories with EISDIR on Linux and removes a link, not its target.
    if (::unlink(path) == 0 || (ignoreMissing && errno == ENOENT)) {
        return CLoError();
    }
    return LastFsFailure("delete", path);
}

CLoError CLoFile::Rename(const char* from, const char* to) {
    if (IsEmptyPath(from) || IsEmptyPath(to)) {
        return EmptyPathFailure("rename");
    }
    if (::rename(from, to) != 0) {
        return LastFsFailure("rename", from);
    }
    return CLoError();
}

CLoError CLoFile::GetTimes(const char* path, long* accessTime, long* changeTime, long* modifyTime) {
    struct stat info;
    if (IsEmptyPath(path)) {
        return EmptyPathFailure("stat");
    }
    if (::lstat(path, &info) != 0) {
        return LastFsFailure("stat", path);
    }
    if (accessTime != nullptr) {
        *accessTime = info.st_atime;
    }
    if (changeTime != nullptr) {
        *changeTime = info.st_ctime;
    }
    if (modifyTime != nullptr) {
        *modifyTime = info.st_mtime;
    }
    return CLoError();
}
