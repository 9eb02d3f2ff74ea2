#include "RawServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "TestServer.h"

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
        throw std::runtime_error("raw test server cannot listen on 127.0.0.1");
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

std::string RawServer::Url(const std::string& path) const {
    return LoopbackUrl("http", m_nPort, path);
}

void RawServer::AcceptLoop() {
    for (int n = 0;;) {
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
        m_workers.emplace_back([this, fd, n] { Serve(fd, n); });
        ++n;
    }
}

void RawServer::Serve(int fd, int connection) {
    m_handler(fd, connection);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open.erase(std::find(m_open.begin(), m_open.end(), fd));
    ::close(fd);
}

std::string RawServer::ReadRequestHead(int fd) {
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

bool RawServer::WriteText(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
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

void RawServer::Hangup(int fd) {
    ::shutdown(fd, SHUT_RDWR);
}

void RawServer::WaitForClose(int fd) {
    char buffer[4096];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
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
