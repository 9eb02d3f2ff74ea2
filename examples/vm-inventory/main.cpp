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
// The embedded host API accepts only its own account (kEmbeddedUser, kEmbeddedPassword).
// The local state the example keeps on this machine is LocalState.cpp's.
#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "HostApiServer.h"
#include "Inventory.h"
#include "InventoryClient.h"
#include "JXVMGuidCache.h"
#include "LocalState.h"
#include "Printable.h"
#include "TqDebug.h"
#include "VSJsonParser.h"
#include "VSSupportVersion.h"
#include "json_spirit/json_spirit_reader.h"

namespace {

struct Settings {
    std::string server;
    std::string caFile;
    bool insecure = false;
    std::string user = kEmbeddedUser;
    std::optional<std::string> password;
    std::optional<std::string> passwordFile;
    std::string format = "xml";
    unsigned pageSize = 10;
    std::string stateDir;
    bool verbose = false;
    bool trace = false;
    std::string embeddedFault = kNoFault;
};

constexpr const char* kPasswordVariable = "VM_INVENTORY_PASSWORD";
// A host's VM count decides how many pages we ask for; past this many a count is not believed.
constexpr unsigned kMaxPages = 10000;

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
        client.appendQueryParameter(resource, "page", std::to_string(page));
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
    ApplyEmbeddedFault(fault, host);  // the option's check took only the names it knows
    return std::make_unique<HostApiServer>(host);
}

// The fault names as the option's help and its error list them.
std::string FaultHelp(bool withEffects) {
    std::string text;
    for (const EmbeddedFault& fault : kEmbeddedFaults) {
        text += std::string(fault.name) +
                (withEffects && *fault.effect ? std::string(" (") + fault.effect + ")" : "") + ", ";
    }
    if (withEffects) {
        return text + kExternalEntityFault +
               "/path (a list whose VM name is an external entity naming that file)";
    }
    text.resize(text.size() - 2);
    return text + " or " + kExternalEntityFault + "PATH";
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
    // Compression stays on (the default): a host that compresses its long VM lists may send
    // them gzip, brotli or zstd encoded, and the client reads them decoded, under the same limit.
    InventoryClient client(endpoint, s.user, password);
    // A host under load answers 503 (with Retry-After) or 429 for a while, and a load balancer
    // may reset a kept-alive connection: the GETs are sent again (three attempts at most, within
    // half a minute; the login's POST is not), and no attempt runs longer than a minute.
    VSRestApiRetryPolicy retries;
    retries.nMaxAttempts = 3;
    retries.nFirstDelayMs = 500;
    retries.nMaxDelayMs = 5000;
    retries.nDeadlineMs = 30000;
    client.setRetryPolicy(retries);
    client.setRequestDeadline(60000);
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
    app.set_version_flag("--version", std::string("vm-inventory ") + VSSUPPORT_VERSION_STRING,
                         "print the version and exit");
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
    app.add_option(
           "--embedded-fault", s.embeddedFault,
           "make the embedded host API misbehave, to see how failures read: " + FaultHelp(true))
        ->check([](const std::string& value) {
            HostApiSettings ignored;
            return ApplyEmbeddedFault(value, ignored)
                       ? std::string()
                       : std::string(kNoFault) + ", " + FaultHelp(false);
        })
        ->group("Demonstration");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kOk : kUsage;
    }

    // Switched on once, before any client: an agent that makes a client per job then pays the
    // TCP and TLS handshakes once per host instead of once per job.
    JXLibCurl::EnableConnectionPool();
    // The transport writes its trace at the log's lowest level, so showing the log is enough.
    s.verbose = s.verbose || s.trace;
    // The library's log is for diagnosis; a person sees one clear message unless they ask (a
    // log file, when one is named, keeps the records either way).
    if (!s.verbose) {
        TqDebug::SetSinkLevel(TqDebug::kStderrSink, TqDebug::kSilent);
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
