// Logs through TqDebug in one of a few ways, so tests can check the default destination with
// the environment they choose.
// Usage: tqdebug_probe basic|threads|filtered|fork|long|failing|quiet|nopipe
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TqDebug.h"

// While set, every allocation through operator new fails, the log's inside the platform
// library included (this program's operator new replaces the one it would call).
std::atomic<bool> g_bNoMemory{false};

void* operator new(std::size_t size) {
    void* p = g_bNoMemory.load() ? nullptr : std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {  // a sanitizer's would not take malloc's
    std::free(p);
}

namespace {

const char* const kLabel = "int main(int, char**)";

void Basic(TqDebug& log) {
    log.Error(kLabel, "error %d [%s] password=%s", 7, "text", "hunter2");
    log.DebugLvl(kLabel, 0, "level zero");
    log.DebugLvl(kLabel, 2, "level two");
    log.DebugLvl(kLabel, 3, "level three");
}

// Long records from many threads: each must come out whole, on its own line.
void Threads(TqDebug& log) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&log, t] {
            const std::string payload(3000, static_cast<char>('a' + t));
            for (int i = 0; i < 200; ++i) {
                log.Error(kLabel, "<%s>", payload.c_str());
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
}

// A record above the threshold must not be formatted: formatting this one would read from an
// invalid address and crash.
void Filtered(TqDebug& log) {
    const char* invalid = reinterpret_cast<const char*>(static_cast<uintptr_t>(16));
    log.DebugLvl(kLabel, 9, "%s", invalid);
    log.Error(kLabel, "survived");
}

// Forks children while threads log; each writes one record with the pid and tid it really has,
// which its prefix must show too (the forking thread has logged before, so it has a cached tid).
// Returns how many did not exit 0.
int Fork(TqDebug& log) {
    log.Error(kLabel, "forking");
    std::atomic<bool> stop{false};
    const auto write = [&log, &stop] {
        while (!stop.load()) {
            log.Error(kLabel, "<%032d>", 0);
        }
    };
    std::thread writers[] = {std::thread(write), std::thread(write), std::thread(write)};
    for (int i = 0; i < 200; ++i) {
        if (::fork() == 0) {
            ::alarm(10);  // ends a child stuck on the log
            log.Error(kLabel, "# %d %d", static_cast<int>(::getpid()),
                      static_cast<int>(::gettid()));
            ::_exit(0);
        }
    }
    stop = true;
    int failed = 0;
    for (int status = 0; ::wait(&status) > 0;) {
        failed += status == 0 ? 0 : 1;
    }
    for (auto& writer : writers) {
        writer.join();
    }
    return failed;
}

// Records far longer than any before them, through both ways a message is formatted; the
// second comes after the first's storage was let go. Each message is masked as a whole text.
void Long(TqDebug& log) {
    const std::string body(3 << 20, 'L');
    log.Error(kLabel, "Cookie: %s", "sid=1");  // a header line: the message starts a line
    log.Error(kLabel, "token=%s <%s>", "hunter2", body.c_str());
    log.Error(kLabel, "%d token=%s <%s>", 2, "hunter2", body.c_str());
    log.Error(kLabel, "short %s", "again");
}

// Records that cannot be made (no memory to mask or to copy for the sink) or delivered (the
// sink throws) are dropped; the caller goes on, and the log says so once, then the total.
void Failing(TqDebug& log) {
    g_bNoMemory = true;
    // Masked text longer than a short string's inner room needs memory; text with no secret not.
    log.Error(kLabel, "token=%s, a message longer than a short string", "hunter2");
    log.Error(kLabel, "plain %d, a message longer than a short string", 1);
    log.DebugLvl(kLabel, 0, "password=%s, a message longer than a short string", "hunter2");
    g_bNoMemory = false;
    log.Error(kLabel, "token=%s again", "hunter2");
    TqDebugSetSink([](const TqDebugRecord& record) {
        if (record.message.compare(0, 4, "kept") != 0) {
            throw std::runtime_error("sink failed");
        }
        std::fprintf(stderr, "sink: %s\n", record.message.c_str());
    });
    log.Error(kLabel, "thrown away");
    log.DebugLvl(kLabel, 5, "thrown away");
    log.Error(kLabel, "kept");
    g_bNoMemory = true;
    log.Error(kLabel, "kept, but its copy for the sink needs memory");
    g_bNoMemory = false;
    TqDebugSetSink(TqDebugSink());
    log.Error(kLabel, "survived");
    // Beside standard error, a host's sink that throws is isolated: standard error and the
    // sink after it still get every record, and its failures are counted.
    const TqDebug::SinkId thrower =
        TqDebug::AddSink([](const TqDebugRecord&) { throw std::runtime_error("sink failed"); }, 0);
    TqDebug::AddSink(
        [](const TqDebugRecord& record) {
            std::fprintf(stderr, "next: %s\n", record.message.c_str());
        },
        0);
    log.Error(kLabel, "beside a throwing sink");
    log.DebugLvl(kLabel, 0, "again");
    g_bNoMemory = true;
    log.Error(kLabel, "written, but its copy for the sinks needs memory");
    g_bNoMemory = false;
    std::fprintf(stderr, "failures: %lu\n", TqDebug::SinkFailures(thrower));
}

}  // namespace

int main(int argc, char** argv) {
    TqDebug log(nullptr);
    const char* mode = argc > 1 ? argv[1] : "basic";
    if (std::strcmp(mode, "threads") == 0) {
        Threads(log);
    } else if (std::strcmp(mode, "filtered") == 0) {
        Filtered(log);
    } else if (std::strcmp(mode, "fork") == 0) {
        return Fork(log);
    } else if (std::strcmp(mode, "long") == 0) {
        Long(log);
    } else if (std::strcmp(mode, "failing") == 0) {
        Failing(log);
    } else if (std::strcmp(mode, "nopipe") == 0) {  // standard error's reader is gone
        int ends[2];
        if (::pipe(ends) != 0 || ::close(ends[0]) != 0 || ::dup2(ends[1], STDERR_FILENO) < 0) {
            return 2;
        }
        log.Error(kLabel, "into a pipe no one reads");
        std::printf("survived, the failure counted %lu time(s)\n",
                    TqDebug::SinkFailures(TqDebug::kStderrSink));
    } else if (std::strcmp(mode, "quiet") == 0) {  // a program that shows no log unless asked
        TqDebug::SetSinkLevel(TqDebug::kStderrSink, TqDebug::kSilent);
        Basic(log);
    } else {
        Basic(log);
    }
    return 0;
}
