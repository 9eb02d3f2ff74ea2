#include "ProxyServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace {

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

int ConnectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Until either side closes.
void Pipe(int a, int b) {
    char buffer[16384];
    for (;;) {
        pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        if (::poll(fds, 2, -1) <= 0) {
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0 ||
                !RawServer::WriteText(fds[1 - i].fd, std::string(buffer, static_cast<size_t>(n)))) {
                return;
            }
        }
    }
}

}  // namespace

ProxyServer::ProxyServer() : m_server([this](int fd, int) { Serve(fd); }) {}

std::string ProxyServer::Url() const {
    return "http://127.0.0.1:" + std::to_string(Port());
}

std::vector<std::string> ProxyServer::Heads() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_heads;
}

void ProxyServer::Serve(int fd) {
    std::string head = RawServer::ReadRequestHead(fd);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_heads.push_back(head);
    }
    const std::string target = RawServer::PathOf(head);
    const bool tunnel = head.rfind("CONNECT ", 0) == 0;
    // The authority: all of a CONNECT target, the part after "http://" of an absolute URL.
    const size_t from = tunnel ? 0 : target.find("//");
    const size_t path = tunnel                      ? target.size()
                        : from == std::string::npos ? from
                                                    : target.find('/', from + 2);
    const size_t colon = target.rfind(':', path);
    const Fd upstream{colon == std::string::npos || path == std::string::npos
                          ? -1
                          : ConnectLoopback(std::atoi(target.c_str() + colon + 1))};
    if (upstream.fd < 0) {
        RawServer::WriteText(fd, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
        return;
    }
    if (tunnel) {
        RawServer::WriteText(fd, "HTTP/1.1 200 Connection established\r\n\r\n");
    } else {
        head.erase(head.find(' ') + 1, path);  // the origin form: "GET /path HTTP/1.1"
        head.insert(head.find("\r\n") + 2, "Connection: close\r\n");
        RawServer::WriteText(upstream.fd, head);
    }
    Pipe(fd, upstream.fd);
}
