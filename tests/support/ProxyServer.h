// An HTTP proxy on 127.0.0.1 for the tests, on RawServer: "CONNECT host:port" is answered 200 and
// the bytes piped both ways; "GET http://host:port/path" goes on to that port as "GET /path" with
// "Connection: close", and the answer comes back as it is. Every request head is recorded.
// Upstream is always 127.0.0.1, whatever host the request names.
#pragma once

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
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

// The environment's proxy variables, unset while it lives (a case sets its own), then restored.
class ProxyEnvironment {
public:
    ProxyEnvironment() {
        for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
                                 "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
            const char* value = std::getenv(name);
            m_saved.emplace_back(
                name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
            ::unsetenv(name);
        }
    }
    ~ProxyEnvironment() {
        for (const auto& [name, value] : m_saved) {
            value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
        }
    }
    ProxyEnvironment(const ProxyEnvironment&) = delete;
    ProxyEnvironment& operator=(const ProxyEnvironment&) = delete;

    // Empty: unset.
    static void Set(const char* name, const std::string& value) {
        value.empty() ? ::unsetenv(name) : ::setenv(name, value.c_str(), 1);
    }

private:
    std::vector<std::pair<const char*, std::optional<std::string>>> m_saved;
};
