#include "LoopbackServer.h"

#include <httplib.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "VmList.h"

namespace {

// Client and server on one CPU (the lowest the process may use), unless VSBENCH_PIN=0. On the
// virtual machines we measure on, waking a process on another CPU takes tens of microseconds, two
// of them a request, and whether the scheduler places the two processes together or apart
// changes a run's figures by a factor of two or three. On one CPU a request costs the client's
// and the server's work, and the client's share is what differs between the clients.
void PinToOneCpu() {
    const char* pin = std::getenv("VSBENCH_PIN");
    cpu_set_t allowed;
    if ((pin != nullptr && std::string(pin) == "0") ||
        ::sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        return;
    }
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            ::sched_setaffinity(0, sizeof one, &one);
            return;
        }
    }
}

std::string Body(size_t length) {
    std::string body(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        body[i] = static_cast<char>('a' + i % 26);
    }
    return body;
}

// The VM list as a host sends it: gzip, compressed once, to a request that offers gzip, else
// the text. Served through a provider of known length, which cpp-httplib sends as it is, so
// that it neither compresses the text again nor spends a request's time compressing.
void ServeVmList(httplib::Server& server) {
    auto text = std::make_shared<const std::string>(vsbench::VmListJson(vsbench::VmListCount()));
    auto gzip = std::make_shared<const std::string>(vsbench::Gzip(*text));
    server.Get("/get/vm_list", [text, gzip](const httplib::Request& req, httplib::Response& res) {
        const bool compressed =
            req.get_header_value("Accept-Encoding").find("gzip") != std::string::npos &&
            !gzip->empty();
        std::shared_ptr<const std::string> body = compressed ? gzip : text;
        if (compressed) {
            res.set_header("Content-Encoding", "gzip");
        }
        res.set_content_provider(body->size(), "application/json",
                                 [body](size_t offset, size_t length, httplib::DataSink& sink) {
                                     return sink.write(body->data() + offset, length);
                                 });
    });
}

std::unique_ptr<httplib::Server> MakeServer(const LoopbackServer::TlsIdentity* tls) {
    if (tls == nullptr) {
        return std::make_unique<httplib::Server>();
    }
    return std::make_unique<httplib::SSLServer>(tls->certFile.c_str(), tls->keyFile.c_str());
}

[[noreturn]] void Serve(int portPipe, pid_t parent, const LoopbackServer::TlsIdentity* tls) {
    // The server must not outlive a benchmark program that crashed or was killed.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) {
        ::_exit(0);
    }
    const std::string small = Body(LoopbackServer::kSmallBody);
    const std::string large = Body(LoopbackServer::kLargeBody);
    const std::unique_ptr<httplib::Server> owned = MakeServer(tls);
    httplib::Server& server = *owned;
    server.set_keep_alive_max_count(100000000);  // one client connection, one socket
    server.set_tcp_nodelay(true);                // no Nagle stall between header and body writes
    server.Get("/get/1k", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(small, "application/json");
    });
    server.Get("/get/64k", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(large, "application/json");
    });
    ServeVmList(server);
    server.Post("/post", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(std::to_string(req.body.size()), "application/json");
    });
    // An SSLServer that could not load its certificate or key reports no port either.
    int port = server.is_valid() ? server.bind_to_any_port("127.0.0.1") : -1;
    const bool told = ::write(portPipe, &port, sizeof port) == static_cast<ssize_t>(sizeof port);
    ::close(portPipe);
    if (port > 0 && told) {
        server.listen_after_bind();
    }
    ::_exit(0);
}

}  // namespace

LoopbackServer::LoopbackServer() {
    Start(nullptr);
}

LoopbackServer::LoopbackServer(const TlsIdentity& tls) {
    Start(&tls);
}

void LoopbackServer::Start(const TlsIdentity* tls) {
    PinToOneCpu();  // before the fork: the server inherits it
    int fds[2];
    if (::pipe(fds) != 0) {
        throw std::runtime_error("loopback server: no pipe");
    }
    const pid_t parent = ::getpid();
    m_nPid = ::fork();
    if (m_nPid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        throw std::runtime_error("loopback server: fork failed");
    }
    if (m_nPid == 0) {
        ::close(fds[0]);
        Serve(fds[1], parent, tls);
    }
    ::close(fds[1]);
    int port = -1;
    ssize_t got;
    do {
        got = ::read(fds[0], &port, sizeof port);
    } while (got < 0 && errno == EINTR);
    ::close(fds[0]);
    if (got != static_cast<ssize_t>(sizeof port) || port <= 0) {
        ::kill(m_nPid, SIGTERM);
        ::waitpid(m_nPid, nullptr, 0);
        throw std::runtime_error(tls != nullptr
                                     ? "loopback server: cannot bind 127.0.0.1 or load the TLS key"
                                     : "loopback server: cannot bind 127.0.0.1");
    }
    // The socket listens before the port is reported, so clients may connect at once.
    m_nPort = port;
}

LoopbackServer::~LoopbackServer() {
    if (m_nPid > 0) {
        ::kill(m_nPid, SIGTERM);
        ::waitpid(m_nPid, nullptr, 0);
    }
}
