// A listening socket on 127.0.0.1 whose connections are handled by a test's own function, for
// peers that misbehave in ways a real HTTP server will not: cutting a body short, never
// answering. Each accepted connection runs the handler on its own thread; the destructor stops
// accepting, shuts every connection down and joins the threads.
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

    // Reads up to the end of the request head; empty when the peer closed first.
    static std::string ReadRequestHead(int fd);
    static void WriteText(int fd, const std::string& text);
    // Ends the connection from this side now (the descriptor is closed with the server).
    static void Hangup(int fd);
    // Blocks until the peer closes the connection (or the server is destroyed).
    static void WaitForClose(int fd);

private:
    void AcceptLoop();

    Handler m_handler;
    int m_nListenFd = -1;
    int m_nPort = 0;
    std::thread m_acceptThread;
    std::mutex m_mutex;
    std::vector<int> m_clients;
    std::vector<std::thread> m_workers;
    bool m_bStopping = false;
};
