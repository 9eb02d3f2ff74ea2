#include "HostApiServer.h"
#include "XmlText.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include <xercesc/dom/DOM.hpp>

#include "VSXMLDocument.h"
#include "VSXMLParser.h"

using namespace xercesc;

struct HostApiServer::Vm {
    std::string id;
    std::string name;
    unsigned memoryMB;
    unsigned long long diskBytes;
    bool isTemplate;
    std::string created;  // local time, "%Y-%m-%dT%H:%M:%S"
    std::string host;
    std::string datastore;
    std::vector<std::string> tags;
};

namespace {

const char* const kRoles[] = {"web", "db", "cache", "build", "mail", "backup"};
const char* const kHosts[] = {"host-01", "host-02", "host-03", "host-04"};
const char* const kTags[] = {"production", "staging", "linux", "windows", "pci", "nightly"};

// The credentials of <login user=".." password=".."/>, read as the client's XML wrote them:
// a password may hold any character, escaped. Each request parses with objects of its own,
// as the server answers on several threads.
bool ReadLogin(const std::string& body, std::string& user, std::string& password) {
    CVSXMLDocument document;
    CVSXMLParser xml;
    if (!document.Parse(body) || xml.GetNodeName(document.Root()) != "login") {
        return false;
    }
    DOMNamedNodeMap* attributes = document.Root()->getAttributes();
    for (XMLSize_t i = 0; i < attributes->getLength(); ++i) {
        DOMNode* attribute = attributes->item(i);
        xml.ParseFromAttributeValue(attribute, "user", user) ||
            xml.ParseFromAttributeValue(attribute, "password", password);
    }
    return true;
}

void Unauthorised(httplib::Response& res) {
    res.status = 401;
    res.set_content("<error>session expired or missing</error>", "application/xml");
}

unsigned ParamOr(const httplib::Request& req, const char* name, unsigned fallback) {
    if (!req.has_param(name)) {
        return fallback;
    }
    try {
        return static_cast<unsigned>(std::stoul(req.get_param_value(name)));
    } catch (const std::exception&) {
        return fallback;
    }
}

}  // namespace

bool ApplyEmbeddedFault(const std::string& fault, HostApiSettings& settings) {
    if (fault == kNoFault) {
        return true;
    }
    const std::string entity = kExternalEntityFault;
    if (fault.rfind(entity + "/", 0) == 0) {
        settings.externalEntityFile = fault.substr(entity.size());
        return true;
    }
    for (const EmbeddedFault& named : kEmbeddedFaults) {
        if (fault == named.name) {
            settings.*named.flag = true;
            return true;
        }
    }
    return false;
}

HostApiServer::HostApiServer(HostApiSettings settings)
    : m_settings(std::move(settings)), m_pServer(std::make_unique<httplib::Server>()) {
    for (unsigned i = 0; i < m_settings.vmCount; ++i) {
        Vm vm;
        char id[16];
        std::snprintf(id, sizeof id, "vm-%04u", 1001 + i * 7);
        vm.id = id;
        vm.name = std::string(kRoles[i % 6]) + "-" + std::to_string(i / 6 + 1);
        vm.memoryMB = 1024u << (i % 4);
        vm.diskBytes = (20ull + 10ull * (i % 9)) << 30;
        vm.isTemplate = i % 11 == 10;
        char created[32];
        std::snprintf(created, sizeof created, "2025-%02u-%02uT%02u:%02u:00", 1 + i % 12,
                      1 + (i * 5) % 28, (i * 7) % 24, (i * 13) % 60);
        vm.created = created;
        vm.host = kHosts[i % 4];
        vm.datastore = "/datastores/ds" + std::to_string(1 + i % 3) + "/" + vm.name;
        vm.tags = {kTags[i % 2], kTags[2 + i % 2]};
        if (i % 5 == 0) {
            vm.tags.push_back(kTags[4 + i % 2]);
        }
        m_vms.push_back(std::move(vm));
    }
    if (m_settings.controlName) {
        m_vms[0].name += "\x1b]0;pwned\x07";
    }
    AddRoutes();
    m_pServer->set_tcp_nodelay(true);
    m_nPort = m_pServer->bind_to_any_port("127.0.0.1");
    if (m_nPort <= 0) {
        throw std::runtime_error("the embedded host API cannot bind 127.0.0.1");
    }
    m_thread = std::thread([this] { m_pServer->listen_after_bind(); });
    // stop() is a no-op until the accept loop runs, so wait for it; bounded, in case the
    // loop never starts.
    for (int i = 0; i < 5000 && !m_pServer->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!m_pServer->is_running()) {
        m_pServer->stop();
        m_thread.join();
        throw std::runtime_error("the embedded host API did not start");
    }
}

HostApiServer::~HostApiServer() {
    m_pServer->stop();
    m_thread.join();
}

const HostApiServer::Vm* HostApiServer::Find(const std::string& id) const {
    for (const Vm& vm : m_vms) {
        if (vm.id == id) {
            return &vm;
        }
    }
    return nullptr;
}

bool HostApiServer::TakeToken(const std::string& token) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (token.empty() || token != m_strToken || m_nTokenUses >= m_settings.tokenLifetime) {
        return false;
    }
    ++m_nTokenUses;
    return true;
}

void HostApiServer::AddRoutes() {
    using httplib::Request;
    using httplib::Response;
    m_pServer->Post("/api/v1/session",
                    [this](const Request& req, Response& res) { Login(req, res); });
    m_pServer->Get("/api/v1/vms", [this](const Request& req, Response& res) { ListVms(req, res); });
    m_pServer->Get(R"(/api/v1/vms/([^/]+)/(tags|placement))",
                   [this](const Request& req, Response& res) { DescribeVm(req, res); });
}

void HostApiServer::Login(const httplib::Request& req, httplib::Response& res) {
    std::string user, password;
    if (!ReadLogin(req.body, user, password)) {
        res.status = 400;
        res.set_content("<error>not a login document</error>", "application/xml");
        return;
    }
    if (m_settings.refuseLogin || user != m_settings.user || password != m_settings.password) {
        res.status = 401;
        res.set_content("<error>invalid credentials</error>", "application/xml");
        return;
    }
    const unsigned n = ++m_nLogins;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_strToken = "session-" + std::to_string(n);
    m_nTokenUses = 0;
    res.set_header("X-Session-Token", m_strToken);
    res.set_content("<session/>", "application/xml");
}

void HostApiServer::ListVms(const httplib::Request& req, httplib::Response& res) {
    if (!TakeToken(req.get_header_value("X-Session-Token"))) {
        return Unauthorised(res);
    }
    const unsigned pageSize = std::max(1u, ParamOr(req, "pageSize", 20));
    const unsigned page = m_settings.endlessList ? 1u : std::max(1u, ParamOr(req, "page", 1));
    std::string text = VmPage(page, pageSize);
    if (!m_settings.externalEntityFile.empty()) {
        text = "<?xml version=\"1.0\"?>\n<!DOCTYPE vms [<!ENTITY leak SYSTEM \"file://" +
               m_settings.externalEntityFile +
               "\">]>\n<vms total=\"1\"><vm id=\"vm-1001\"><name>&leak;</name></vm></vms>\n";
    }
    if (m_settings.malformedList) {
        text.resize(text.size() / 2);  // cut off mid-document, as a broken proxy would
    }
    res.set_content(text, "application/xml");
}

std::string HostApiServer::VmPage(unsigned page, unsigned pageSize) const {
    const size_t total = m_settings.endlessList ? 4000000000u : m_vms.size();
    std::ostringstream xml;
    xml << "<?xml version=\"" << (m_settings.controlName ? "1.1" : "1.0")
        << "\" encoding=\"UTF-8\"?>\n<vms total=\"" << total << "\" page=\"" << page
        << "\" pageSize=\"" << pageSize << "\">\n";
    for (size_t i = (page - 1) * size_t{pageSize}; i < m_vms.size() && i < page * size_t{pageSize};
         ++i) {
        const Vm& vm = m_vms[i];
        xml << "  <vm id=\"" << vm.id << "\" template=\"" << (vm.isTemplate ? "true" : "false")
            << "\">\n    <name>" << XmlText(vm.name) << "</name>\n    <memoryMB>" << vm.memoryMB
            << "</memoryMB>\n    <diskBytes>" << vm.diskBytes << "</diskBytes>\n    <created>"
            << vm.created << "</created>\n  </vm>\n";
    }
    xml << "</vms>\n";
    return xml.str();
}

void HostApiServer::DescribeVm(const httplib::Request& req, httplib::Response& res) {
    if (!TakeToken(req.get_header_value("X-Session-Token"))) {
        return Unauthorised(res);
    }
    const Vm* vm = Find(req.matches[1].str());
    if (vm == nullptr) {
        res.status = 404;
        res.set_content("<error>no such vm</error>", "application/xml");
    } else if (req.matches[2] == "tags") {
        std::string json = "{\"vm\": \"" + vm->id + "\", \"tags\": [";
        for (size_t t = 0; t < vm->tags.size(); ++t) {
            json += (t ? ", \"" : "\"") + vm->tags[t] + "\"";
        }
        res.set_content(json + "]}", "application/json");
    } else {
        res.set_content("<placement vm=\"" + vm->id + "\">\n  <host>" + vm->host +
                            "</host>\n  <datastore>" + XmlText(vm->datastore) +
                            "</datastore>\n</placement>\n",
                        "application/xml");
    }
}
