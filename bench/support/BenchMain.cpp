#include "BenchMain.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace vsbench {

namespace {

bool g_bSmoke = false;
long g_nIterations = 0;  // 0: not fixed

// A benchmark that cannot do its work (a refused request, an unreadable record) skips with an
// error; the program then exits non-zero, so a smoke run catches code that no longer works.
// Timings never count against it.
class ErrorCountingReporter : public benchmark::ConsoleReporter {
public:
    ErrorCountingReporter() : benchmark::ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                ++m_nErrors;
            }
        }
        benchmark::ConsoleReporter::ReportRuns(runs);
    }

    int Errors() const { return m_nErrors; }

private:
    int m_nErrors = 0;
};

}  // namespace

void ParseSmoke(int& argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--smoke") == 0) {
            g_bSmoke = true;
        } else if (std::strncmp(argv[i], "--iterations=", 13) == 0) {
            g_nIterations = std::strtol(argv[i] + 13, nullptr, 10);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
}

bool Smoke() {
    return g_bSmoke;
}

size_t Size(size_t full, size_t smoke) {
    return g_bSmoke ? smoke : full;
}

benchmark::internal::Benchmark* Configure(benchmark::internal::Benchmark* b, int smokeIterations,
                                          int fullIterations, double minSeconds) {
    if (g_nIterations > 0) {
        b->Iterations(g_nIterations);
    } else if (g_bSmoke) {
        b->Iterations(smokeIterations);
    } else if (fullIterations > 0) {
        b->Iterations(fullIterations);
    } else if (minSeconds > 0) {
        b->MinTime(minSeconds);  // Google Benchmark refuses both a count and a time
    }
    return b;
}

long ResidentKiB() {
    long size = 0;
    long resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &size, &resident) != 2) {
            resident = 0;
        }
        std::fclose(statm);
    }
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

void MeasureResidentGrowth(benchmark::State& state, size_t first, size_t total, const char* unit,
                           const std::function<bool(size_t)>& operation) {
    for (auto _ : state) {
        long afterFirst = 0;
        for (size_t i = 0; i < total; ++i) {
            if (!operation(i)) {
                state.SkipWithError((std::string(unit) + ": an operation failed").c_str());
                return;
            }
            if (i + 1 == first) {
                afterFirst = ResidentKiB();
            }
        }
        const long afterAll = ResidentKiB();
        state.counters[unit] = static_cast<double>(total);
        state.counters["rss_first_kib"] = static_cast<double>(afterFirst);
        state.counters["rss_last_kib"] = static_cast<double>(afterAll);
        state.counters["rss_growth_kib"] = static_cast<double>(afterAll - afterFirst);
    }
}

ScratchDir::ScratchDir(const char* tag) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/vsbench-" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("cannot create a scratch directory from " + pattern);
    }
    m_strPath = buffer.data();
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_strPath, ignored);
}

int Run(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    ErrorCountingReporter display;
    benchmark::RunSpecifiedBenchmarks(&display);
    benchmark::Shutdown();
    return display.Errors() == 0 ? 0 : 1;
}

}  // namespace vsbench
