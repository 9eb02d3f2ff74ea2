// Root's trust in a path. Run as root, the tool acts only on a configuration file and a cache
// directory that root alone can change, and on no path that anyone else could redirect.
//
// Why the check is a walk from "/": a user who owns any folder on the way (or a link on it) can
// swap what lies below between the check and the library's own reads, which go by name. So
// every lookup that the tool or the library will make is judged, link by link as the kernel
// resolves the path: each directory an entry is looked up in must be root's and not writable by
// group or others, or root's and sticky with the entry root's too; a name that does not exist
// must be missing from a directory that only root can write. Once that holds, nobody but root
// can change what any of those names lead to, so the library's later lookups by name find what
// was checked; and the library is handed the configuration by its resolved name.
#include "RootTrust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>

#include "ConfigFile.h"

namespace vsguidcache {
namespace {

constexpr int kMaxLinks = 40;  // as many as the kernel follows in one path

std::string Parent(const std::string& path) {
    const std::string parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? "." : parent;
}

std::string Join(const std::string& directory, const std::string& name) {
    return directory == "/" ? "/" + name : directory + "/" + name;
}

// Root is trusted always, and `trusted` too (root itself for the tool).
bool TrustedOwner(const struct stat& info, uid_t trusted) {
    return info.st_uid == 0 || info.st_uid == trusted;
}

std::string OwnedByOther(const std::string& path, const struct stat& info, uid_t trusted) {
    return path + " is owned by uid " + std::to_string(info.st_uid) + ", not by " +
           (trusted == 0 ? std::string("root") : "uid " + std::to_string(trusted));
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
std::string Untrusted(std::string path, uid_t trusted, bool stickyKeeps = false) {
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
    if (!TrustedOwner(info, trusted)) {
        return OwnedByOther(path, info, trusted);
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
                            const std::string& entry, const struct stat* found, uid_t trusted) {
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
        return {};
    }
    if ((info.st_mode & S_ISVTX) == 0 || found == nullptr) {
        return WritableByOthers(directory, info);
    }
    return TrustedOwner(*found, trusted) ? std::string() : OwnedByOther(entry, *found, trusted);
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
std::string UntrustedWay(const std::string& path, uid_t trusted, std::string& resolved) {
    std::string at = "/";
    std::deque<std::string> pending = Components(path);
    struct stat here {};
    if (::lstat("/", &here) != 0 || !TrustedOwner(here, trusted)) {
        return !TrustedOwner(here, trusted) ? OwnedByOther("/", here, trusted)
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
        if (std::string reason = UntrustedLookup(at, here, next, found ? &entry : nullptr, trusted);
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
        if (!TrustedOwner(entry, trusted)) {
            return OwnedByOther(next, entry, trusted);
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
std::string UntrustedPath(std::string path, bool stickyKeeps, uid_t trusted,
                          std::string& resolved) {
    if (!MakeAbsolute(path)) {
        return "the working directory: " + std::string(std::strerror(errno));
    }
    std::string directory;
    std::string reason = UntrustedWay(Parent(path), trusted, directory);
    resolved = Join(directory, std::filesystem::path(path).filename());
    if (reason.empty()) {
        reason = Untrusted(directory, trusted, stickyKeeps);
    }
    return reason.empty() ? Untrusted(resolved, trusted) : reason;
}

}  // namespace

// The file the platform reads, and the directory that holds it: the platform reads the file
// again at every call, so whoever may replace it between reads counts as able to change it.
std::string UntrustedConfiguration(std::string& resolved) {
    return UntrustedPath(ConfigPath(), true, 0, resolved);
}

// The log opens its file by name, refusing only a link as the last component, so the way to it
// is what keeps root's appends where they were meant to go.
std::string UntrustedLogFile(const std::string& path, std::string& resolved) {
    const std::string reason = UntrustedPath(path, true, 0, resolved);
    return reason.empty() ? reason : "the log file TQDEBUG_FILE names: " + reason;
}

// The cache directory, the job-results directory that holds it and the way to them; a user
// who could write the latter could put a link to any directory in the cache's place.
std::string UntrustedDirectory(const CacheLocation& where) {
    return UntrustedDirectory(where, 0);
}

std::string UntrustedDirectory(const CacheLocation& where, uid_t trusted) {
    if (where.directory.empty()) {
        return {};  // no cache here: every command says so, and touches nothing
    }
    std::string machine;
    const std::string reason = UntrustedPath(Parent(where.directory), true, trusted, machine);
    return reason.empty()
               ? Untrusted(Join(machine, std::filesystem::path(where.directory).filename()),
                           trusted)
               : reason;
}

}  // namespace vsguidcache
