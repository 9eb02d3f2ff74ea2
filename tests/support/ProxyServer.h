// An HTTP proxy on 127.0.0.1 for the tests, on RawServer: "CONNECT host:port" is answered 200 and
// the bytes piped both ways; "GET http://host:port/path" goes on to that port as "GET /path" with
// "Connection: close", and the answer comes back as it is. Every request head is recorded.
// Upstream is always 127.0.0.1, whatever host the request names.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "RawServer.h"

class ProxyServer {
public:
    ProxyServer();
    int Port() const { return m_server.Port(); }
    // "http://127.0.0.1:port"
    std::string Url() const;
    std::vector<std::string> Heads() const;

private:
    void Serve(int fd);

    mutable std::mutex m_mutex;
    std::vector<std::string> m_heads;
    RawServer m_server;  // last: its threads stop before the heads go
};
