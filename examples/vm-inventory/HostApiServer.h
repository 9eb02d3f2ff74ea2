// A small virtualization host API served on 127.0.0.1, so the example runs with no setup.
//
//   POST /api/v1/session            body <login user=".." password=".."/>; answers 200 with the
//                                   header X-Session-Token, or 401
//   GET  /api/v1/vms?page=&pageSize= one page of the inventory as XML
//   GET  /api/v1/vms/<id>/placement where the VM runs, as XML: <placement><host/><datastore/>
//   GET  /api/v1/vms/<id>/tags      the VM's tags as JSON: {"vm": "<id>", "tags": [..]}
//
// Every request but the login needs a valid X-Session-Token. A token expires after a fixed
// number of requests, so a long listing shows a client logging in again.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

// The embedded host's own account: the program offers it only to the host it serves itself.
inline constexpr const char* kEmbeddedUser = "admin";
inline constexpr const char* kEmbeddedPassword = "secret";

struct HostApiSettings {
    std::string user = kEmbeddedUser;
    std::string password = kEmbeddedPassword;
    unsigned tokenLifetime = 25;  // requests per token
    bool refuseLogin = false;     // answer every login with 401
    bool malformedList = false;   // send a VM list that is not well-formed XML
    // Name the first VM with a terminal control sequence (ESC ]0;...BEL retitles the window),
    // sent as character references in an XML 1.1 list, where they are allowed.
    bool controlName = false;
    // Claim far more VMs than there are and answer every page number with a full page, as a
    // host whose count is wrong or hostile would: a client trusting the count never stops.
    bool endlessList = false;
    // Send a VM list whose name is an external entity naming a local file: a client that
    // resolves it would put the file into its report.
    std::string externalEntityFile;
    unsigned vmCount = 36;
};

// The ways the embedded host can be told to misbehave, by the names the program takes, so a
// person can see how each failure reads.
struct EmbeddedFault {
    const char* name;
    const char* effect;
    bool HostApiSettings::*flag;
};
inline constexpr EmbeddedFault kEmbeddedFaults[] = {
    {"refuse-login", "", &HostApiSettings::refuseLogin},
    {"malformed-list", "", &HostApiSettings::malformedList},
    {"control-name", "a VM name with a terminal control sequence", &HostApiSettings::controlName},
    {"endless-list", "a list whose count never ends", &HostApiSettings::endlessList},
};
inline constexpr const char* kNoFault = "none";
// Followed by an absolute path: a list whose VM name is an external entity naming that file.
inline constexpr const char* kExternalEntityFault = "external-entity:";

// Sets up `settings` for the named fault; false for a name that is none of them.
bool ApplyEmbeddedFault(const std::string& fault, HostApiSettings& settings);

class HostApiServer {
public:
    explicit HostApiServer(HostApiSettings settings = HostApiSettings());
    ~HostApiServer();
    HostApiServer(const HostApiServer&) = delete;
    HostApiServer& operator=(const HostApiServer&) = delete;

    int Port() const { return m_nPort; }
    unsigned Logins() const { return m_nLogins.load(); }

private:
    struct Vm;
    void AddRoutes();
    void Login(const httplib::Request& req, httplib::Response& res);
    void ListVms(const httplib::Request& req, httplib::Response& res);
    void DescribeVm(const httplib::Request& req, httplib::Response& res);
    std::string VmPage(unsigned page, unsigned pageSize) const;
    bool TakeToken(const std::string& token);
    const Vm* Find(const std::string& id) const;

    HostApiSettings m_settings;
    std::vector<Vm> m_vms;
    std::unique_ptr<httplib::Server> m_pServer;
    std::thread m_thread;
    int m_nPort = -1;
    std::mutex m_mutex;
    std::string m_strToken;
    unsigned m_nTokenUses = 0;
    std::atomic<unsigned> m_nLogins{0};
};
