// The tool's exit statuses, kept in this one table: the --help footer is generated from it, and
// the manual page's EXIT STATUS section is checked against that footer, so a status added or
// dropped here without the page fails the build's tests.
#pragma once

#include <string>

namespace vsguidcache {

enum Exit {
    kOk = 0,
    kUsage = 1,
    kMissing = 2,
    kNoCache = 3,
    kRefused = 4,
    kUntrusted = 5,
    kUnreadable = 6
};

struct ExitMeaning {
    Exit code;
    const char* meaning;  // lines after the first continue under it, as the footer shows them
};

constexpr ExitMeaning kExitMeanings[] = {
    {kOk, "done"},
    {kUsage, "bad arguments"},
    {kMissing, "no record under the key"},
    {kNoCache, "no cache here (no job-results directory, or caching switched off)"},
    {kRefused, "the cache refused or failed the change"},
    {kUntrusted,
     "run as root on a configuration file, cache directory or log file (TQDEBUG_FILE) that\n"
     "     others can change: as root, each must be owned by root, not writable by group or\n"
     "     others, and not a link, and so must every folder on the way to it from /"},
    {kUnreadable, "a record under the key that could not be read (the system's reason follows)"},
};

// The footer of --help: "Exit codes:", then one "  N  meaning" line per status.
inline std::string ExitCodesHelp() {
    std::string text = "Exit codes:";
    for (const ExitMeaning& exit : kExitMeanings) {
        text += "\n  " + std::to_string(exit.code) + "  " + exit.meaning;
    }
    return text;
}

}  // namespace vsguidcache
