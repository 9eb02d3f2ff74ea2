#include "CLoFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "LoFailure.h"

namespace {

// Closes a descriptor on every way out of a read.
struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
};

// Appends everything left to read; 0, or the errno that stopped the read.
int ReadAll(int fd, std::string& text) {
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0) {
            return 0;
        }
        if (n > 0) {
            text.append(chunk, static_cast<size_t>(n));
        } else if (errno != EINTR) {
            return errno;
        }
    }
}

}  // namespace

CLoFile::CLoFile() = default;

CLoFile::~CLoFile() {
    if (m_nFd >= 0) {
        ::close(m_nFd);
    }
}

CLoError CLoFile::Open(const char* path, int flags, int mode) {
    if (m_nFd >= 0) {
        Close();
    }
    const mode_t created = mode != 0 ? static_cast<mode_t>(mode) : 0644;
    m_nFd = ::open(path, flags | O_CLOEXEC, created);
    return m_nFd >= 0 ? CLoError() : CLoErrorFactory::FromLastErrno("open", path);
}

CLoError CLoFile::Write(const void* data, unsigned int length, unsigned int* written) {
    const char* bytes = static_cast<const char*>(data);
    unsigned int done = 0;
    CLoError result;
    while (done < length) {
        const ssize_t n = ::write(m_nFd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            result = CLoErrorFactory::FromLastErrno("write", nullptr);
            break;
        }
        done += static_cast<unsigned int>(n);
    }
    if (written != nullptr) {
        *written = done;
    }
    return result;
}

CLoError CLoFile::Close() {
    if (m_nFd < 0) {
        return CLoErrorFactory::FromErrno(EBADF, "close", nullptr);
    }
    const int fd = m_nFd;
    m_nFd = -1;
    return ::close(fd) == 0 ? CLoError() : CLoErrorFactory::FromLastErrno("close", nullptr);
}

CLoError CLoFile::ReadWholeFile(const char* path, char** buffer, unsigned long& size) {
    *buffer = nullptr;
    size = 0;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return CLoErrorFactory::FromLastErrno("open", path);
    }
    const FdCloser closer{fd};
    std::string text;
    if (const int error = ReadAll(fd, text); error != 0) {
        return CLoErrorFactory::FromErrno(error, "read", path);
    }
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);  // the caller frees it with delete[]
    text.copy(copy.get(), text.size());
    copy[text.size()] = '\0';
    size = text.size();
    *buffer = copy.release();
    return CLoError();
}

CLoError CLoFile::Delete(const char* path, bool /*flag*/) {
    return ::unlink(path) == 0 ? CLoError() : CLoErrorFactory::FromLastErrno("unlink", path);
}

CLoError CLoFile::GetTimes(const char* path, long* accessTime, long* changeTime, long* modifyTime) {
    struct stat info;
    if (::lstat(path, &info) != 0) {
        return CLoErrorFactory::FromLastErrno("lstat", path);
    }
    const long times[] = {info.st_atime, info.st_ctime, info.st_mtime};
    long* const out[] = {accessTime, changeTime, modifyTime};
    for (int i = 0; i < 3; ++i) {
        if (out[i] != nullptr) {
            *out[i] = times[i];
        }
    }
    return CLoError();
}
