#include "RawServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

RawServer::RawServer(Handler handler) : m_handler(std::move(handler)) {
    m_nListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (m_nListenFd < 0 || ::bind(m_nListenFd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(m_nListenFd, 16) != 0 ||
        ::getsockname(m_nListenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        throw std::runtime_error("raw test server cannot listen on 127.0.0.1");
    }
    m_nPort = ntohs(addr.sin_port);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

RawServer::~RawServer() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopping = true;
        for (int fd : m_clients) {
            ::shutdown(fd, SHUT_RDWR);  // wakes handlers blocked in read
        }
    }
    ::shutdown(m_nListenFd, SHUT_RDWR);  // wakes accept
    m_acceptThread.join();
    for (auto& worker : m_workers) {
        worker.join();
    }
    for (int fd : m_clients) {
        ::close(fd);
    }
    ::close(m_nListenFd);
}

void RawServer::AcceptLoop() {
    for (int n = 0;; ++n) {
        const int fd = ::accept4(m_nListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (fd < 0 || m_bStopping) {
            if (fd >= 0) {
                ::close(fd);
            }
            return;
        }
        m_clients.push_back(fd);
        m_workers.emplace_back([this, fd, n] { m_handler(fd, n); });
    }
}

std::string RawServer::ReadRequestHead(int fd) {
    std::string head;
    char c;
    while (head.size() < 65536 && ::read(fd, &c, 1) == 1) {
        head += c;
        if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0) {
            return head;
        }
    }
    return {};
}

void RawServer::WriteText(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void RawServer::WaitForClose(int fd) {
    char buffer[4096];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
}

void RawServer::Hangup(int fd) {
    ::shutdown(fd, SHUT_RDWR);
}
