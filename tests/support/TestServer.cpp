#include "TestServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace {

void Run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
        throw std::runtime_error("command failed: " + command);
    }
}

}  // namespace

TlsMaterial MakeTestCertificates(const std::string& dir) {
    const std::string openssl = VSTEST_OPENSSL_EXECUTABLE;
    Run(openssl + " req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2" +
        " -subj /CN=vssupport-test-ca -keyout " + dir + "/ca.key -out " + dir + "/ca.pem");
    return MakeServerCertificate(dir, "server", "127.0.0.1");
}

TlsMaterial MakeServerCertificate(const std::string& dir, const std::string& name,
                                  const std::string& address) {
    const std::string openssl = VSTEST_OPENSSL_EXECUTABLE;
    const std::string base = dir + "/" + name;
    std::ofstream(base + ".ext") << "subjectAltName=IP:" << address
                                 << "\nbasicConstraints=CA:FALSE\n";
    Run(openssl + " req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes" +
        " -subj /CN=vssupport-test-" + name + " -keyout " + base + ".key -out " + base + ".csr");
    Run(openssl + " x509 -req -days 2 -in " + base + ".csr -CA " + dir + "/ca.pem -CAkey " + dir +
        "/ca.key -CAcreateserial -extfile " + base + ".ext -out " + base + ".pem");
    return {dir + "/ca.pem", base + ".pem", base + ".key"};
}

int UnusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    if (fd >= 0) {
        ::close(fd);  // bound but never listened on: connections to it are refused
    }
    if (!bound) {
        throw std::runtime_error("cannot find a free port");
    }
    return ntohs(addr.sin_port);
}

std::string LoopbackUrl(const std::string& scheme, int port, const std::string& path) {
    return scheme + "://127.0.0.1:" + std::to_string(port) + path;
}

TestServer::TestServer() : TestServer(std::make_unique<httplib::Server>()) {}

TestServer::TestServer(const TlsMaterial& tls)
    : TestServer(std::make_unique<httplib::SSLServer>(tls.certFile.c_str(), tls.keyFile.c_str())) {}

TestServer::TestServer(std::unique_ptr<httplib::Server> server) : m_pServer(std::move(server)) {
    if (!m_pServer->is_valid()) {
        throw std::runtime_error("test server could not be set up (its certificate?)");
    }
    Start();
}

TestServer::~TestServer() {
    m_pServer->stop();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void TestServer::Start() {
    m_responder = [](const httplib::Request& req, httplib::Response& res) {
        res.set_content("ok " + req.method, "text/plain");
    };
    // Routes rather than the pre-routing hook: that one runs before the body has been read.
    auto record = [this](const httplib::Request& req, httplib::Response& res) {
        Responder responder;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_nRequests;
            m_ports.insert(req.remote_port);
            if (m_bRecording) {
                m_requests.push_back(
                    {req.method, req.target, req.body, req.headers, req.remote_port});
            }
            responder = m_responder;
        }
        responder(req, res);
    };
    // Each keep-alive connection holds a worker; load tests run 16 client connections at once.
    m_pServer->new_task_queue = [] { return new httplib::ThreadPool(32); };
    m_pServer->set_keep_alive_max_count(1000000);  // one client connection, one socket
    m_pServer->set_tcp_nodelay(true);  // no 40 ms Nagle stall between header and body writes
    const std::string any = ".*";
    m_pServer->Get(any, record)
        .Post(any, record)
        .Put(any, record)
        .Delete(any, record)
        .Patch(any, record);
    m_nPort = m_pServer->bind_to_any_port("127.0.0.1");
    if (m_nPort <= 0) {
        throw std::runtime_error("test server cannot bind 127.0.0.1");
    }
    // The socket already listens, so clients may connect before the thread accepts.
    m_thread = std::thread([this] { m_pServer->listen_after_bind(); });
    // stop() is a no-op until the accept loop runs; wait for it so destruction cannot hang.
    for (int i = 0; i < 5000 && !m_pServer->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::string TestServer::Url(const std::string& path) const {
    const bool tls = dynamic_cast<const httplib::SSLServer*>(m_pServer.get()) != nullptr;
    return LoopbackUrl(tls ? "https" : "http", m_nPort, path);
}

void TestServer::SetResponder(Responder responder) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_responder = std::move(responder);
}

std::vector<ReceivedRequest> TestServer::Requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

std::set<int> TestServer::ClientPorts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ports;
}

void TestServer::SetRecording(bool on) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bRecording = on;
}

size_t TestServer::RequestCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nRequests;
}
