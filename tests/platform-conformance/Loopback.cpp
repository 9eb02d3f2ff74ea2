#include "Loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace conformance {

std::string LoopbackUrl(const std::string& scheme, int port, const std::string& path) {
    return scheme + "://127.0.0.1:" + std::to_string(port) + path;
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
        ::close(fd);  // bound but never listening: the port stays unused
    }
    if (!bound) {
        throw std::runtime_error("cannot find a free port on 127.0.0.1");
    }
    return ntohs(addr.sin_port);
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vsconformance-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    m_strPath = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_strPath, ignored);
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

namespace {

void Run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
        throw std::runtime_error("command failed: " + command);
    }
}

// A key and a certificate for `address`, signed by the CA in `dir`.
void MakeServerCertificate(const std::string& dir, const std::string& name,
                           const std::string& address) {
    const std::string openssl = VSCONF_OPENSSL_EXECUTABLE;
    const std::string base = dir + "/" + name;
    WriteFile(base + ".ext", "subjectAltName=IP:" + address + "\nbasicConstraints=CA:FALSE\n");
    Run(openssl + " req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes" +
        " -subj /CN=vsconformance-" + name + " -keyout " + base + ".key -out " + base + ".csr");
    Run(openssl + " x509 -req -days 2 -in " + base + ".csr -CA " + dir + "/ca.pem -CAkey " + dir +
        "/ca.key -CAcreateserial -extfile " + base + ".ext -out " + base + ".pem");
}

}  // namespace

Certificates MakeCertificates(const std::string& dir) {
    const std::string openssl = VSCONF_OPENSSL_EXECUTABLE;
    Run(openssl + " req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2" +
        " -subj /CN=vsconformance-ca -keyout " + dir + "/ca.key -out " + dir + "/ca.pem");
    MakeServerCertificate(dir, "server", "127.0.0.1");
    MakeServerCertificate(dir, "other", "127.0.0.2");
    return {dir + "/ca.pem", dir + "/server.pem", dir + "/server.key", dir + "/other.pem",
            dir + "/other.key"};
}

HttpServer::HttpServer(Responder responder)
    : HttpServer(std::make_unique<httplib::Server>(), std::move(responder)) {}

HttpServer::HttpServer(std::unique_ptr<httplib::Server> server, Responder responder)
    : m_pServer(std::move(server)), m_responder(std::move(responder)) {
    if (!m_pServer->is_valid()) {
        throw std::runtime_error("the test server could not be set up (certificate?)");
    }
    if (!m_responder) {
        m_responder = [](const httplib::Request&, httplib::Response& res) {
            res.set_content("ok", "text/plain");
        };
    }
    // Routes rather than the pre-routing hook: that one runs before the body has been read.
    auto record = [this](const httplib::Request& req, httplib::Response& res) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.push_back({req.method, req.body, req.headers});
        }
        m_responder(req, res);
    };
    // cpp-httplib takes a raw pointer here and owns the queue from then on.
    m_pServer->new_task_queue = [] { return new httplib::ThreadPool(8); };
    m_pServer->set_tcp_nodelay(true);
    const std::string any = ".*";
    m_pServer->Get(any, record).Post(any, record).Put(any, record).Delete(any, record);
    m_nPort = m_pServer->bind_to_any_port("127.0.0.1");
    if (m_nPort <= 0) {
        throw std::runtime_error("the test server cannot bind 127.0.0.1");
    }
    // The socket listens already, so clients may connect before the thread accepts.
    m_thread = std::thread([this] { m_pServer->listen_after_bind(); });
    // stop() does nothing until the accept loop runs; wait for it so that destruction ends.
    for (int i = 0; i < 5000 && !m_pServer->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

HttpServer::~HttpServer() {
    m_pServer->stop();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

std::vector<ReceivedRequest> HttpServer::Requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

RawServer::RawServer(Handler handler) : m_handler(std::move(handler)) {
    m_nListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (m_nListenFd < 0 || ::bind(m_nListenFd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(m_nListenFd, 16) != 0 ||
        ::getsockname(m_nListenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (m_nListenFd >= 0) {
            ::close(m_nListenFd);
        }
        throw std::runtime_error("the raw test server cannot listen on 127.0.0.1");
    }
    m_nPort = ntohs(addr.sin_port);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

RawServer::~RawServer() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopping = true;
        for (int fd : m_open) {
            ::shutdown(fd, SHUT_RDWR);  // wakes a handler blocked in read or write
        }
    }
    ::shutdown(m_nListenFd, SHUT_RDWR);  // wakes accept
    m_acceptThread.join();
    for (auto& worker : m_workers) {
        worker.join();
    }
    ::close(m_nListenFd);
}

void RawServer::AcceptLoop() {
    for (;;) {
        const int fd = ::accept4(m_nListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        const int error = errno;
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bStopping) {
            if (fd >= 0) {
                ::close(fd);
            }
            return;
        }
        if (fd < 0) {
            if (error == EINTR || error == ECONNABORTED) {
                continue;
            }
            return;
        }
        m_open.push_back(fd);
        m_workers.emplace_back([this, fd] { Serve(fd); });
    }
}

void RawServer::Serve(int fd) {
    m_handler(fd);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open.erase(std::find(m_open.begin(), m_open.end(), fd));
    ::close(fd);
}

std::string RawServer::ReadHead(int fd) {
    std::string head;
    char c = 0;
    while (head.size() < 65536 && ::read(fd, &c, 1) == 1) {
        head += c;
        if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0) {
            return head;
        }
    }
    return {};
}

std::string RawServer::PathOf(const std::string& head) {
    const size_t start = head.find(' ');
    const size_t end = head.find(' ', start + 1);
    return start == std::string::npos || end == std::string::npos
               ? std::string()
               : head.substr(start + 1, end - start - 1);
}

bool RawServer::WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool RawServer::PeerClosesWithin(int fd, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd wait{fd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return ready < 0;
        }
        if (::read(fd, buffer, sizeof buffer) <= 0) {
            return true;  // an end of stream or a reset: the peer is gone
        }
    }
}

void RawServer::ResetOnClose(int fd) {
    const linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

SilencedStderr::SilencedStderr() {
    std::fflush(stderr);
    m_nSaved = ::dup(STDERR_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDERR_FILENO);
        ::close(null);
    }
}

SilencedStderr::~SilencedStderr() {
    std::fflush(stderr);
    if (m_nSaved >= 0) {
        ::dup2(m_nSaved, STDERR_FILENO);
        ::close(m_nSaved);
    }
}

}  // namespace conformance
