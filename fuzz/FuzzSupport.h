// Shared by the fuzz targets: a quiet log and a loud failure.
//
// A finding must stop the run with a clear message: Require() prints what broke and aborts,
// which libFuzzer reports as a crash and saves the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "TqDebug.h"

namespace vsfuzz {

// Every record is still formatted (the fuzzed text goes through the log's printf path), then
// dropped, so a run writes nothing to stderr but libFuzzer's own lines.
inline void SilenceLog() {
    TqDebugSetSink([](const TqDebugRecord&) {});
}

[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "FUZZ FINDING: %s\n", what.c_str());
    std::abort();
}

inline void Require(bool condition, const char* what) {
    if (!condition) {
        Fail(what);
    }
}

}  // namespace vsfuzz
