#include "TqDebug.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>

namespace {

struct Destination {
    int fd = STDERR_FILENO;
    int threshold = 0;
};

Destination LoadDestination() {
    Destination d;
    if (const char* file = std::getenv("TQDEBUG_FILE"); file != nullptr && *file != '\0') {
        int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
        if (fd >= 0) {
            d.fd = fd;  // kept open for the life of the process, like stderr
        }
    }
    if (const char* level = std::getenv("TQDEBUG_LEVEL"); level != nullptr && *level != '\0') {
        char* end = nullptr;
        long value = std::strtol(level, &end, 10);
        if (end != level && *end == '\0') {
            d.threshold = static_cast<int>(value);
        }
    }
    return d;
}

const Destination& TheDestination() {
    static const Destination d = LoadDestination();
    return d;
}

// The sink is read on every call, so the common case (none installed) is one relaxed load.
std::atomic<bool> g_bHasSink{false};
std::mutex g_sinkMutex;
std::shared_ptr<const TqDebugSink> g_pSink;

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
    std::string line;
    line.reserve(256);
    AppendPrefix(line, kind == TqDebugRecord::Error ? -1 : level);
    line += function ? function : "";
    line += ": ";
    std::string message = FormatMessage(format ? format : "", args);
    TqDebugMaskSecrets(message);  // after the filter: a record not written costs nothing
    line += message;
    line += '\n';
    static std::mutex writeMutex;  // keeps records whole when the destination is a pipe
    std::lock_guard<std::mutex> lock(writeMutex);
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
