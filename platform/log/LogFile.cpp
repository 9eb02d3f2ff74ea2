#include "LogFile.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "UniqueFd.h"

namespace tqlog {

namespace {

// A write with SIGPIPE blocked on this thread; one it raised is taken back before the mask is
// restored, so that neither the process nor a handler of the program's sees it. One that was
// pending before stays pending.
ssize_t WriteWithoutSigpipe(int fd, const char* data, size_t size) {
    sigset_t pipe;
    sigset_t outer;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe, &outer);
    sigset_t pending;
    const bool wasPending = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    const ssize_t n = ::write(fd, data, size);
    const int error = errno;
    if (n < 0 && error == EPIPE && !wasPending) {
        const struct timespec now {};
        ::sigtimedwait(&pipe, nullptr, &now);
    }
    ::pthread_sigmask(SIG_SETMASK, &outer, nullptr);
    errno = error;
    return n;
}

}  // namespace

bool MayRaiseSigpipe(int fd) {
    struct stat status;
    return ::fstat(fd, &status) != 0 || S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode);
}

bool WriteAll(int fd, const char* data, size_t size, bool guardSigpipe) {
    for (size_t left = size; left > 0;) {
        const ssize_t n =
            guardSigpipe ? WriteWithoutSigpipe(fd, data, left) : ::write(fd, data, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

namespace {

using FileDescriptor = vsplatform::UniqueFd;

// Why an open that failed with `error` cannot take records. With O_NOFOLLOW a symbolic link
// fails with ELOOP, and with O_NONBLOCK a FIFO (or socket) with no reader fails with ENXIO
// instead of waiting for one.
const char* WhyOpenFailed(int error) {
    if (error == ELOOP) {
        return "it is a symbolic link";
    }
    return error == ENXIO ? "it is not a regular file" : std::strerror(error);
}

// Why the open file cannot take records, or nullptr when it can. A FIFO or a device would block
// or act on what is written. Records in a file that group or others may write could be forged or
// cut, and dropping those bits now would not close a descriptor someone already holds.
const char* WhyUnsuitable(int fd) {
    struct stat status;
    if (::fstat(fd, &status) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return "it is not a regular file";
    }
    return (status.st_mode & (S_IWGRP | S_IWOTH)) != 0 ? "group or others may write it" : nullptr;
}

// The descriptor for the file at `path`, or -1 after one line on stderr saying why not. A new
// file is owner-only: records carry host names, user names and bodies. O_NONBLOCK only keeps
// the open from waiting; it has no effect on a regular file.
int OpenLogFile(const char* path, bool stderrTakesRecords) {
    FileDescriptor fd(
        ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    const char* why = fd.Get() < 0 ? WhyOpenFailed(errno) : WhyUnsuitable(fd.Get());
    if (why == nullptr) {
        return fd.Release();  // kept open for the life of the process, like stderr
    }
    const char* where =
        stderrTakesRecords ? "records go to standard error" : "no record is written";
    try {
        const std::string line = std::string("TqDebug: TQDEBUG_FILE ") + path + " is not used (" +
                                 why + "); " + where + "\n";
        WriteAll(STDERR_FILENO, line.data(), line.size());
    } catch (const std::bad_alloc&) {
        const std::string line = std::string("TqDebug: TQDEBUG_FILE is not used; ") + where + "\n";
        WriteAll(STDERR_FILENO, line.data(), line.size());
    }
    return -1;
}

}  // namespace

LogSettings ReadLogSettings(bool stderrTakesRecords) {
    LogSettings settings;
    if (const char* file = ::secure_getenv("TQDEBUG_FILE"); file != nullptr && *file != '\0') {
        settings.fileFd = OpenLogFile(file, stderrTakesRecords);
    }
    if (const char* level = ::secure_getenv("TQDEBUG_LEVEL"); level != nullptr && *level != '\0') {
        char* end = nullptr;
        const long value = std::strtol(level, &end, 10);
        if (end != level && *end == '\0') {
            settings.level = static_cast<int>(value);
        }
    }
    return settings;
}

}  // namespace tqlog
