// The example's local state, kept apart from the library flow in main.cpp. Every file is
// opened without following a link and judged on the descriptor it was opened as, so a link or
// file another user puts in its place meanwhile is never the one read or written.
#include "LocalState.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

constexpr const char* kStateName = "vssupport-vm-inventory";
constexpr const char* kAgentConfigName = "agent.ini";

// Owns one open file descriptor.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

// A password file others may read has leaked already, and one others may write hands them
// the password we send; either way the caller has to know now, not after a login. Its owner
// can change its mode and content at will, so a file of another user's is as open as one
// others may write (root reads any file, so the mode alone would not tell). Judged on the
// descriptor we read from, so a file put in its place meanwhile is not the one judged.
std::optional<Failure> CheckPasswordFile(const std::string& path, int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return Failure{kUsage, path + ": not a regular file"};
    }
    if (const uid_t self = ::geteuid(); st.st_uid != self) {
        return Failure{kUsage, path + ": owned by uid " + std::to_string(st.st_uid) +
                                   ", not by this user (uid " + std::to_string(self) +
                                   "); use a file of your own"};
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return Failure{kUsage, path + ": permissions " + mode +
                                   " let group or others access it; allow its owner only "
                                   "(chmod 600)"};
    }
    return std::nullopt;
}

std::optional<Failure> ReadFirstLine(const std::string& path, int fd, std::string& line) {
    std::string text;
    char buffer[512];
    ssize_t n = 0;
    while (text.find('\n') == std::string::npos && (n = ::read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(n));
    }
    if (n < 0) {
        const int error = errno;
        return Failure{kUsage, path + ": " + std::strerror(error)};
    }
    text.resize(std::min(text.find('\n'), text.size()));
    if (!text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    if (text.empty()) {
        return Failure{kUsage, path + ": its first line (the password) is empty"};
    }
    line = std::move(text);
    return std::nullopt;
}

// A new state directory is private from the start; its parents are the user's own already.
std::optional<Failure> MakeStateDir(const std::string& path) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        const int error = errno;
        return Failure{kCache, path + ": " + std::strerror(error)};
    }
    return std::nullopt;
}

// Another user who owns the state directory or may write to it could replace the
// configuration we write there, and with it where the cache's records go. `fd` is the
// directory as opened, without following a link, so the one checked is the one written to.
std::optional<Failure> CheckStateDir(const std::string& path, int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        const int error = errno;
        return Failure{kCache, path + ": " +
                                   (error == ELOOP || error == ENOTDIR
                                        ? std::string("not a directory (or a link)")
                                        : std::strerror(error))};
    }
    if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return Failure{kCache, path + ": owned by uid " + std::to_string(st.st_uid) +
                                   " with mode " + mode +
                                   "; the state directory must be this user's own, writable by "
                                   "no one else"};
    }
    return std::nullopt;
}

// Written whole under a fresh name and renamed over the old file: no link at either name is
// followed, and a reader sees the old configuration or the new one.
std::optional<Failure> WriteFileIn(int dirFd, const std::string& dir, const char* name,
                                   const std::string& content) {
    const std::string temporary = std::string(".") + name + "." + std::to_string(::getpid());
    ::unlinkat(dirFd, temporary.c_str(), 0);  // left by a crashed run: the directory is ours
    {
        const FileDescriptor fd(::openat(
            dirFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        const ssize_t written =
            fd.Get() < 0 ? -1 : ::write(fd.Get(), content.data(), content.size());
        if (written != static_cast<ssize_t>(content.size())) {
            const int error = written < 0 ? errno : ENOSPC;  // a short write: the disk is full
            ::unlinkat(dirFd, temporary.c_str(), 0);
            return Failure{kCache, dir + "/" + temporary + ": " + std::strerror(error)};
        }
    }
    if (::renameat(dirFd, temporary.c_str(), dirFd, name) != 0) {
        const int error = errno;
        ::unlinkat(dirFd, temporary.c_str(), 0);
        return Failure{kCache, dir + "/" + name + ": " + std::strerror(error)};
    }
    return std::nullopt;
}

}  // namespace

std::optional<Failure> ReadPasswordFile(const std::string& path, std::string& password) {
    // No link is followed, so a link put in the file's place cannot make us read (and send)
    // another file; a FIFO given by mistake is refused instead of blocking the open.
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    const int error = errno;
    if (fd.Get() < 0) {
        return Failure{kUsage, path + ": " +
                                   (error == ELOOP ? std::string("a symbolic link; name the file")
                                                   : std::strerror(error))};
    }
    if (auto failure = CheckPasswordFile(path, fd.Get())) {
        return failure;
    }
    return ReadFirstLine(path, fd.Get(), password);
}

// Where the example keeps its state, or empty when the environment names no place of this
// user's own: a fixed directory that every user shares would let one of them plant a link
// where another writes.
std::string DefaultStateDir() {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string base = state && *state       ? state
                             : home && *home       ? std::string(home) + "/.local/state"
                             : runtime && *runtime ? runtime
                                                   : "";
    return base.empty() ? base : base + "/" + kStateName;
}

// The GUID cache lives in the agent's job-results directory, named by the agent's
// configuration. Unless the caller names a configuration, the example keeps its own under the
// state directory, so it runs with no setup and a second run finds the first run's records.
std::optional<Failure> PrepareAgentConfiguration(const std::string& stateDir) {
    if (std::getenv("VSAGENT_CONFIG") != nullptr) {
        return std::nullopt;
    }
    if (stateDir.empty()) {
        return Failure{kUsage,
                       "no place for the state directory: set XDG_STATE_HOME, HOME or "
                       "XDG_RUNTIME_DIR, or give --state-dir"};
    }
    if (auto failure = MakeStateDir(stateDir)) {
        return failure;
    }
    const FileDescriptor dir(
        ::open(stateDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (auto failure = CheckStateDir(stateDir, dir.Get())) {
        return failure;
    }
    const std::string root = stateDir + "/jobresults";
    std::error_code ignored;  // a directory that cannot be made fails the cache's Init
    std::filesystem::create_directories(root + "/inventory-host", ignored);
    if (auto failure = WriteFileIn(dir.Get(), stateDir, kAgentConfigName,
                                   "[Platform]\nPhysicalMachine=inventory-host\nJobResultsRoot=" +
                                       root + "\n[VirtualServer]\nnVMGuidCacheTime=3600\n")) {
        return failure;
    }
    ::setenv("VSAGENT_CONFIG", (stateDir + "/" + kAgentConfigName).c_str(), 1);
    return std::nullopt;
}
