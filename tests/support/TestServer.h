// An HTTP or HTTPS server on 127.0.0.1 (a free port) for the tests, running on its own thread
// from construction to destruction. It records every request it receives, whatever the method
// or path, and answers through a replaceable responder.
#pragma once

#include <httplib.h>

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct ReceivedRequest {
    std::string method;
    std::string target;  // path and query exactly as sent
    std::string body;
    httplib::Headers headers;
    int remotePort = -1;  // one value per client TCP connection
};

struct TlsMaterial {
    std::string caFile;
    std::string certFile;
    std::string keyFile;
};

// A CA and a server certificate for 127.0.0.1 only (not for "localhost"), made with the openssl
// tool in dir.
TlsMaterial MakeTestCertificates(const std::string& dir);
// One more server certificate, for `address` only, signed by the CA that MakeTestCertificates
// made in dir; its files are dir/name.pem and dir/name.key.
TlsMaterial MakeServerCertificate(const std::string& dir, const std::string& name,
                                  const std::string& address);

// A port on 127.0.0.1 that nothing listens on: connections to it are refused.
int UnusedPort();

// "scheme://127.0.0.1:port/path..." (path begins with "/").
std::string LoopbackUrl(const std::string& scheme, int port, const std::string& path);

class TestServer {
public:
    using Responder = std::function<void(const httplib::Request&, httplib::Response&)>;

    TestServer();
    explicit TestServer(const TlsMaterial& tls);
    // A server the caller set up itself (e.g. an httplib::SSLServer with its own TLS context).
    explicit TestServer(std::unique_ptr<httplib::Server> server);
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int Port() const { return m_nPort; }
    // The URL of path on this server, https for a TLS server (path begins with "/").
    std::string Url(const std::string& path) const;
    // Default: status 200, body "ok <METHOD>".
    void SetResponder(Responder responder);
    std::vector<ReceivedRequest> Requests() const;
    std::set<int> ClientPorts() const;
    // Off: requests are only counted, and their client ports kept (for load tests, whose
    // memory must not grow with the request count).
    void SetRecording(bool on);
    size_t RequestCount() const;

private:
    void Start();

    std::unique_ptr<httplib::Server> m_pServer;
    std::thread m_thread;
    int m_nPort = -1;
    mutable std::mutex m_mutex;
    std::vector<ReceivedRequest> m_requests;
    bool m_bRecording = true;
    size_t m_nRequests = 0;
    std::set<int> m_ports;
    Responder m_responder;
};
