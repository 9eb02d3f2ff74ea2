// The log's file and standard error: writing a whole line to a descriptor, and the settings
// read once per process (TQDEBUG_FILE, TQDEBUG_LEVEL) with the judgement of the file they
// name. Internal to the platform's log.
#pragma once

#include <cstddef>

namespace tqlog {

// Whether a write to `fd` can raise SIGPIPE: a pipe or a socket, whose reader may be gone.
bool MayRaiseSigpipe(int fd);

// Writes all `size` bytes, resuming after a signal; false when the descriptor takes no more
// (the sink has failed: its caller counts it, and nothing is thrown or retried). With
// `guardSigpipe`, a reader that is gone gives a failure instead of SIGPIPE, whose default
// action would end the process that logged.
bool WriteAll(int fd, const char* data, size_t size, bool guardSigpipe = true);

struct LogSettings {
    int fileFd = -1;  // the file TQDEBUG_FILE names, open for the life of the process; -1: none
    int level = 0;    // TQDEBUG_LEVEL, the level of the file or standard error
};

// The settings as the environment gives them now, through secure_getenv: a set-user-ID or
// set-group-ID program keeps the defaults. A file that is named but refused is said once on
// standard error, with where its records go instead: to standard error when
// `stderrTakesRecords`, else nowhere.
LogSettings ReadLogSettings(bool stderrTakesRecords);

}  // namespace tqlog
