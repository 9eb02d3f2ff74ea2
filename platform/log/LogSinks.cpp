// The sinks. Every record is composed once (LogRecord.cpp) and handed to each sink whose level
// takes it: the two the log starts with, the file and standard error, write the stamped line;
// a host's sinks receive a TqDebugRecord. The levels live in atomics and the largest of them in
// one more, so a record that no sink takes costs one load. A sink that fails (a write that does
// not go through, a host's sink that throws) is isolated: the other sinks still get the record,
// and the caller never learns of it. Its failures are counted, its first is said on standard
// error and the total at exit, so a failing sink never floods the log it is part of.
// TqDebugSetSink's sink stands in place of all of them, unfiltered, as tests and simple hosts
// want; when it throws, the record is dropped, since no other sink has it.
#include "LogSinks.h"

#include <cxxabi.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "LogFile.h"

namespace tqlog {

namespace {

constexpr int kSilent = TqDebug::kSilent;

bool Takes(int sinkLevel, int recordLevel) {
    return sinkLevel > kSilent && recordLevel <= sinkLevel;
}

// ---- What is said when records are dropped or sinks fail -------------------------------------

// Records that could not be made (no memory) or, with TqDebugSetSink's sink, delivered.
std::atomic<unsigned long> g_nDroppedRecords{0};
// Failures of the sinks that stand beside others (the file, standard error, a host's).
std::atomic<unsigned long> g_nSinkFailures{0};

void Say(std::string_view line) noexcept {
    WriteAll(STDERR_FILENO, line.data(), line.size());
}

enum class DropCause { kNoMemory, kSinkThrew };

void Dropped(DropCause cause) noexcept {
    if (g_nDroppedRecords.fetch_add(1, std::memory_order_relaxed) != 0) {
        return;
    }
    Say(cause == DropCause::kNoMemory
            ? "TqDebug: a record was dropped (no memory for it); further drops are counted, and "
              "their number is written at exit\n"
            : "TqDebug: a record was dropped (the sink threw); further drops are counted, and "
              "their number is written at exit\n");
}

// One line when a sink first fails; `why` says how.
void SayFirstFailure(const char* sink, const char* why) noexcept {
    char line[256];
    const int n = std::snprintf(line, sizeof line,
                                "TqDebug: %s failed (%s); it keeps its records, its failures are "
                                "counted, and their number is written at exit\n",
                                sink, why);
    if (n > 0) {
        Say(std::string_view(line, std::min(static_cast<size_t>(n), sizeof line - 1)));
    }
}

// One drop and one failure were told as they happened; more are totalled at a normal exit.
struct Totals {
    Totals() = default;
    Totals(const Totals&) = delete;
    Totals& operator=(const Totals&) = delete;
    ~Totals() {
        const auto say = [](const char* format, unsigned long count) {
            char line[96];
            const int n = std::snprintf(line, sizeof line, format, count);
            if (count > 1 && n > 0) {
                Say(std::string_view(line, static_cast<size_t>(n)));
            }
        };
        say("TqDebug: %lu records were dropped\n", g_nDroppedRecords.load());
        say("TqDebug: sinks failed %lu times\n", g_nSinkFailures.load());
    }
} g_totals;

// ---- The sinks --------------------------------------------------------------------------------

// The file and standard error. `fd` is set once, when the settings are read, before
// g_bLoaded says so; -1: not in use (no file named, or the file refused).
struct StandardSink {
    int fd;
    bool guardSigpipe;  // a pipe or a socket (set with fd)
    std::atomic<int> level;
    std::atomic<bool> levelSetByHost;
    std::atomic<unsigned long> failures;
};
StandardSink g_file{-1, false, {kSilent}, {false}, {0}};
StandardSink g_stderr{STDERR_FILENO, true, {0}, {false}, {0}};

StandardSink* Standard(TqDebug::SinkId id) {
    if (id == TqDebug::kFileSink) {
        return &g_file;
    }
    return id == TqDebug::kStderrSink ? &g_stderr : nullptr;
}

// A host's sink. An entry is never changed once published: a new level makes a new list, whose
// entry shares the call and the failure count.
struct HostSink {
    TqDebug::SinkId id;
    int level;
    std::shared_ptr<const TqDebugSink> call;
    std::shared_ptr<std::atomic<unsigned long>> failures;
};
using HostSinks = std::vector<HostSink>;
const HostSinks kNoHostSinks;

// Held while the sinks change and while the settings are read. Not a function-local static:
// fork must be able to take it (see BeforeFork).
std::mutex g_sinkMutex;
std::shared_ptr<const HostSinks> g_pHostSinks;  // never empty: null instead

// The host's sinks, under g_sinkMutex.
const HostSinks& HostSinksNow() {
    return g_pHostSinks ? *g_pHostSinks : kNoHostSinks;
}
std::shared_ptr<const TqDebugSink> g_pOnlySink;  // TqDebugSetSink's
TqDebug::SinkId g_nextSinkId = TqDebug::kStderrSink + 1;
// Whether either of the two above is set: the common case (neither) takes no lock.
std::atomic<bool> g_bHostSinks{false};
std::atomic<bool> g_bLoaded{false};
// The largest level of a sink in use; kSilent when none takes anything.
std::atomic<int> g_maxLevel{kSilent};

// Held while a stamped line is written, so that lines stay whole when the destination is a
// pipe and come out in the order of their stamps.
std::mutex g_writeMutex;

// fork copies a held mutex but not the thread that would release it: a child forked while
// another thread writes a record or changes the sinks would wait for ever on its first record.
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

void AfterForkInChild() {
    CountForkInChild();
    AfterFork();
}

[[maybe_unused]] const int g_forkHandlers =
    ::pthread_atfork(BeforeFork, AfterFork, AfterForkInChild);

// Under g_sinkMutex.
void RecomputeMaxLevel() {
    int level = kSilent;
    if (g_pOnlySink) {
        level = INT_MAX;  // unfiltered
    } else {
        for (const StandardSink* sink : {&g_file, &g_stderr}) {
            if (sink->fd >= 0) {
                level = std::max(level, sink->level.load(std::memory_order_relaxed));
            }
        }
        for (const HostSink& sink : HostSinksNow()) {
            level = std::max(level, sink.level);
        }
    }
    g_maxLevel.store(level, std::memory_order_relaxed);
}

void PublishHostSinks(HostSinks sinks) {
    g_pHostSinks = sinks.empty() ? nullptr : std::make_shared<const HostSinks>(std::move(sinks));
    g_bHostSinks.store(g_pHostSinks || g_pOnlySink, std::memory_order_release);
    RecomputeMaxLevel();
}

// The settings, once per process, at the first record or question. A level the host set
// stays; otherwise the file takes TQDEBUG_LEVEL when it is used, and standard error when not.
void EnsureLoaded() {
    if (g_bLoaded.load(std::memory_order_acquire)) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    if (g_bLoaded.load(std::memory_order_relaxed)) {
        return;
    }
    const bool stderrTakes = !g_stderr.levelSetByHost.load() || g_stderr.level.load() > kSilent;
    const LogSettings settings = ReadLogSettings(stderrTakes);
    const int level = std::max(settings.level, -1);  // a level never silences Error records
    g_file.fd = settings.fileFd;                     // a regular file: it raises no SIGPIPE
    g_stderr.guardSigpipe = MayRaiseSigpipe(STDERR_FILENO);
    if (!g_file.levelSetByHost.load()) {
        g_file.level.store(level);
    }
    if (!g_stderr.levelSetByHost.load()) {
        g_stderr.level.store(settings.fileFd >= 0 ? kSilent : level);
    }
    RecomputeMaxLevel();
    g_bLoaded.store(true, std::memory_order_release);
}

// ---- Delivery ---------------------------------------------------------------------------------

void StandardFailed(StandardSink& sink, int error) noexcept {
    g_nSinkFailures.fetch_add(1, std::memory_order_relaxed);
    if (sink.failures.fetch_add(1, std::memory_order_relaxed) == 0 && &sink == &g_file) {
        SayFirstFailure("the log file", std::strerror(error));  // standard error cannot say so
    }
}

// The stamped line to the file and standard error, as their levels take it.
void WriteStandard(ThreadLog& log, int level) {
    StandardSink* takers[2];
    size_t count = 0;
    for (StandardSink* sink : {&g_file, &g_stderr}) {
        if (sink->fd >= 0 && Takes(sink->level.load(std::memory_order_relaxed), level)) {
            takers[count++] = sink;
        }
    }
    if (count == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_writeMutex);
    const size_t start = PutStamp(log);
    const char* line = log.record.Data() + start;
    for (size_t i = 0; i < count; ++i) {
        if (!WriteAll(takers[i]->fd, line, log.record.Size() - start, takers[i]->guardSigpipe)) {
            StandardFailed(*takers[i], errno);
        }
    }
}

// The label and the message, without its line break, into the record a host's sink is handed;
// false without memory for them. Copied before any call, so that a sink that logs (and so
// reuses this thread's buffer) cannot change what it was handed.
bool CopyOut(const ThreadLog& log, const char* label, TqDebugRecord& record) noexcept {
    try {
        record.function = label;
        record.message.assign(log.record.Data() + log.message, log.record.Size() - 1 - log.message);
        return true;
    } catch (...) {  // nothing but an allocation can fail here
        return false;
    }
}

// Runs a host's sink; false when it threw. A cancelled thread must unwind on: swallowing that
// aborts the process.
bool Call(const TqDebugSink& sink, const TqDebugRecord& record) {
    try {
        sink(record);
        return true;
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return false;
    }
}

void HandToHosts(ThreadLog& log, const HostSinks& sinks, TqDebugRecord::Kind kind, int level,
                 const char* label) {
    if (std::none_of(sinks.begin(), sinks.end(),
                     [level](const HostSink& sink) { return Takes(sink.level, level); })) {
        return;
    }
    TqDebugRecord record{kind, level, std::string(), std::string()};
    if (!CopyOut(log, label, record)) {
        Dropped(DropCause::kNoMemory);
        return;
    }
    log.record.ShrinkIfHuge();
    for (const HostSink& sink : sinks) {
        if (Takes(sink.level, level) && !Call(*sink.call, record)) {
            g_nSinkFailures.fetch_add(1, std::memory_order_relaxed);
            if (sink.failures->fetch_add(1, std::memory_order_relaxed) == 0) {
                char name[32];
                std::snprintf(name, sizeof name, "sink %u", sink.id);
                SayFirstFailure(name, "it threw");
            }
        }
    }
}

void HandToOnly(ThreadLog& log, const TqDebugSink& sink, TqDebugRecord::Kind kind, int level,
                const char* label) {
    TqDebugRecord record{kind, level, std::string(), std::string()};
    if (!CopyOut(log, label, record)) {
        Dropped(DropCause::kNoMemory);
        return;
    }
    log.record.ShrinkIfHuge();
    if (!Call(sink, record)) {
        Dropped(DropCause::kSinkThrew);
    }
}

}  // namespace

bool AnySinkTakes(int level) {
    EnsureLoaded();
    const int largest = g_maxLevel.load(std::memory_order_relaxed);
    return largest > kSilent && level <= largest;
}

void Deliver(ThreadLog& log, TqDebugRecord::Kind kind, int level, const char* label) {
    if (!g_bHostSinks.load(std::memory_order_acquire)) {
        WriteStandard(log, level);
        log.record.ShrinkIfHuge();
        return;
    }
    std::shared_ptr<const TqDebugSink> only;
    std::shared_ptr<const HostSinks> sinks;
    {
        std::lock_guard<std::mutex> lock(g_sinkMutex);
        only = g_pOnlySink;
        sinks = g_pHostSinks;
    }
    if (only) {
        HandToOnly(log, *only, kind, level, label);
        return;
    }
    WriteStandard(log, level);
    if (sinks) {
        HandToHosts(log, *sinks, kind, level, label);
    }
    log.record.ShrinkIfHuge();
}

void DropRecord() noexcept {
    Dropped(DropCause::kNoMemory);
}

}  // namespace tqlog

using tqlog::g_sinkMutex;

TqDebug::SinkId TqDebug::AddSink(TqDebugSink sink, int level) {
    if (!sink) {
        return 0;
    }
    auto call = std::make_shared<const TqDebugSink>(std::move(sink));
    auto failures = std::make_shared<std::atomic<unsigned long>>(0);
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    tqlog::HostSinks sinks = tqlog::HostSinksNow();
    const SinkId id = tqlog::g_nextSinkId++;
    sinks.push_back({id, std::max(level, kSilent), std::move(call), std::move(failures)});
    tqlog::PublishHostSinks(std::move(sinks));
    return id;
}

bool TqDebug::RemoveSink(SinkId id) {
    if (tqlog::Standard(id) != nullptr) {
        return SetSinkLevel(id, kSilent);
    }
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    tqlog::HostSinks sinks = tqlog::HostSinksNow();
    const auto gone = std::remove_if(sinks.begin(), sinks.end(),
                                     [id](const tqlog::HostSink& sink) { return sink.id == id; });
    if (gone == sinks.end()) {
        return false;
    }
    sinks.erase(gone, sinks.end());
    tqlog::PublishHostSinks(std::move(sinks));
    return true;
}

bool TqDebug::SetSinkLevel(SinkId id, int level) {
    level = std::max(level, kSilent);
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    if (tqlog::StandardSink* standard = tqlog::Standard(id)) {
        standard->level.store(level, std::memory_order_relaxed);
        standard->levelSetByHost.store(true);
        tqlog::RecomputeMaxLevel();
        return true;
    }
    tqlog::HostSinks sinks = tqlog::HostSinksNow();
    const auto found = std::find_if(sinks.begin(), sinks.end(),
                                    [id](const tqlog::HostSink& sink) { return sink.id == id; });
    if (found == sinks.end()) {
        return false;
    }
    found->level = level;
    tqlog::PublishHostSinks(std::move(sinks));
    return true;
}

unsigned long TqDebug::SinkFailures(SinkId id) {
    if (const tqlog::StandardSink* standard = tqlog::Standard(id)) {
        return standard->failures.load(std::memory_order_relaxed);
    }
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    for (const tqlog::HostSink& sink : tqlog::HostSinksNow()) {
        if (sink.id == id) {
            return sink.failures->load(std::memory_order_relaxed);
        }
    }
    return 0;
}

TqDebugSink TqDebugSetSink(TqDebugSink sink) {
    std::shared_ptr<const TqDebugSink> next;
    if (sink) {
        next = std::make_shared<const TqDebugSink>(std::move(sink));
    }
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    std::shared_ptr<const TqDebugSink> previous = std::move(tqlog::g_pOnlySink);
    tqlog::g_pOnlySink = std::move(next);
    tqlog::g_bHostSinks.store(tqlog::g_pHostSinks || tqlog::g_pOnlySink, std::memory_order_release);
    tqlog::RecomputeMaxLevel();
    return previous ? *previous : TqDebugSink();
}
