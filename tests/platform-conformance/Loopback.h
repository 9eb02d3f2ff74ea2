// What the conformance checks need around the platform: peers on 127.0.0.1 (an HTTP(S) server
// that records what it receives, a raw listener whose connections a check handles itself), the
// TLS material they present, and a scratch directory. Written here rather than taken from
// tests/support, whose helpers link the library: this program must build against a platform
// alone.
#pragma once

#include <httplib.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace conformance {

// "scheme://127.0.0.1:port/path..." (path begins with "/").
std::string LoopbackUrl(const std::string& scheme, int port, const std::string& path);

// A port on 127.0.0.1 that nothing listens on: connections to it are refused.
int UnusedPort();

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& name) const { return m_strPath + "/" + name; }

private:
    std::string m_strPath;
};

// Writes `bytes` to `path`, replacing it; throws when it cannot.
void WriteFile(const std::string& path, const std::string& bytes);
// The whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// A CA, a server certificate for 127.0.0.1 and one for another address (127.0.0.2), made with
// the openssl tool in `dir`.
struct Certificates {
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    std::string otherHostCertFile;
    std::string otherHostKeyFile;
};
Certificates MakeCertificates(const std::string& dir);

struct ReceivedRequest {
    std::string method;
    std::string body;
    httplib::Headers headers;
};

// cpp-httplib's server on 127.0.0.1 (a free port), serving on its own thread from construction
// to destruction, recording every request whatever its method or path.
class HttpServer {
public:
    using Responder = std::function<void(const httplib::Request&, httplib::Response&)>;

    // Plain HTTP; the default responder answers 200 "ok".
    explicit HttpServer(Responder responder = nullptr);
    // The server given, e.g. an httplib::SSLServer.
    HttpServer(std::unique_ptr<httplib::Server> server, Responder responder);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int Port() const { return m_nPort; }
    std::string Url(const std::string& path) const { return LoopbackUrl("http", m_nPort, path); }
    std::vector<ReceivedRequest> Requests() const;

private:
    std::unique_ptr<httplib::Server> m_pServer;
    Responder m_responder;
    std::thread m_thread;
    int m_nPort = -1;
    mutable std::mutex m_mutex;
    std::vector<ReceivedRequest> m_requests;
};

// A listening socket on 127.0.0.1 whose connections a check's own function handles, one thread
// each, for peers no HTTP server plays: a body cut short, an endless stream, an FTP greeting.
// The connection is closed when the handler returns; the destructor stops accepting, shuts
// every open connection down and joins the threads.
class RawServer {
public:
    using Handler = std::function<void(int fd)>;

    explicit RawServer(Handler handler);
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    int Port() const { return m_nPort; }
    std::string Url(const std::string& path) const { return LoopbackUrl("http", m_nPort, path); }

    // The request head up to its blank line; empty when the peer closed first.
    static std::string ReadHead(int fd);
    // The path of a request head ("GET /path HTTP/1.1").
    static std::string PathOf(const std::string& head);
    // False when the peer went before all of it was sent.
    static bool WriteAll(int fd, const std::string& bytes);
    // Waits until the peer closes (true) or `seconds` pass (false).
    static bool PeerClosesWithin(int fd, int seconds);
    // The connection ends with a reset instead of a close once the handler returns.
    static void ResetOnClose(int fd);

private:
    void AcceptLoop();
    void Serve(int fd);

    Handler m_handler;
    int m_nListenFd = -1;
    int m_nPort = 0;
    std::mutex m_mutex;
    std::vector<int> m_open;
    std::vector<std::thread> m_workers;
    bool m_bStopping = false;
    std::thread m_acceptThread;
};

// Redirects standard error to /dev/null for the object's life: the log checks write megabytes
// to the platform's log, whose default destination may be standard error.
class SilencedStderr {
public:
    SilencedStderr();
    ~SilencedStderr();
    SilencedStderr(const SilencedStderr&) = delete;
    SilencedStderr& operator=(const SilencedStderr&) = delete;

private:
    int m_nSaved = -1;
};

}  // namespace conformance
