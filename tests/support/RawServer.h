// A listening socket on 127.0.0.1 whose connections are handled by a test's own function, for
// peers that misbehave in ways a real HTTP server will not: cutting a body short, never
// answering, resetting. Each accepted connection runs the handler on its own thread and is
// closed when the handler returns; the destructor stops accepting, shuts every open connection
// down and joins the threads.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class RawServer {
public:
    // handler(fd, n): n counts the connections from 0.
    using Handler = std::function<void(int fd, int connection)>;

    explicit RawServer(Handler handler);
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    int Port() const { return m_nPort; }
    // "http://127.0.0.1:port/path..." (path begins with "/").
    std::string Url(const std::string& path) const;

    // Reads up to the end of the request head; empty when the peer closed first.
    static std::string ReadRequestHead(int fd);
    // The target of a request head ("GET /path HTTP/1.1" gives "/path").
    static std::string PathOf(const std::string& head);
    // False when the peer went before all of it was sent.
    static bool WriteText(int fd, const std::string& text);
    // Ends the connection from this side now, before the handler returns.
    static void Hangup(int fd);
    // Blocks until the peer closes the connection (or the server is destroyed).
    static void WaitForClose(int fd);
    // Waits until the peer closes (true) or `seconds` pass (false).
    static bool PeerClosesWithin(int fd, int seconds);
    // The connection ends with a reset instead of a close once the handler returns.
    static void ResetOnClose(int fd);

private:
    void AcceptLoop();
    void Serve(int fd, int connection);

    Handler m_handler;
    int m_nListenFd = -1;
    int m_nPort = 0;
    std::thread m_acceptThread;
    std::mutex m_mutex;
    std::vector<int> m_open;
    std::vector<std::thread> m_workers;
    bool m_bStopping = false;
};
