#include "TqDebug.h"
#include "UniqueFd.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace {

struct Destination {
    int fd = STDERR_FILENO;
    int threshold = 0;
};

using FileDescriptor = vsplatform::UniqueFd;

void WriteAll(int fd, const std::string& line) {
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // a log that cannot be written must not disturb the caller
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

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
int OpenLogFile(const char* path) {
    FileDescriptor fd(
        ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    const char* why = fd.Get() < 0 ? WhyOpenFailed(errno) : WhyUnsuitable(fd.Get());
    if (why == nullptr) {
        return fd.Release();  // kept open for the life of the process, like stderr
    }
    const std::string line = std::string("TqDebug: TQDEBUG_FILE ") + path + " is not used (" + why +
                             "); records go to standard error\n";
    WriteAll(STDERR_FILENO, line);
    return -1;
}

// secure_getenv: a set-user-ID or set-group-ID program is not steered by its caller's settings.
Destination LoadDestination() {
    Destination d;
    if (const char* file = ::secure_getenv("TQDEBUG_FILE"); file != nullptr && *file != '\0') {
        if (const int fd = OpenLogFile(file); fd >= 0) {
            d.fd = fd;
        }
    }
    if (const char* level = ::secure_getenv("TQDEBUG_LEVEL"); level != nullptr && *level != '\0') {
        char* end = nullptr;
        long value = std::strtol(level, &end, 10);
        if (end != level && *end == '\0') {
            d.threshold = static_cast<int>(value);
        }
    }
    return d;
}

// Held while a record is stamped and written, so that records stay whole when the destination
// is a pipe and come out in the order of their stamps; also held while the destination is
// loaded. Not a function-local static: fork must be able to take it (see BeforeFork), and a
// child must not find a static's initialisation half done by a thread it did not inherit.
std::mutex g_writeMutex;
Destination g_destination;  // loaded once under g_writeMutex, then only read
std::atomic<bool> g_bDestinationLoaded{false};

const Destination& TheDestination() {
    if (!g_bDestinationLoaded.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(g_writeMutex);
        if (!g_bDestinationLoaded.load(std::memory_order_relaxed)) {
            g_destination = LoadDestination();
            g_bDestinationLoaded.store(true, std::memory_order_release);
        }
    }
    return g_destination;
}

// The sink is read on every call, so the common case (none installed) is one relaxed load.
std::atomic<bool> g_bHasSink{false};
std::mutex g_sinkMutex;
std::shared_ptr<const TqDebugSink> g_pSink;

// fork copies a held mutex but not the thread that would release it: a child forked while
// another thread writes a record or swaps the sink would wait for ever on its first record.
// So fork waits until neither lock is held and holds both across the copy; parent and child
// then release their own.
void BeforeFork() {
    g_sinkMutex.lock();
    g_writeMutex.lock();
}

void AfterFork() {
    g_writeMutex.unlock();
    g_sinkMutex.unlock();
}

[[maybe_unused]] const int g_forkHandlers = ::pthread_atfork(BeforeFork, AfterFork, AfterFork);

std::shared_ptr<const TqDebugSink> CurrentSink() {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    return g_pSink;
}

// One pass with vasprintf, which grows its own buffer. Formatting into a fixed buffer first
// and again at the measured size costs far more for long messages (request and response
// bodies): once the output passes the buffer, glibc's vsnprintf goes on byte by byte only to
// count, some 30 instructions per byte.
std::string FormatMessage(const char* format, va_list args) {
    char* formatted = nullptr;
    const int length = ::vasprintf(&formatted, format, args);
    if (length < 0) {
        return format;  // an encoding error or no memory: keep at least the format
    }
    const std::unique_ptr<char, decltype(&std::free)> owned(formatted, &std::free);
    return std::string(formatted, static_cast<size_t>(length));
}

void AppendPrefix(std::string& line, int level) {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    ::localtime_r(&now.tv_sec, &local);
    char stamp[96];
    size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(stamp + n, sizeof stamp - n, ".%06ld [pid %d tid %d] ", now.tv_nsec / 1000L,
                  static_cast<int>(::getpid()), static_cast<int>(::gettid()));
    line += stamp;
    if (level < 0) {
        line += "ERROR   ";
    } else {
        char tag[24];
        std::snprintf(tag, sizeof tag, "DEBUG-%-2d", level);
        line += tag;
    }
}

void Emit(TqDebugRecord::Kind kind, int level, const char* function, const char* format,
          va_list args) {
    if (g_bHasSink.load(std::memory_order_acquire)) {
        if (auto sink = CurrentSink()) {
            TqDebugRecord record{kind, level, function ? function : "",
                                 FormatMessage(format ? format : "", args)};
            TqDebugMaskSecrets(record.message);
            (*sink)(record);
            return;
        }
    }
    const Destination& dest = TheDestination();
    if (kind == TqDebugRecord::Debug && level > dest.threshold) {
        return;
    }
    std::string message = FormatMessage(format ? format : "", args);
    TqDebugMaskSecrets(message);  // after the filter: a record not written costs nothing
    const char* label = function ? function : "";
    // The stamp is taken under the lock: localtime_r holds glibc's time-zone lock, which fork
    // does not reset, so it must never be held by another thread when fork runs.
    std::lock_guard<std::mutex> lock(g_writeMutex);
    std::string line;
    line.reserve(std::strlen(label) + message.size() + 96);
    AppendPrefix(line, kind == TqDebugRecord::Error ? -1 : level);
    line += label;
    line += ": ";
    line += message;
    line += '\n';
    WriteAll(dest.fd, line);
}

}  // namespace

TqDebug::TqDebug(TqDebugFileInstance* instance) : m_pInstance(instance) {}

TqDebug::~TqDebug() = default;

void TqDebug::Error(const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Emit(TqDebugRecord::Error, -1, function, format, args);
    va_end(args);
}

void TqDebug::DebugLvl(const char* function, int level, const char* format, ...) {
    // The filter comes before va_start so that a filtered-out record costs next to nothing.
    if (!g_bHasSink.load(std::memory_order_acquire) && level > TheDestination().threshold) {
        return;
    }
    va_list args;
    va_start(args, format);
    Emit(TqDebugRecord::Debug, level, function, format, args);
    va_end(args);
}

TqDebugSink TqDebugSetSink(TqDebugSink sink) {
    std::shared_ptr<const TqDebugSink> next;
    if (sink) {
        next = std::make_shared<const TqDebugSink>(std::move(sink));
    }
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    std::shared_ptr<const TqDebugSink> previous = std::move(g_pSink);
    g_pSink = std::move(next);
    g_bHasSink.store(static_cast<bool>(g_pSink), std::memory_order_release);
    return previous ? *previous : TqDebugSink();
}
