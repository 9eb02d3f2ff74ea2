// The library's own log writer. Every line the library writes goes through here: formatted
// here, masked here with the library's masker, and only then handed to the platform's TqDebug,
// so no secret reaches the log whatever the platform's log does with a record.
//
// On a platform log that takes records masked by their caller (TqDebug::WouldWrite,
// ErrorMasked, DebugLvlMasked, found at compile time), a record the log would drop is not
// formatted at all and a written one is masked once. On a log with the bare interface
// (Error and DebugLvl with a printf format), every record is formatted and masked here and
// handed over as "%s". Internal: not installed.
#pragma once

#include "TqDebug.h"

namespace vslog {

// Never throw and never change the caller's outcome: a record that cannot be formatted (no
// memory) is dropped.
[[gnu::visibility("hidden")]] void Error(TqDebug& log, const char* label, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
[[gnu::visibility("hidden")]] void Debug(TqDebug& log, const char* label, int level,
                                         const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Whether a Debug record at `level` would be written (always true on a log that cannot say), so
// that a caller builds no text for a record that goes nowhere.
[[gnu::visibility("hidden")]] bool Shows(const TqDebug& log, int level);

}  // namespace vslog
