// vm-inventory: lists the virtual machines of a host through its REST API, the way an agent
// library uses vssupport from end to end.
//
//   vm-inventory                         against an embedded host API on 127.0.0.1
//   VM_INVENTORY_PASSWORD=p vm-inventory --server https://h:8443/api/v1 --ca-file ca.pem --user u
//   vm-inventory --server https://h:8443/api/v1 --user u --password-file ~/.vm-inventory-password
//   vm-inventory --format table
//
// Exit codes: 0 done; 1 bad arguments (no place for the state directory included); 2 the host
// could not be reached or refused us; 3 the host sent a document we cannot read (a VM list
// that does not end within 10,000 pages included); 4 the local cache could not be set up
// (a state directory that another user owns or that group or others may write included).
// The embedded host API accepts the user "admin" with the password "secret".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "HostApiServer.h"
#include "Inventory.h"
#include "InventoryClient.h"
#include "JXVMGuidCache.h"
#include "Printable.h"
#include "TqDebug.h"
#include "VSJsonParser.h"
#include "json_spirit/json_spirit_reader.h"

namespace {

struct Settings {
    std::string server;
    std::string caFile;
    bool insecure = false;
    std::string user = "admin";
    std::optional<std::string> password;
    std::optional<std::string> passwordFile;
    std::string format = "xml";
    unsigned pageSize = 10;
    std::string stateDir;
    bool verbose = false;
    bool trace = false;
    std::string embeddedFault = "none";
};

enum Exit { kOk = 0, kUsage = 1, kHost = 2, kDocument = 3, kCache = 4 };

struct Failure {
    Exit code;
    std::string message;
};

constexpr const char* kPasswordVariable = "VM_INVENTORY_PASSWORD";
constexpr const char* kEmbeddedPassword = "secret";
constexpr const char* kStateName = "vssupport-vm-inventory";
constexpr const char* kAgentConfigName = "agent.ini";
// A host's VM count decides how many pages we ask for; past this many a count is not believed.
constexpr unsigned kMaxPages = 10000;

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

// Everyone on the machine can read a process's command line, so the file and the environment
// are the ways to prefer. The embedded default is the embedded host's own: a real host never
// gets it.
std::optional<Failure> ResolvePassword(const Settings& s, std::string& password) {
    if (s.passwordFile) {
        return ReadPasswordFile(*s.passwordFile, password);
    }
    const char* fromEnvironment = std::getenv(kPasswordVariable);
    if (s.password) {
        password = *s.password;
    } else if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
        password = fromEnvironment;
    } else if (s.server.empty()) {
        password = kEmbeddedPassword;
    } else {
        return Failure{kUsage, std::string("no password for ") + s.server + ": set " +
                                   kPasswordVariable + " or give --password-file FILE"};
    }
    return std::nullopt;
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

// Host placement comes from the cache when a previous run stored it, else from the host.
std::optional<Failure> ResolvePlacement(InventoryClient& client, CVSXMLParser& xml,
                                        JXVMGuidCache& cache, VmRecord& vm) {
    std::string id, host, datastore;
    if (cache.LookupGuidCache(vm.name, id, host, datastore) && id == vm.id) {
        vm.host = host;
        vm.datastore = datastore;
        vm.placementFromCache = true;
        return std::nullopt;
    }
    std::string body, error;
    if (!client.Fetch("vms/" + client.UrlEncode(vm.id) + "/placement", body, nullptr)) {
        return Failure{kHost, client.LastError()};
    }
    if (!ParsePlacement(xml, body, vm, error)) {
        return Failure{kDocument, "placement of " + vm.id + ": " + error};
    }
    cache.CacheGuid(vm.name, vm.id, vm.host, vm.datastore);
    return std::nullopt;
}

std::optional<Failure> FetchTags(InventoryClient& client, VmRecord& vm) {
    std::string body;
    if (!client.Fetch("vms/" + client.UrlEncode(vm.id) + "/tags", body, nullptr)) {
        return Failure{kHost, client.LastError()};
    }
    json_spirit::mValue value;
    if (!json_spirit::read(body, value) || value.type() != json_spirit::obj_type) {
        return Failure{kDocument, "tags of " + vm.id + ": not a JSON object"};
    }
    try {
        CVSJsonParser json;
        json.ConvertNestedStringList(value.get_obj(), "tags", vm.tags);
    } catch (const std::runtime_error& e) {
        return Failure{kDocument, "tags of " + vm.id + ": " + e.what()};
    }
    return std::nullopt;
}

std::optional<Failure> ListVms(InventoryClient& client, CVSXMLParser& xml, unsigned pageSize,
                               std::vector<VmRecord>& vms) {
    InventoryRequestOptions options;
    options.pageSize = pageSize;
    unsigned total = 1;
    for (unsigned page = 1; vms.size() < total; ++page) {
        if (page > kMaxPages) {
            return Failure{kDocument, "VM list: " + std::to_string(vms.size()) + " of the " +
                                          std::to_string(total) + " VMs the host counts after " +
                                          std::to_string(kMaxPages) + " pages; stopped there"};
        }
        std::string resource = "vms", body, error;
        client.appendQueryStringArgument(resource, "page=%u", page);
        options.requestId = "inventory-page-" + std::to_string(page);
        const size_t before = vms.size();
        if (!client.Fetch(resource, body, &options)) {
            return Failure{kHost, client.LastError()};
        }
        if (!ParseVmPage(xml, body, vms, total, error)) {
            return Failure{kDocument, "VM list page " + std::to_string(page) + ": " + error};
        }
        if (vms.size() == before) {
            break;  // a host whose total overstates its pages must not keep us looping
        }
        // Nor may a count no number of pages could reach: fail now, not after kMaxPages.
        if (total > uint64_t{kMaxPages} * pageSize) {
            return Failure{kDocument, "VM list: the host counts " + std::to_string(total) +
                                          " VMs, more than " + std::to_string(kMaxPages) +
                                          " pages of " + std::to_string(pageSize) +
                                          " (a larger --page-size reads more)"};
        }
    }
    return std::nullopt;
}

std::unique_ptr<HostApiServer> StartEmbeddedHost(const std::string& fault) {
    HostApiSettings host;
    host.refuseLogin = fault == "refuse-login";
    host.malformedList = fault == "malformed-list";
    host.controlName = fault == "control-name";
    host.endlessList = fault == "endless-list";
    if (fault.rfind("external-entity:", 0) == 0) {
        host.externalEntityFile = fault.substr(16);
    }
    return std::make_unique<HostApiServer>(host);
}

std::optional<Failure> Run(const Settings& s, std::string& report) {
    std::unique_ptr<HostApiServer> embedded;
    std::string url = s.server;
    if (url.empty()) {
        embedded = StartEmbeddedHost(s.embeddedFault);
        url = "http://127.0.0.1:" + std::to_string(embedded->Port()) + "/api/v1";
    }
    HostEndpoint endpoint;
    if (!HostEndpoint::Parse(url, endpoint)) {
        return Failure{kUsage, "not a server URL: " + url};
    }
    std::string password;
    if (auto failure = ResolvePassword(s, password)) {
        return failure;
    }
    if (auto failure = PrepareAgentConfiguration(s.stateDir)) {
        return failure;
    }
    JXVMGuidCache cache("_VM_INVENTORY_CACHE_");
    if (!cache.Init()) {
        return Failure{kCache, "the GUID cache directory could not be set up (see VSAGENT_CONFIG)"};
    }

    CVSXMLParser xml;
    InventoryClient client(endpoint, s.user, password);
    if (s.verbose) {
        client.enableDebug();
    }
    if (!client.Open(s.insecure, s.caFile) || (s.trace && !client.EnableTrace())) {
        return Failure{kHost, client.LastError()};
    }
    std::vector<VmRecord> vms;
    if (auto failure = ListVms(client, xml, s.pageSize, vms)) {
        return failure;
    }
    for (VmRecord& vm : vms) {
        if (auto failure = ResolvePlacement(client, xml, cache, vm)) {
            return failure;
        }
        if (auto failure = FetchTags(client, vm)) {
            return failure;
        }
    }
    const std::string source = embedded ? "the embedded host API" : url;
    report = s.format == "table" ? TableReport(source, vms) : XmlReport(xml, source, vms);
    if (report.empty()) {
        return Failure{kDocument, "the report cannot hold a string the host sent"};
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    s.stateDir = DefaultStateDir();
    CLI::App app{"Lists the virtual machines of a host through its REST API."};
    app.add_option("--server", s.server,
                   "host API base URL, e.g. https://vmhost:8443/api/v1 (default: an embedded "
                   "host API on 127.0.0.1)");
    app.add_option("--ca-file", s.caFile, "CA bundle that signed the host's certificate");
    app.add_flag("--insecure", s.insecure, "do not verify the host's certificate");
    app.add_option("--user", s.user, "user name for the login")->capture_default_str();
    app.add_option("--password-file", s.passwordFile,
                   "your own file whose first line is the password; only you may read or write it");
    app.add_option("--password", s.password,
                   "password for the login; other users of this machine can see it in the "
                   "process list, so prefer the environment variable VM_INVENTORY_PASSWORD or "
                   "--password-file");
    app.add_option("--format", s.format, "report format")
        ->check(CLI::IsMember({"xml", "table"}))
        ->capture_default_str();
    app.add_option("--page-size", s.pageSize, "VMs per list request")
        ->check(CLI::Range(1u, 1000u))
        ->capture_default_str();
    app.add_option(
           "--state-dir", s.stateDir,
           "where the example keeps its agent configuration and GUID cache when "
           "VSAGENT_CONFIG is not set: a directory of this user's own that no one "
           "else may write (default: vssupport-vm-inventory in the first of $XDG_STATE_HOME, "
           "~/.local/state and $XDG_RUNTIME_DIR that is set)")
        ->capture_default_str();
    app.add_flag("--verbose", s.verbose, "show the library's log lines on stderr");
    app.add_flag("--trace", s.trace,
                 "libcurl's trace of each exchange, through the log, secrets masked (implies "
                 "--verbose)");
    app.add_option("--embedded-fault", s.embeddedFault,
                   "make the embedded host API misbehave, to see how failures read: "
                   "refuse-login, malformed-list, control-name (a VM name with a terminal "
                   "control sequence), endless-list (a list whose count never ends), "
                   "external-entity:/path (a list whose VM name is an external entity naming "
                   "that file)")
        ->check([](const std::string& value) {
            static const std::set<std::string> named = {"none", "refuse-login", "malformed-list",
                                                        "control-name", "endless-list"};
            return named.count(value) != 0 || value.rfind("external-entity:/", 0) == 0
                       ? std::string()
                       : std::string(
                             "none, refuse-login, malformed-list, control-name, "
                             "endless-list or external-entity:PATH");
        })
        ->group("Demonstration");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kOk : kUsage;
    }

    // The transport writes its trace at the log's lowest level, so showing the log is enough.
    s.verbose = s.verbose || s.trace;
    // The library's log is for diagnosis; a person sees one clear message unless they ask.
    if (!s.verbose) {
        TqDebugSetSink([](const TqDebugRecord&) {});
    }
    std::string report;
    try {
        if (auto failure = Run(s, report)) {
            std::fprintf(stderr, "vm-inventory: %s\n", Printable(failure->message).c_str());
            return failure->code;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vm-inventory: %s\n", Printable(e.what()).c_str());
        return kHost;
    }
    std::fputs(report.c_str(), stdout);
    return kOk;
}
