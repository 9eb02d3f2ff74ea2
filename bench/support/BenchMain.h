// What every benchmark program shares: the --smoke switch, run settings, resident memory, a
// scratch directory and the main loop.
//
// A program registers its benchmarks itself (after ParseSmoke, so that sizes can follow the
// switch) and then calls Run. Under --smoke every benchmark runs a fixed tiny iteration count
// on shrunken workloads: the code paths are exercised, nothing is measured.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <functional>
#include <string>

namespace vsbench {

// Removes our own flags from argv (Google Benchmark refuses flags it does not know):
//   --smoke          small workloads and a fixed tiny iteration count
//   --iterations=N   exactly N iterations of every benchmark, for instruction counts under
//                    callgrind (bench/profile.sh), whatever the workload size
void ParseSmoke(int& argc, char** argv);
bool Smoke();

// The workload size of a measuring run, or the small one under --smoke.
size_t Size(size_t full, size_t smoke);

// Under --smoke, one or a few iterations instead of a timed loop; under --iterations=N, N. The
// workloads that run in this process alone are timed by its CPU time (user and system), which other
// work on the machine disturbs far less than the wall clock; the HTTP workloads, which wait on the
// server process, call UseRealTime themselves. fullIterations, when not 0, fixes the count of a
// measuring run too; otherwise minSeconds, when not 0, sets its minimum time.
benchmark::internal::Benchmark* Configure(benchmark::internal::Benchmark* b,
                                          int smokeIterations = 1, int fullIterations = 0,
                                          double minSeconds = 0);

// The process's resident set size, from /proc/self/statm.
long ResidentKiB();

// Runs operation(i) for i in [0, total) once per benchmark iteration and reports the resident
// set size after the first `first` operations and after all of them, with the growth between,
// as counters ("<unit>", "rss_first_kib", "rss_last_kib", "rss_growth_kib"). A failing
// operation ends the benchmark with an error.
void MeasureResidentGrowth(benchmark::State& state, size_t first, size_t total, const char* unit,
                           const std::function<bool(size_t)>& operation);

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class ScratchDir {
public:
    explicit ScratchDir(const char* tag);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& name) const { return m_strPath + "/" + name; }

private:
    std::string m_strPath;
};

// Initialises Google Benchmark with the remaining arguments and runs what was registered.
int Run(int argc, char** argv);

}  // namespace vsbench
