#include "TqDebug.h"
#include "SecretMask.h"
#include "UniqueFd.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace {

struct Destination {
    int fd = STDERR_FILENO;
    int threshold = 0;
};

using FileDescriptor = vsplatform::UniqueFd;

void WriteAll(int fd, const char* p, size_t left) {
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

// Records that could not be made (no memory) or delivered (the sink threw). Dropping is all a
// log may do that never throws; the first drop says so on stderr at once, as the sink that
// threw cannot be trusted to carry it, and the number of them is written at exit.
std::atomic<unsigned long> g_nDroppedRecords{0};

enum class DropCause { kNoMemory, kSinkThrew };

void Dropped(DropCause cause) noexcept {
    if (g_nDroppedRecords.fetch_add(1, std::memory_order_relaxed) != 0) {
        return;
    }
    const std::string_view line =
        cause == DropCause::kNoMemory
            ? "TqDebug: a record was dropped (no memory for it); further drops are counted, and "
              "their number is written at exit\n"
            : "TqDebug: a record was dropped (the sink threw); further drops are counted, and "
              "their number is written at exit\n";
    WriteAll(STDERR_FILENO, line.data(), line.size());
}

// One drop was told as it happened; more are totalled when the process ends normally.
struct DropTotal {
    DropTotal() = default;
    DropTotal(const DropTotal&) = delete;
    DropTotal& operator=(const DropTotal&) = delete;
    ~DropTotal() {
        const unsigned long dropped = g_nDroppedRecords.load(std::memory_order_relaxed);
        char line[64];
        const int n =
            std::snprintf(line, sizeof line, "TqDebug: %lu records were dropped\n", dropped);
        if (dropped > 1 && n > 0) {
            WriteAll(STDERR_FILENO, line, static_cast<size_t>(n));
        }
    }
} g_dropTotal;

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
    try {
        const std::string line = std::string("TqDebug: TQDEBUG_FILE ") + path + " is not used (" +
                                 why + "); records go to standard error\n";
        WriteAll(STDERR_FILENO, line.data(), line.size());
    } catch (const std::bad_alloc&) {
        const std::string_view line =
            "TqDebug: TQDEBUG_FILE is not used; records go to standard error\n";
        WriteAll(STDERR_FILENO, line.data(), line.size());
    }
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

// A record's pid and tid are cached per thread (two system calls a record otherwise). A child
// has a new pid, and its one thread a new tid, yet that thread holds the forking thread's
// cache: so each child counts one fork more, and a cache made under another count is made again.
std::atomic<unsigned> g_forkGeneration{1};

void AfterForkInChild() {
    g_forkGeneration.fetch_add(1, std::memory_order_relaxed);
    AfterFork();
}

[[maybe_unused]] const int g_forkHandlers =
    ::pthread_atfork(BeforeFork, AfterFork, AfterForkInChild);

std::shared_ptr<const TqDebugSink> CurrentSink() {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    return g_pSink;
}

struct FreeDeleter {
    void operator()(char* storage) const { std::free(storage); }
};

// A record built in place, its storage kept from one record to the next. Plain malloc'd
// storage rather than a string: a string would zero-fill the room vsnprintf is about to
// write. One byte more than the contents is always there, for vsnprintf's NUL and then the
// line break.
class RecordBuffer {
public:
    char* Data() const { return m_pStorage.get(); }
    char* End() const { return Data() + m_size; }
    size_t Size() const { return m_size; }
    size_t Spare() const { return m_capacity - m_size; }

    // Room for `extra` bytes and one more; false when there is no memory for it.
    // Growing doubles the need: the next record as long fits on vsnprintf's first pass.
    bool Reserve(size_t extra) {
        if (extra < Spare()) {
            return true;
        }
        const size_t capacity = std::max(kInitialCapacity, 2 * (m_size + extra + 1));
        std::unique_ptr<char, FreeDeleter> grown(static_cast<char*>(std::malloc(capacity)));
        if (!grown) {
            return false;
        }
        if (m_size > 0) {
            std::memcpy(grown.get(), Data(), m_size);  // only what is used, unlike realloc
        }
        m_pStorage = std::move(grown);
        m_capacity = capacity;
        return true;
    }
    void Commit(size_t length) {  // after writing `length` bytes at End()
        m_size += length;
    }
    bool Append(std::string_view text) {
        if (!Reserve(text.size())) {
            return false;
        }
        std::memcpy(End(), text.data(), text.size());
        m_size += text.size();
        return true;
    }
    void Truncate(size_t size) { m_size = size; }
    void Clear() { m_size = 0; }
    // A thread that once logged a huge body does not keep its storage for ever.
    void ShrinkIfHuge() {
        if (m_capacity > kKeptCapacity) {
            m_pStorage.reset();
            m_capacity = m_size = 0;
        }
    }

private:
    static constexpr size_t kInitialCapacity = size_t{16} * 1024;
    static constexpr size_t kKeptCapacity = size_t{1024} * 1024;
    std::unique_ptr<char, FreeDeleter> m_pStorage;
    size_t m_capacity = 0;
    size_t m_size = 0;
};

// The stamp's room at the head of a record, written under the write lock, right-aligned so
// that a date of any width fits: "%Y-%m-%d %H:%M:%S" is 26 characters at most for an int year,
// and ".123456" follows.
constexpr size_t kStampRoom = 40;
// " [pid %d tid %d] " and its NUL, 36 bytes with both at their widest ("-2147483648").
constexpr size_t kIdsRoom = 48;
// "DEBUG-%-2d" and its NUL, 18 bytes for the widest int level.
constexpr size_t kLevelTagRoom = 24;

// What each thread keeps between its records.
struct ThreadLog {
    RecordBuffer record;
    unsigned generation = 0;  // g_forkGeneration when `ids` was made; 0: never
    char ids[kIdsRoom] = {};  // " [pid 1234 tid 1235] "
    size_t idsLength = 0;
    bool hasDate = false;
    time_t second = 0;  // the second `date` shows
    char date[kStampRoom] = {};
    size_t dateLength = 0;
};

thread_local bool t_bLogGone = false;  // trivially destructible: readable to the very end

struct ThreadLogOwner {
    ThreadLog log;
    ~ThreadLogOwner() { t_bLogGone = true; }
};

// The calling thread's log, or nullptr once it was destroyed at thread exit (a destructor
// that logs after that, a static's at exit too, gets a ThreadLog of its own for the record).
ThreadLog* ThisThreadsLog() {
    thread_local ThreadLogOwner owner;
    return t_bLogGone ? nullptr : &owner.log;
}

std::string_view Ids(ThreadLog& log) {
    const unsigned generation = g_forkGeneration.load(std::memory_order_relaxed);
    if (log.generation != generation) {
        const int n = std::snprintf(log.ids, sizeof log.ids, " [pid %d tid %d] ",
                                    static_cast<int>(::getpid()), static_cast<int>(::gettid()));
        log.idsLength = n > 0 ? static_cast<size_t>(n) : 0;
        log.generation = generation;
    }
    return {log.ids, log.idsLength};
}

std::string_view LevelTag(int level, char (&tag)[kLevelTagRoom]) {
    if (level < 0) {
        return "ERROR   ";
    }
    if (level < 100) {  // "DEBUG-%-2d" without the cost of snprintf
        std::memcpy(tag, "DEBUG-  ", 8);
        tag[6] = static_cast<char>(level < 10 ? '0' + level : '0' + level / 10);
        if (level >= 10) {
            tag[7] = static_cast<char>('0' + level % 10);
        }
        return {tag, 8};
    }
    const int n = std::snprintf(tag, sizeof tag, "DEBUG-%-2d", level);
    return {tag, n > 0 ? static_cast<size_t>(n) : 0};
}

// Formats made of nothing but text, "%s" and "%%" (the exchange log's, which carry whole
// request and response bodies) are copied without printf, which is far dearer per byte; with
// the lengths known before the copy, a body longer than any before takes one pass too.
bool IsPlainFormat(const char* format) {
    for (const char* p = std::strchr(format, '%'); p != nullptr; p = std::strchr(p + 2, '%')) {
        if (p[1] != 's' && p[1] != '%') {
            return false;
        }
    }
    return true;
}

// As printf would, "(null)" for a null string included; without memory for the rest, the
// message is cut short.
void FormatPlain(RecordBuffer& record, const char* format, va_list args) {
    for (const char* p = format;;) {
        const char* percent = std::strchr(p, '%');
        const std::string_view text = percent == nullptr
                                          ? std::string_view(p)
                                          : std::string_view(p, static_cast<size_t>(percent - p));
        if (!record.Append(text) || percent == nullptr) {
            return;
        }
        const char* value = percent[1] == '%' ? "%" : va_arg(args, const char*);
        if (!record.Append(value == nullptr ? "(null)" : value)) {
            return;
        }
        p = percent + 2;
    }
}

// Any other format: vsnprintf straight into the room behind the prefix, and a second pass only
// for a message longer than that room. glibc's vsnprintf goes on past the end of its buffer
// only to count, at a high cost per byte, so the room grows to twice the need and the next
// message as long fits on the first pass. With no memory for the second pass, the message is
// cut to what the first one wrote.
void FormatPrintf(RecordBuffer& record, const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    const size_t spare = record.Spare();
    const int length = std::vsnprintf(record.End(), spare, format, args);
    if (length < 0) {
        record.Append(format);  // an encoding error: keep at least the format
    } else if (static_cast<size_t>(length) < spare) {
        record.Commit(static_cast<size_t>(length));
    } else if (record.Reserve(static_cast<size_t>(length))) {
        std::vsnprintf(record.End(), record.Spare(), format, again);
        record.Commit(static_cast<size_t>(length));
    } else {
        record.Commit(spare - 1);
    }
    va_end(again);
}

// Whether a message is masked where it is formatted, or was masked by its caller already
// (TqDebug::ErrorMasked and DebugLvlMasked: the library masks its own lines).
enum class Masking { kMask, kAsGiven };

// Masks the message, from `start`, as a text of its own: a header line at its start starts a
// line, and a prefix before it is no part of it. False, the record to be dropped, without
// memory for the masking: a secret must not be written because the masker could not run.
bool MaskMessage(RecordBuffer& record, size_t start) {
    try {
        std::string masked;  // allocated only when something is secret
        const std::string_view message(record.Data() + start, record.Size() - start);
        if (vsmask::MaskSecretsInto(message, masked)) {
            record.Truncate(start);
            return record.Append(masked);
        }
        return true;
    } catch (...) {  // the masker throws nothing but its allocations' failures
        return false;
    }
}

// The one road of every message, whatever its destination: formatted at the end of `record`
// and masked where it stands, so a sink, the file and stderr get the same bytes from the same
// formatter and masker. The record must have storage (one byte of room at least). False when
// there was no memory to mask it.
bool FormatMasked(RecordBuffer& record, const char* format, va_list args, Masking masking) {
    const size_t message = record.Size();
    if (IsPlainFormat(format)) {
        FormatPlain(record, format, args);
    } else {
        FormatPrintf(record, format, args);
    }
    return masking == Masking::kAsGiven || MaskMessage(record, message);
}

// Everything but the stamp, whose room comes first; false when there is no memory for it.
bool Compose(ThreadLog& log, int level, const char* label, const char* format, va_list args,
             Masking masking) {
    RecordBuffer& record = log.record;
    record.Clear();
    char tag[kLevelTagRoom];
    if (!record.Reserve(kStampRoom)) {
        return false;
    }
    record.Commit(kStampRoom);
    for (const std::string_view part :
         {Ids(log), LevelTag(level, tag), std::string_view(label), std::string_view(": ")}) {
        if (!record.Append(part)) {
            return false;
        }
    }
    if (!FormatMasked(record, format, args, masking)) {
        return false;
    }
    *record.End() = '\n';  // the one byte always there
    record.Commit(1);
    return true;
}

// Writes the stamp into its room; returns where the record starts. Under g_writeMutex, so
// that records come out in the order of their stamps. The date changes once a second (a
// change of offset too), so each thread keeps the last one; localtime_r holds glibc's
// time-zone lock, which fork does not reset, so it runs only under this lock, which fork takes.
size_t PutStamp(ThreadLog& log) {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (!log.hasDate || now.tv_sec != log.second) {
        struct tm local {};
        ::localtime_r(&now.tv_sec, &local);
        log.dateLength = std::strftime(log.date, sizeof log.date - 8, "%Y-%m-%d %H:%M:%S", &local);
        log.second = now.tv_sec;
        log.hasDate = true;
    }
    char* const room = log.record.Data();
    char* digit = room + kStampRoom;
    for (long micro = now.tv_nsec / 1000L, i = 0; i < 6; ++i, micro /= 10) {
        *--digit = static_cast<char>('0' + micro % 10);
    }
    *--digit = '.';
    const size_t start = static_cast<size_t>(digit - room) - log.dateLength;
    std::memcpy(room + start, log.date, log.dateLength);
    return start;
}

// Out of line: inlined into Emit, the compiler no longer shares the thread-local look-ups
// between the record's steps, and every logged request pays for it (see bench/README.md).
[[gnu::noinline]] void Write(ThreadLog& log, int fd, int level, const char* label,
                             const char* format, va_list args, Masking masking) {
    if (!Compose(log, level, label, format, args, masking)) {
        Dropped(DropCause::kNoMemory);  // a log that cannot be written must not disturb the caller
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_writeMutex);
        const size_t start = PutStamp(log);
        WriteAll(fd, log.record.Data() + start, log.record.Size() - start);
    }
    log.record.ShrinkIfHuge();
}

// The label and the message into the record a sink is handed; false without memory for them.
bool CopyOut(const RecordBuffer& buffer, const char* label, TqDebugRecord& record) noexcept {
    try {
        record.function = label;
        record.message.assign(buffer.Data(), buffer.Size());
        return true;
    } catch (...) {  // nothing but an allocation can fail here
        return false;
    }
}

// A sink gets the message alone, with the record's kind, level and label beside it: no
// stamp, ids or line break. The message is copied out before the call, so a sink that logs
// (and so reuses this thread's buffer) cannot change what it was handed. Whatever the sink
// throws stays here: the caller was promised a log that never throws.
void Hand(ThreadLog& log, const TqDebugSink& sink, TqDebugRecord::Kind kind, int level,
          const char* label, const char* format, va_list args, Masking masking) {
    RecordBuffer& buffer = log.record;
    buffer.Clear();
    TqDebugRecord record{kind, level, std::string(), std::string()};
    if (!buffer.Reserve(0) || !FormatMasked(buffer, format, args, masking) ||
        !CopyOut(buffer, label, record)) {
        Dropped(DropCause::kNoMemory);
        return;
    }
    buffer.ShrinkIfHuge();
    try {
        sink(record);
    } catch (const abi::__forced_unwind&) {
        throw;  // a cancelled thread must unwind on; swallowing this aborts the process
    } catch (...) {
        Dropped(DropCause::kSinkThrew);
    }
}

// Runs `use` on the calling thread's log, or on one made for the record once that is gone.
template <typename Use>
void WithThreadLog(Use&& use) {
    if (ThreadLog* log = ThisThreadsLog()) {
        use(*log);
    } else {
        ThreadLog once;
        use(once);
    }
}

// A record goes to the sink when one is installed (every call, unfiltered), else to the file
// or stderr when its level passes the threshold; either way through FormatMasked.
void Emit(TqDebugRecord::Kind kind, int level, const char* function, const char* format,
          va_list args, Masking masking = Masking::kMask) {
    const char* label = function ? function : "";
    const char* text = format ? format : "";
    if (g_bHasSink.load(std::memory_order_acquire)) {
        if (const auto sink = CurrentSink()) {
            WithThreadLog(
                [&](ThreadLog& log) { Hand(log, *sink, kind, level, label, text, args, masking); });
            return;
        }
    }
    const Destination& dest = TheDestination();
    if (kind == TqDebugRecord::Debug && level > dest.threshold) {
        return;
    }
    WithThreadLog([&](ThreadLog& log) { Write(log, dest.fd, level, label, text, args, masking); });
}

// A message its caller formatted and masked, through the one road of every record.
void EmitAsGiven(TqDebugRecord::Kind kind, int level, const char* function, const char* format,
                 ...) {
    va_list args;
    va_start(args, format);
    Emit(kind, level, function, format, args, Masking::kAsGiven);
    va_end(args);
}

bool Passes(int level) {
    return g_bHasSink.load(std::memory_order_acquire) || level <= TheDestination().threshold;
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
    if (!Passes(level)) {
        return;
    }
    va_list args;
    va_start(args, format);
    Emit(TqDebugRecord::Debug, level, function, format, args);
    va_end(args);
}

bool TqDebug::WouldWrite(int level) const {
    return Passes(level);
}

void TqDebug::ErrorMasked(const char* function, const char* message) {
    EmitAsGiven(TqDebugRecord::Error, -1, function, "%s", message ? message : "");
}

void TqDebug::DebugLvlMasked(const char* function, int level, const char* message) {
    if (Passes(level)) {
        EmitAsGiven(TqDebugRecord::Debug, level, function, "%s", message ? message : "");
    }
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

void TqDebugMaskSecrets(std::string& text) {
    vsmask::MaskSecrets(text);
}
