#include "LogRecord.h"

#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <string_view>

#include "SecretMask.h"

namespace tqlog {

namespace {

// A record's pid and tid are cached per thread (two system calls a record otherwise). A child
// has a new pid, and its one thread a new tid, yet that thread holds the forking thread's
// cache: so each child counts one fork more, and a cache made under another count is made again.
std::atomic<unsigned> g_forkGeneration{1};

// "DEBUG-%-2d" and its NUL, 18 bytes for the widest int level.
constexpr size_t kLevelTagRoom = 24;

thread_local bool t_bLogGone = false;  // trivially destructible: readable to the very end

struct ThreadLogOwner {
    ThreadLog log;
    ~ThreadLogOwner() { t_bLogGone = true; }
};

}  // namespace

// A thread's log, or nullptr once it was destroyed at thread exit.
ThreadLog* ThisThreadsLog() {
    thread_local ThreadLogOwner owner;
    return t_bLogGone ? nullptr : &owner.log;
}

namespace {

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

}  // namespace

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
    log.message = record.Size();
    if (!FormatMasked(record, format, args, masking)) {
        return false;
    }
    *record.End() = '\n';  // the one byte always there
    record.Commit(1);
    return true;
}

// Under the log's write lock, so that records come out in the order of their stamps. The date
// changes once a second (a change of offset too), so each thread keeps the last one; localtime_r
// holds glibc's time-zone lock, which fork does not reset, so it runs only under this lock, which
// fork takes.
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

void CountForkInChild() {
    g_forkGeneration.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace tqlog
