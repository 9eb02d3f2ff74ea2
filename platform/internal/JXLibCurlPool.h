// The transport's libcurl handles and the process-wide pool of idle ones. Internal to
// vsplatform: not installed.
//
// Design note.
//  - One owner at a time. A handle (EasySession) is owned by exactly one transport object or by
//    the pool; the pool hands it over by moving its owner under the pool's lock, so two threads
//    never touch one handle. No libcurl share object is involved: each handle keeps its own
//    connection cache, and libcurl matches a request against it as it would within one object.
//  - Nothing of an object outlives it in the handle. Parking resets the handle, which drops
//    every option and with them the pointers into the object that goes (error buffer, callback
//    data); what remains is what libcurl keeps across a reset: the connections, TLS sessions
//    and DNS entries. A store libcurl also keeps across a reset (cookies, alt-svc, HSTS) marks
//    the handle private to its object, and it is closed instead; so do credentials, which
//    libcurl sends as header lines and does not match a cached connection against. A handle
//    holding more connections than libcurl's default cache (an object raised
//    CURLOPT_MAXCONNECTS) is closed too: the reset restores the cache's size but closes none
//    of the surplus, which the next object would inherit.
//  - Fork. Every socket a handle opens is recorded with the process that opened it (libcurl's
//    open and close socket callbacks). A handle that holds a socket of another process is
//    never parked or handed out, and before it is closed each such socket is replaced by
//    /dev/null: closing a TLS connection reads and writes its stream (close_notify), which on a
//    socket shared with the parent would corrupt the parent's exchange. The pool notices that
//    it now lives in a child by its recorded pid, and a fork handler keeps its lock usable in
//    the child.
//  - Closing can block (a TLS shutdown): handles are closed outside the lock.
#pragma once

#include <curl/curl.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "JXLibCurl.h"

namespace vsplatform {

// What libcurl's connection cache holds at most for an easy handle that sets no
// CURLOPT_MAXCONNECTS: the bound of a parked handle's connections.
constexpr size_t kDefaultConnectionCache = 5;

// A libcurl easy handle and the sockets its connections hold.
class [[gnu::visibility("hidden")]] EasySession {
public:
    // Null when libcurl cannot make a handle.
    static std::unique_ptr<EasySession> Make();
    ~EasySession();
    EasySession(const EasySession&) = delete;
    EasySession& operator=(const EasySession&) = delete;

    CURL* Handle() const {
        return m_pHandle;
    }
    // The socket callbacks are options: set them again after every curl_easy_reset.
    void TrackSockets();
    // A cookie, alt-svc or HSTS store was turned on: the handle must die with its object.
    void MarkPrivate() {
        m_bPrivate = true;
    }
    bool IsPrivate() const {
        return m_bPrivate;
    }
    // The sockets open now: one per connection in the handle's cache once a transfer is done.
    size_t OpenSockets() const {
        return m_vecSockets.size();
    }
    // Holds a socket that another process (a parent, before a fork) opened.
    bool IsInherited() const;

private:
    explicit EasySession(CURL * handle) : m_pHandle(handle) {}
    bool DisarmInherited();
    static curl_socket_t OpenSocket(void* session, curlsocktype purpose, curl_sockaddr* address);
    static int CloseSocket(void* session, curl_socket_t socket);

    CURL* m_pHandle;
    std::vector<std::pair<curl_socket_t, pid_t>> m_vecSockets;  // each with its opener
    bool m_bPrivate = false;
};
using EasyPtr = std::unique_ptr<EasySession>;

// libcurl's process-wide initialisation, once.
void GlobalInitOnce();

class [[gnu::visibility("hidden")]] ConnectionPool {
public:
    // Made after libcurl's global initialisation, so that the idle handles are closed at exit
    // before the TLS library tears itself down.
    static ConnectionPool& Instance();

    void Enable(const JXLibCurlPoolSettings& settings);
    void Disable();
    // A parked handle, or null when the pool is off or holds none that is young enough.
    EasyPtr Take();
    // Keeps the handle for the next object, or closes it.
    void Park(EasyPtr easy) noexcept;

    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

private:
    using Clock = std::chrono::steady_clock;
    struct Idle {
        EasyPtr easy;
        Clock::time_point since;
    };
    // A list, so that handles move to a closing list by splicing, which cannot fail.
    using IdleList = std::list<Idle>;

    ConnectionPool();
    ~ConnectionPool() = default;
    void Collect(Clock::time_point now, IdleList & closing);

    std::mutex m_mutex;
    std::atomic<bool> m_bEnabled{false};
    JXLibCurlPoolSettings m_settings;
    IdleList m_listIdle;  // oldest first
    pid_t m_nPid;         // the process whose handles m_listIdle holds
};

}  // namespace vsplatform
