// vsguidcache: an operator's view of the agent's shared VM GUID cache directory.
//
//   vsguidcache [--config FILE] [--dir-name NAME] [--json] list
//   vsguidcache ... get KEY
//   vsguidcache ... put KEY FIRST SECOND THIRD
//   vsguidcache ... invalidate KEY
//   vsguidcache ... sweep [--dry-run]
//   vsguidcache --version
//
// By job: the commands (Commands.cpp), what they print (ToolOutput.cpp), root's checks of the
// configuration and the cache directory (RootTrust.cpp), which configuration file is read and
// whether it reads (ConfigFile.cpp), and the exit statuses (ExitCodes.h).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <type_traits>

#include <CLI/CLI.hpp>

#include "Commands.h"
#include "ConfigFile.h"
#include "ExitCodes.h"
#include "RootTrust.h"
#include "ToolOutput.h"
#include "TqDebug.h"
#include "VSSupportVersion.h"

namespace {

using namespace vsguidcache;

// Whether the platform's log sets a level per sink (ours does; the calls every platform's log
// offers do not include it).
template <typename Log, typename = void>
struct HasSinkLevels : std::false_type {};
template <typename Log>
struct HasSinkLevels<Log, std::void_t<decltype(Log::SetSinkLevel(Log::kStderrSink, Log::kSilent))>>
    : std::true_type {};

// The library and the platform log what they looked for under their own function labels, for
// whoever diagnoses the agent; an operator reads the tool's one line. So standard error shows
// their records only with --verbose; a log file keeps them either way. A log without levels per
// sink writes where its platform sends it.
template <typename Log = TqDebug>
void RouteLibraryLog(bool verbose) {
    if constexpr (HasSinkLevels<Log>::value) {
        if (!verbose) {
            Log::SetSinkLevel(Log::kStderrSink, Log::kSilent);
        }
    }
}

// As root, the log's file is judged before any record is written (the log opens it at its
// first record) and then opened under the name that was checked; 0, or the refusal.
int TrustedLogFile() {
    const char* file = ::secure_getenv("TQDEBUG_FILE");
    if (file == nullptr || *file == '\0') {
        return kOk;
    }
    std::string resolved;
    const std::string reason = UntrustedLogFile(file, resolved);
    if (!reason.empty()) {
        return Distrusted(reason);
    }
    ::setenv("TQDEBUG_FILE", resolved.c_str(), 1);
    return kOk;
}

int Run(int argc, char** argv) {
    Options o;
    CLI::App app{"Inspect and maintain the agent's VM GUID cache directory."};
    app.footer(ExitCodesHelp());
    app.require_subcommand(1);
    app.fallthrough();  // global options after the subcommand too, as people type them
    app.set_version_flag("--version", std::string("vsguidcache ") + VSSUPPORT_VERSION_STRING,
                         "print the version and exit");
    app.add_option("--config", o.config,
                   std::string("agent configuration file (default: $") + kConfigVariable +
                       ", else " + kDefaultConfigPath + ")");
    app.add_option("--dir-name", o.dirName, "cache directory name")->capture_default_str();
    app.add_flag("--json", o.json, "machine-readable output");
    bool verbose = false;
    app.add_flag("--verbose", verbose,
                 "the library's log records on standard error (TQDEBUG_FILE, when set, takes "
                 "them either way)");

    auto* list = app.add_subcommand("list", "every entry with its fields, age and state");
    auto* get = app.add_subcommand("get", "the three fields stored under KEY");
    get->add_option("KEY", o.key)->required();
    auto* put = app.add_subcommand("put", "store a record under KEY");
    put->add_option("KEY", o.key)->required();
    put->add_option("FIRST", o.first)->required();
    put->add_option("SECOND", o.second)->required();
    put->add_option("THIRD", o.third)->required();
    auto* invalidate = app.add_subcommand("invalidate", "remove the record under KEY");
    invalidate->add_option("KEY", o.key)->required();
    auto* sweep = app.add_subcommand("sweep", "remove expired records now");
    sweep->add_flag("--dry-run", o.dryRun, "only show what would be removed");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kOk : kUsage;
    }
    RouteLibraryLog(verbose);
    // "." or ".." would make the job-results directory, or its parent, the cache to list or
    // sweep; the library refuses such names, and so does its view.
    if (!vsgc::IsSafeName(o.dirName)) {
        return Fail(kNoCache, "'" + o.dirName +
                                  "' is not a plain directory name (not empty, "
                                  "'.' or '..', no '/')");
    }
    // The platform's configuration reader takes no path: the variable is the one way to tell it
    // which file to read, and the tool's own judgement of the file reads it too (ConfigFile.h).
    if (!o.config.empty()) {
        ::setenv(kConfigVariable, o.config.c_str(), 1);
    }
    if (::geteuid() == 0) {
        if (const int refused = TrustedLogFile()) {
            return refused;
        }
        std::string resolved;
        const std::string reason = UntrustedConfiguration(resolved);
        if (!reason.empty()) {
            return Distrusted(reason);
        }
        // Every read from here on, the platform's included, takes the file that was checked.
        ::setenv(kConfigVariable, resolved.c_str(), 1);
    }
    if (list->parsed()) {
        return List(o);
    }
    if (get->parsed()) {
        return Get(o);
    }
    if (put->parsed()) {
        return Put(o);
    }
    if (invalidate->parsed()) {
        return Invalidate(o);
    }
    return Sweep(o);
}

}  // namespace

// Past Run only a failed allocation throws (the command line's set-up is fixed). No exit status
// would tell the truth about a command stopped at an unknown point, so the tool still ends
// abnormally as an uncaught exception made it, but with its own one line.
int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vsguidcache: %s\n", e.what());
    }
    std::abort();
}
