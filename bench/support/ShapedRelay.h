// A slow link in front of the loopback server: a thread of this process accepts connections on
// 127.0.0.1, one at a time, and forwards each to the server, the server's bytes paced by a token
// bucket to a fixed bandwidth (the requests go through unpaced). Loopback moves a megabyte in a
// millisecond, so only through such a link does the number of bytes on the wire show in a
// request's time, as it does between an agent and a host across a network.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace vsbench {

// A descriptor closed on destruction.
class Fd {
public:
    explicit Fd(int fd = -1) : m_nFd(fd) {}
    ~Fd();
    Fd(Fd&& other) noexcept : m_nFd(other.m_nFd) { other.m_nFd = -1; }
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_nFd; }

private:
    int m_nFd;
};

class ShapedRelay {
public:
    // Construct it after the loopback server (which forks before any thread may run).
    ShapedRelay(int serverPort, double bitsPerSecond);
    ~ShapedRelay();  // ends the connection under way and the thread
    ShapedRelay(const ShapedRelay&) = delete;
    ShapedRelay& operator=(const ShapedRelay&) = delete;

    int Port() const { return m_nPort; }
    // What the server sent the clients so far, header lines included: the bytes on the wire.
    uint64_t BytesToClients() const { return m_nToClients.load(); }

private:
    void Run();
    bool Forward(int client);  // false once stopped
    bool Pass(int from, int to, bool paced);

    int m_nServerPort;
    double m_dBytesPerSecond;
    int m_nPort = -1;  // before m_listen, which sets it
    Fd m_listen;
    Fd m_stopRead;
    Fd m_stopWrite;
    std::chrono::steady_clock::time_point m_ready;  // when the bucket is empty
    std::atomic<uint64_t> m_nToClients{0};
    std::thread m_thread;  // last: it starts once everything above is set
};

}  // namespace vsbench
