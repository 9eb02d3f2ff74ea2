#include "ShapedRelay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <utility>

namespace vsbench {

namespace {

using Clock = std::chrono::steady_clock;

// One read's worth, and all the bucket holds: a link idle for a while sends no faster after it.
constexpr size_t kBurst = 16384;

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Without it a response's last short segment would wait for the client's delayed ACK.
void NoDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

Fd Listen(int& port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (fd.Get() < 0 ||
        ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.Get(), 4) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("shaped relay: cannot listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    return fd;
}

Fd ConnectTo(int port) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = Loopback(port);
    if (fd.Get() < 0 ||
        ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return Fd();
    }
    NoDelay(fd.Get());
    return fd;
}

bool SendAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

}  // namespace

Fd::~Fd() {
    if (m_nFd >= 0) {
        ::close(m_nFd);
    }
}

Fd& Fd::operator=(Fd&& other) noexcept {
    std::swap(m_nFd, other.m_nFd);
    return *this;
}

ShapedRelay::ShapedRelay(int serverPort, double bitsPerSecond)
    : m_nServerPort(serverPort), m_dBytesPerSecond(bitsPerSecond / 8), m_listen(Listen(m_nPort)) {
    int stop[2];
    if (::pipe2(stop, O_CLOEXEC) != 0) {
        throw std::runtime_error("shaped relay: no pipe");
    }
    m_stopRead = Fd(stop[0]);
    m_stopWrite = Fd(stop[1]);
    m_thread = std::thread([this] { Run(); });
}

ShapedRelay::~ShapedRelay() {
    const char stop = 's';
    if (::write(m_stopWrite.Get(), &stop, 1) == 1) {
        m_thread.join();
    } else {
        m_thread.detach();  // cannot tell it; the process is ending anyway
    }
}

void ShapedRelay::Run() {
    for (;;) {
        pollfd fds[2] = {{m_stopRead.Get(), POLLIN, 0}, {m_listen.Get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (fds[0].revents != 0) {
            return;
        }
        if (fds[1].revents != 0) {
            Fd client(::accept4(m_listen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (client.Get() >= 0 && !Forward(client.Get())) {
                return;
            }
        }
    }
}

// Until either side closes; the client's bytes as they come, the server's through the bucket.
bool ShapedRelay::Forward(int client) {
    const Fd server = ConnectTo(m_nServerPort);
    if (server.Get() < 0) {
        return true;  // the client sees its connection closed
    }
    NoDelay(client);
    m_ready = Clock::now();
    for (;;) {
        pollfd fds[3] = {
            {m_stopRead.Get(), POLLIN, 0}, {client, POLLIN, 0}, {server.Get(), POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0 && errno != EINTR) {
            return true;
        }
        if (fds[0].revents != 0) {
            return false;
        }
        if ((fds[1].revents != 0 && !Pass(client, server.Get(), false)) ||
            (fds[2].revents != 0 && !Pass(server.Get(), client, true))) {
            return true;
        }
    }
}

// The token bucket as the time it runs empty: idle time fills it up to kBurst, and taking more
// than it holds waits for the rest to accrue.
bool ShapedRelay::Pass(int from, int to, bool paced) {
    char buffer[kBurst];
    const ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) {
        return true;
    }
    if (got <= 0) {
        return false;
    }
    const size_t length = static_cast<size_t>(got);
    if (paced) {
        const auto burst = std::chrono::duration<double>(kBurst / m_dBytesPerSecond);
        const Clock::time_point now = Clock::now();
        m_ready = std::max(m_ready, now - std::chrono::duration_cast<Clock::duration>(burst));
        m_ready += std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(length) / m_dBytesPerSecond));
        std::this_thread::sleep_until(m_ready);
        m_nToClients += length;
    }
    return SendAll(to, buffer, length);
}

}  // namespace vsbench
