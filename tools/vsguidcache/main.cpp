// vsguidcache: an operator's view of the agent's shared VM GUID cache directory.
//
//   vsguidcache [--config FILE] [--dir-name NAME] [--json] list
//   vsguidcache ... get KEY
//   vsguidcache ... put KEY FIRST SECOND THIRD
//   vsguidcache ... invalidate KEY
//   vsguidcache ... sweep [--dry-run]
//
// list and sweep --dry-run only read. get, put, invalidate and sweep go through JXVMGuidCache,
// and like every cache user they end with its sweep of expired records.
//
// Run as root, it acts only on a configuration file and a cache directory that root alone can
// change, and on no path that anyone else could redirect. Why the check is a walk from "/":
// a user who owns any folder on the way (or a link on it) can swap what lies below between the
// check and the library's own reads, which go by name. So every lookup that the tool or the
// library will make is judged, link by link as the kernel resolves the path: each directory
// an entry is looked up in must be root's and not writable by group or others, or root's and
// sticky with the entry root's too; a name that does not exist must be missing from a
// directory that only root can write. Once that holds, nobody but root can change what any of
// those names lead to, so the library's later lookups by name find what was checked; and the
// library is handed the configuration by its resolved name.
//
// Exit codes: 0 done; 1 bad arguments; 2 no record under the key; 3 no cache here (no
// job-results directory, or caching switched off); 4 the cache refused or failed the change;
// 5 run as root on a configuration or cache directory that others can change.
#include <sys/stat.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <boost/json.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <memory>
#include <set>
#include <string_view>

#include "AgentConfig.h"
#include "CacheView.h"
#include "GuidCacheRules.h"
#include "JXVMGuidCache.h"

namespace {

enum Exit { kOk = 0, kUsage = 1, kMissing = 2, kNoCache = 3, kRefused = 4, kUntrusted = 5 };

constexpr int kMaxLinks = 40;  // as many as the kernel follows in one path

constexpr const char* kExitCodes =
    "Exit codes:\n"
    "  0  done\n"
    "  1  bad arguments\n"
    "  2  no record under the key\n"
    "  3  no cache here (no job-results directory, or caching switched off)\n"
    "  4  the cache refused or failed the change\n"
    "  5  run as root on a configuration file or cache directory that others can change: as\n"
    "     root, each must be owned by root, not writable by group or others, and not a link,\n"
    "     and so must every folder on the way to it from /";

struct Options {
    std::string config;
    std::string dirName = vsgc::kDefaultDirName;
    bool json = false;
    std::string key, first, second, third;
    bool dryRun = false;
};

std::string Age(int64_t seconds) {
    if (seconds < 0) {
        return "future";
    }
    const int64_t units[] = {86400, 3600, 60, 1};
    const char* names[] = {"d", "h", "m", "s"};
    for (int i = 0; i < 4; ++i) {
        if (seconds >= units[i] || i == 3) {
            std::string out = std::to_string(seconds / units[i]) + names[i];
            if (i < 3 && seconds % units[i] >= units[i + 1]) {
                out += " " + std::to_string(seconds % units[i] / units[i + 1]) + names[i + 1];
            }
            return out;
        }
    }
    return {};
}

// The length of the UTF-8 sequence at the start of `text`, or 0 when it is not one. Strict, as
// JSON readers are: shortest form only, no surrogates, nothing beyond U+10FFFF.
size_t Utf8SequenceLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80) {
        return 1;
    }
    const size_t length = lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (length == 0 || length > text.size()) {
        return 0;
    }
    uint32_t code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (next & 0x3F);
    }
    const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code >= shortest[length] && code <= 0x10FFFF && !surrogate ? length : 0;
}

bool IsUtf8(std::string_view text) {
    while (!text.empty()) {
        const size_t length = Utf8SequenceLength(text);
        if (length == 0) {
            return false;
        }
        text.remove_prefix(length);
    }
    return true;
}

// Each byte as the code point of the same value: nothing is lost, and a reader gets the bytes
// back by taking each code point as a byte.
std::string Latin1ToUtf8(std::string_view bytes) {
    std::string text;
    for (const unsigned char byte : bytes) {
        if (byte < 0x80) {
            text += static_cast<char>(byte);
        } else {
            text += static_cast<char>(0xC0 | byte >> 6);
            text += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return text;
}

// Keys and fields are whatever bytes a cache user stored, and a file name may hold anything
// but '/' and NUL: a control character in one (ESC starts the sequences that retitle a window,
// move the cursor or make some terminals answer as if typed) is shown as \xNN, and a backslash
// as \\ so that what a person reads maps back to one string. A C1 control written as UTF-8
// (C2 80 to C2 9F) is escaped as its two bytes; other bytes from 0x80 up are parts of
// characters and stay.
std::string Printable(std::string_view bytes) {
    std::string text;
    const auto hex = [&text](unsigned char byte) {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        text += escaped;
    };
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        const auto next = static_cast<unsigned char>(i + 1 < bytes.size() ? bytes[i + 1] : 0);
        if (byte == '\\') {
            text += "\\\\";
        } else if (byte == 0xC2 && next >= 0x80 && next < 0xA0) {
            hex(byte);
            hex(next);
            ++i;
        } else if (byte < 0x20 || byte == 0x7F) {
            hex(byte);
        } else {
            text += static_cast<char>(byte);
        }
    }
    return text;
}

// One object of the --json output. Keys, fields and paths are bytes in whatever code page
// wrote them, but JSON text is UTF-8: a field that is not UTF-8 goes out as Latin-1 and is
// named in the object's "latin1" list, so that a reader can tell which fields to map back.
class JsonObject {
public:
    JsonObject& Text(boost::json::string_view name, const std::string& bytes) {
        if (IsUtf8(bytes)) {
            m_object[name] = bytes;
        } else {
            m_object[name] = Latin1ToUtf8(bytes);
            m_latin1.emplace_back(name);
        }
        return *this;
    }
    JsonObject& Value(boost::json::string_view name, boost::json::value value) {
        m_object[name] = std::move(value);
        return *this;
    }
    // The object, with the Latin-1 list last so that the other fields keep their order.
    boost::json::object Done() {
        if (!m_latin1.empty()) {
            m_object["latin1"] = std::move(m_latin1);
        }
        return std::move(m_object);
    }

private:
    boost::json::object m_object;
    boost::json::array m_latin1;
};

void PrintJson(const boost::json::object& object) {
    std::cout << boost::json::serialize(object) << "\n";
}

boost::json::object EntryJson(const CacheEntry& e) {
    return JsonObject()
        .Text("key", e.key)
        .Text("first", e.first)
        .Text("second", e.second)
        .Text("third", e.third)
        .Value("ageSeconds", e.ageSeconds)
        .Value("expired", e.expired)
        .Value("record", e.readable)
        .Done();
}

void PrintEntries(const Options& o, const CacheLocation& where,
                  const std::vector<CacheEntry>& entries, const char* title) {
    if (o.json) {
        boost::json::array list;
        for (const auto& e : entries) {
            list.push_back(EntryJson(e));
        }
        PrintJson(JsonObject()
                      .Text("directory", where.directory)
                      .Value("expirySeconds", where.expiry)
                      .Value(title, std::move(list))
                      .Done());
        return;
    }
    std::printf("%s (expiry %s)\n", Printable(where.directory).c_str(),
                Age(static_cast<int64_t>(where.expiry)).c_str());
    std::printf("%-24s %-20s %-20s %-28s %8s  %s\n", "KEY", "FIRST", "SECOND", "THIRD", "AGE",
                "STATE");
    for (const auto& e : entries) {
        std::printf("%-24s %-20s %-20s %-28s %8s  %s\n", Printable(e.key).c_str(),
                    Printable(e.first).c_str(), Printable(e.second).c_str(),
                    Printable(e.third).c_str(), Age(e.ageSeconds).c_str(),
                    !e.readable ? (e.expired ? "not a record, expired" : "not a record")
                    : e.expired ? "expired"
                                : "live");
    }
    std::printf("%zu %s\n", entries.size(), entries.size() == 1 ? "entry" : "entries");
}

void Say(const Options& o, const std::string& key, const char* outcome, const std::string& text) {
    if (o.json) {
        PrintJson(JsonObject().Text("key", key).Value("result", outcome).Done());
    } else {
        std::cout << Printable(text) << "\n";
    }
}

int Fail(Exit code, const std::string& message) {
    std::fprintf(stderr, "vsguidcache: %s\n", Printable(message).c_str());
    return code;
}

std::string Parent(const std::string& path) {
    const std::string parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? "." : parent;
}

std::string Join(const std::string& directory, const std::string& name) {
    return directory == "/" ? "/" + name : directory + "/" + name;
}

std::string OwnedByOther(const std::string& path, const struct stat& info) {
    return path + " is owned by uid " + std::to_string(info.st_uid) + ", not by root";
}

std::string WritableByOthers(const std::string& path, const struct stat& info) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return path + " is writable by group or others (mode " + mode + ")";
}

// Root does what the configuration and the cache directory say, so a user who could change
// either could aim root's writes anywhere (a record put in /etc/cron.d is a cron job). Why
// root must not rely on `path`, or empty when root alone can change it. A path that does not
// exist yet stands for the nearest parent that does, since whoever may write there may create
// it; a link is refused, as whoever placed it chose what it names. `stickyKeeps`: a sticky
// directory counts as root's, as it keeps others from replacing root's files in it.
std::string Untrusted(std::string path, bool stickyKeeps = false) {
    struct stat info {};
    while (::lstat(path.c_str(), &info) != 0) {
        const int error = errno;
        if (error != ENOENT || Parent(path) == path) {
            return path + ": " + std::strerror(error);
        }
        path = Parent(path);
    }
    if (S_ISLNK(info.st_mode)) {
        return path + " is a symbolic link";
    }
    if (info.st_uid != 0) {
        return OwnedByOther(path, info);
    }
    const bool kept = stickyKeeps && (info.st_mode & S_ISVTX) != 0;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !kept) {
        return WritableByOthers(path, info);
    }
    return {};
}

std::deque<std::string> Components(const std::string& path) {
    std::deque<std::string> names;
    for (const auto& name : std::filesystem::path(path).relative_path()) {
        if (!name.empty()) {
            names.push_back(name);
        }
    }
    return names;
}

// Relative paths go from the working directory, whose own way from "/" counts too.
bool MakeAbsolute(std::string& path) {
    if (path.empty() || path[0] == '/') {
        return true;
    }
    const std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
    if (cwd == nullptr) {
        return false;
    }
    path = Join(cwd.get(), path);
    return true;
}

// Who besides root could change what the lookup of `entry` in `directory` finds: the lookup
// is root's alone in a directory of root's that only root may write, or in a sticky one of
// root's when the entry is there and root's (the sticky bit keeps others from renaming it).
std::string UntrustedLookup(const std::string& directory, const struct stat& info,
                            const std::string& entry, const struct stat* found) {
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
        return {};
    }
    if ((info.st_mode & S_ISVTX) == 0 || found == nullptr) {
        return WritableByOthers(directory, info);
    }
    return found->st_uid == 0 ? std::string() : OwnedByOther(entry, *found);
}

// Puts the target of the link at `path` before the names still to walk, as the kernel goes on
// from there; "/" in front of an absolute one. The link lies where only root can change it.
std::string FollowLink(const std::string& path, int links, std::deque<std::string>& pending) {
    char target[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), target, sizeof target);
    if (links > kMaxLinks || length <= 0 || static_cast<size_t>(length) >= sizeof target) {
        return path + ": " + std::strerror(length < 0 ? errno : ELOOP);
    }
    const std::string text(target, static_cast<size_t>(length));
    const std::deque<std::string> names = Components(text);
    pending.insert(pending.begin(), names.begin(), names.end());
    if (text[0] == '/') {
        pending.emplace_front("/");
    }
    return {};
}

// Resolves the directory `path` from "/" into `resolved` as the kernel does, link by link,
// and says why root must not rely on where it leads (see the note at the top), or empty.
// A name missing on the way ends the walk: `resolved` is then the path with the rest unresolved.
std::string UntrustedWay(const std::string& path, std::string& resolved) {
    std::string at = "/";
    std::deque<std::string> pending = Components(path);
    struct stat here {};
    if (::lstat("/", &here) != 0 || here.st_uid != 0) {
        return here.st_uid != 0 ? OwnedByOther("/", here)
                                : "/: " + std::string(std::strerror(errno));
    }
    for (int links = 0; !pending.empty();) {
        const std::string name = pending.front();
        pending.pop_front();
        if (name == "/") {  // an absolute link's target starts over
            at = "/";
            ::lstat("/", &here);
            continue;
        }
        if (name == "." || name == "..") {
            at = name == "." ? at : std::filesystem::path(at).parent_path().string();
            ::lstat(at.c_str(), &here);  // a directory this walk has been through already
            continue;
        }
        const std::string next = Join(at, name);
        struct stat entry {};
        const bool found = ::lstat(next.c_str(), &entry) == 0;
        if (!found && errno != ENOENT) {
            return next + ": " + std::strerror(errno);
        }
        if (std::string reason = UntrustedLookup(at, here, next, found ? &entry : nullptr);
            !reason.empty() || !found) {
            resolved = next;
            for (const auto& rest : pending) {
                resolved = Join(resolved, rest);
            }
            return reason;
        }
        if (S_ISLNK(entry.st_mode)) {
            if (std::string reason = FollowLink(next, ++links, pending); !reason.empty()) {
                return reason;
            }
            continue;
        }
        if (entry.st_uid != 0) {
            return OwnedByOther(next, entry);
        }
        at = next;
        here = entry;
    }
    resolved = at;
    return {};
}

// `path` and the way to it: every lookup on the way to its directory, that directory (a
// sticky one counts as root's when `stickyKeeps`) and the entry itself, which must be no link.
// `resolved` names the entry in its resolved directory, which is what root may then use.
std::string UntrustedPath(std::string path, bool stickyKeeps, std::string& resolved) {
    if (!MakeAbsolute(path)) {
        return "the working directory: " + std::string(std::strerror(errno));
    }
    std::string directory;
    std::string reason = UntrustedWay(Parent(path), directory);
    resolved = Join(directory, std::filesystem::path(path).filename());
    if (reason.empty()) {
        reason = Untrusted(directory, stickyKeeps);
    }
    return reason.empty() ? Untrusted(resolved) : reason;
}

// The file the platform reads, and the directory that holds it: the platform reads the file
// again at every call, so whoever may replace it between reads counts as able to change it.
// `resolved` is the name the reads are to use from now on.
std::string UntrustedConfiguration(std::string& resolved) {
    const char* named = std::getenv(vsplatform::kAgentConfigVariable);
    const std::string file = named != nullptr && *named != '\0'
                                 ? std::string(named)
                                 : std::string(vsplatform::kDefaultAgentConfigPath);
    return UntrustedPath(file, true, resolved);
}

// The cache directory, the job-results directory that holds it and the way to them; a user
// who could write the latter could put a link to any directory in the cache's place.
std::string UntrustedDirectory(const CacheLocation& where) {
    if (where.directory.empty()) {
        return {};  // no cache here: every command says so, and touches nothing
    }
    std::string machine;
    const std::string reason = UntrustedPath(Parent(where.directory), true, machine);
    return reason.empty()
               ? Untrusted(Join(machine, std::filesystem::path(where.directory).filename()))
               : reason;
}

int Distrusted(const std::string& reason) {
    return Fail(kUntrusted, "refusing to run as root: " + reason);
}

// Where the cache is, once it is known that the caller may act on it.
int Locate(const Options& o, CacheLocation& where) {
    where = LocateCache(o.dirName);
    const std::string reason = ::geteuid() == 0 ? UntrustedDirectory(where) : std::string();
    return reason.empty() ? static_cast<int>(kOk) : Distrusted(reason);
}

int SwitchedOff() {
    return Fail(kNoCache,
                std::string("caching is switched off (") + vsgc::kConfigCacheTime + " is 0)");
}

// Everything but the read-only commands needs a live cache object.
int WithCache(const Options& o, const std::function<int(JXVMGuidCache&)>& work) {
    CacheLocation where;
    if (const int refused = Locate(o, where)) {
        return refused;
    }
    if (where.expiry == 0) {
        return SwitchedOff();
    }
    JXVMGuidCache cache(o.dirName);
    if (!cache.Init()) {
        return Fail(kNoCache,
                    "no cache here: machine '" + where.machine + "' has no job-results directory");
    }
    return work(cache);
}

int List(const Options& o) {
    CacheLocation where;
    if (const int refused = Locate(o, where)) {
        return refused;
    }
    std::vector<CacheEntry> entries;
    if (!ReadEntries(where, entries)) {
        return Fail(kNoCache,
                    "cannot list the cache directory" +
                        (where.directory.empty() ? std::string() : " " + where.directory));
    }
    PrintEntries(o, where, entries, "entries");
    return kOk;
}

int Get(const Options& o) {
    return WithCache(o, [&](JXVMGuidCache& cache) {
        std::string first, second, third;
        if (!cache.LookupGuidCache(o.key, first, second, third)) {
            return Fail(kMissing, "no record under '" + o.key + "'");
        }
        if (o.json) {
            PrintJson(JsonObject()
                          .Text("key", o.key)
                          .Text("first", first)
                          .Text("second", second)
                          .Text("third", third)
                          .Done());
        } else {
            std::cout << Printable(first) << "\n"
                      << Printable(second) << "\n"
                      << Printable(third) << "\n";
        }
        return static_cast<int>(kOk);
    });
}

int Put(const Options& o) {
    return WithCache(o, [&](JXVMGuidCache& cache) {
        if (!cache.CacheGuid(o.key, o.first, o.second, o.third)) {
            return Fail(kRefused,
                        "record not stored: the key must be a plain file name and the "
                        "first two fields must not contain \"0x17\"");
        }
        Say(o, o.key, "stored", "stored '" + o.key + "'");
        return static_cast<int>(kOk);
    });
}

int Invalidate(const Options& o) {
    return WithCache(o, [&](JXVMGuidCache& cache) {
        if (!cache.InvalidateGuidFromCache(o.key)) {
            // Refused for the key, or the record stays (a directory this user may not change).
            return Fail(kRefused, vsgc::IsSafeName(o.key)
                                      ? "the record under '" + o.key + "' could not be removed"
                                      : "'" + o.key + "' is not a valid key");
        }
        Say(o, o.key, "invalidated", "invalidated '" + o.key + "'");
        return static_cast<int>(kOk);
    });
}

int Sweep(const Options& o) {
    CacheLocation where;
    if (const int refused = Locate(o, where)) {
        return refused;
    }
    if (where.expiry == 0) {
        return SwitchedOff();  // the sweep would refuse too: a dry run must not promise more
    }
    std::vector<CacheEntry> before;
    if (!ReadEntries(where, before)) {
        return Fail(kNoCache, "cannot list the cache directory " + where.directory);
    }
    // Records or not: the sweep removes whatever the rule calls expired.
    std::vector<CacheEntry> going;
    std::copy_if(before.begin(), before.end(), std::back_inserter(going),
                 [](const CacheEntry& e) { return e.expired; });
    if (o.dryRun) {
        PrintEntries(o, where, going, "wouldRemove");
        return kOk;
    }
    return WithCache(o, [&](JXVMGuidCache& cache) {
        if (!cache.CleanupGuidCache()) {
            return Fail(kRefused, "the sweep could not list the cache directory");
        }
        std::vector<CacheEntry> after;
        ReadEntries(where, after);
        std::set<std::string> left;
        for (const auto& e : after) {
            left.insert(e.key);
        }
        std::vector<CacheEntry> removed;
        for (const auto& e : going) {
            if (left.count(e.key) == 0) {
                removed.push_back(e);
            }
        }
        PrintEntries(o, where, removed, "removed");
        return static_cast<int>(kOk);
    });
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"Inspect and maintain the agent's VM GUID cache directory."};
    app.footer(kExitCodes);
    app.require_subcommand(1);
    app.fallthrough();  // global options after the subcommand too, as people type them
    app.add_option("--config", o.config, "agent configuration file (default: $VSAGENT_CONFIG)");
    app.add_option("--dir-name", o.dirName, "cache directory name")->capture_default_str();
    app.add_flag("--json", o.json, "machine-readable output");

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
    // "." or ".." would make the job-results directory, or its parent, the cache to list or
    // sweep; the library refuses such names, and so does its view.
    if (!vsgc::IsSafeName(o.dirName)) {
        return Fail(kNoCache, "'" + o.dirName +
                                  "' is not a plain directory name (not empty, "
                                  "'.' or '..', no '/')");
    }
    if (!o.config.empty()) {
        ::setenv(vsplatform::kAgentConfigVariable, o.config.c_str(), 1);
    }
    if (::geteuid() == 0) {
        std::string resolved;
        const std::string reason = UntrustedConfiguration(resolved);
        if (!reason.empty()) {
            return Distrusted(reason);
        }
        // Every read from here on, the library's included, takes the file that was checked.
        ::setenv(vsplatform::kAgentConfigVariable, resolved.c_str(), 1);
    }
    if (list->parsed())
        return List(o);
    if (get->parsed())
        return Get(o);
    if (put->parsed())
        return Put(o);
    if (invalidate->parsed())
        return Invalidate(o);
    return Sweep(o);
}
