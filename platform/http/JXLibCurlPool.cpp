// The transport's libcurl handles and the process-wide pool of idle ones; the design note is
// in JXLibCurlPool.h (internal).
#include "JXLibCurlPool.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "UniqueFd.h"

namespace vsplatform {

void GlobalInitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

EasyPtr EasySession::Make() {
    CURL* handle = curl_easy_init();
    if (handle == nullptr) {
        return nullptr;
    }
    EasyPtr session(new (std::nothrow) EasySession(handle));
    if (!session) {
        curl_easy_cleanup(handle);
    }
    return session;
}

EasySession::~EasySession() {
    // A handle whose inherited sockets could not be set aside is left open rather than allowed
    // to speak on the parent's streams; the process that forked keeps its connections either way.
    if (DisarmInherited()) {
        curl_easy_cleanup(m_pHandle);
    }
}

void EasySession::TrackSockets() {
    curl_easy_setopt(m_pHandle, CURLOPT_OPENSOCKETFUNCTION, &EasySession::OpenSocket);
    curl_easy_setopt(m_pHandle, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(m_pHandle, CURLOPT_CLOSESOCKETFUNCTION, &EasySession::CloseSocket);
    curl_easy_setopt(m_pHandle, CURLOPT_CLOSESOCKETDATA, this);
}

bool EasySession::IsInherited() const {
    const pid_t self = ::getpid();
    return std::any_of(m_vecSockets.begin(), m_vecSockets.end(),
                       [self](const auto& entry) { return entry.second != self; });
}

// Puts /dev/null in place of every socket another process opened: the stream stays the
// parent's alone, and closing the handle later reads, writes and closes /dev/null instead.
bool EasySession::DisarmInherited() {
    if (!IsInherited()) {
        return true;
    }
    const UniqueFd devnull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    const pid_t self = ::getpid();
    for (auto& [socket, opener] : m_vecSockets) {
        if (opener == self) {
            continue;
        }
        if (devnull.Get() < 0 || ::dup3(devnull.Get(), socket, O_CLOEXEC) < 0) {
            return false;
        }
        opener = self;
    }
    return true;
}

// Close-on-exec as well: a child that runs another program takes none of the connections along.
curl_socket_t EasySession::OpenSocket(void* session, curlsocktype /*purpose*/,
                                      curl_sockaddr* address) {
    const int socket =
        ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (socket < 0) {
        return CURL_SOCKET_BAD;
    }
    try {
        static_cast<EasySession*>(session)->m_vecSockets.emplace_back(socket, ::getpid());
    } catch (const std::bad_alloc&) {
        ::close(socket);
        return CURL_SOCKET_BAD;
    }
    return socket;
}

int EasySession::CloseSocket(void* session, curl_socket_t socket) {
    auto& sockets = static_cast<EasySession*>(session)->m_vecSockets;
    sockets.erase(std::remove_if(sockets.begin(), sockets.end(),
                                 [socket](const auto& entry) { return entry.first == socket; }),
                  sockets.end());
    return ::close(socket);
}

ConnectionPool& ConnectionPool::Instance() {
    static ConnectionPool pool;
    return pool;
}

ConnectionPool::ConnectionPool() : m_nPid(::getpid()) {
    GlobalInitOnce();
    // The lock is taken across fork, so that the child never starts with it held by a thread
    // it does not have. The pool lives until exit, as the handlers do.
    ::pthread_atfork([] { Instance().m_mutex.lock(); }, [] { Instance().m_mutex.unlock(); },
                     [] { Instance().m_mutex.unlock(); });
}

// Under the lock: moves to `closing` what must not be handed out any more: everything, in a
// child that inherited the pool; the handles idle past the age; the oldest past the count.
void ConnectionPool::Collect(Clock::time_point now, IdleList& closing) {
    const pid_t self = ::getpid();
    if (m_nPid != self) {
        closing.splice(closing.end(), m_listIdle);
        m_nPid = self;
    }
    const auto maxAge = std::chrono::seconds(std::max(m_settings.nMaxIdleSeconds, 0L));
    while (!m_listIdle.empty() &&
           (m_listIdle.size() > m_settings.nMaxIdle || now - m_listIdle.front().since > maxAge)) {
        closing.splice(closing.end(), m_listIdle, m_listIdle.begin());
    }
}

void ConnectionPool::Enable(const JXLibCurlPoolSettings& settings) {
    IdleList closing;
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_settings = settings;
    m_bEnabled.store(true, std::memory_order_release);
    Collect(Clock::now(), closing);
}

void ConnectionPool::Disable() {
    IdleList closing;
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_bEnabled.store(false, std::memory_order_release);
    closing.splice(closing.end(), m_listIdle);
}

EasyPtr ConnectionPool::Take() {
    if (!m_bEnabled.load(std::memory_order_acquire)) {
        return nullptr;
    }
    IdleList closing;  // declared before the lock: closed after it is released
    const std::lock_guard<std::mutex> lock(m_mutex);
    Collect(Clock::now(), closing);
    if (!m_bEnabled.load(std::memory_order_relaxed) || m_listIdle.empty()) {
        return nullptr;
    }
    EasyPtr easy = std::move(m_listIdle.back().easy);  // the warmest connection
    m_listIdle.pop_back();
    return easy;
}

void ConnectionPool::Park(EasyPtr easy) noexcept {
    if (!easy || !m_bEnabled.load(std::memory_order_acquire) || easy->IsPrivate() ||
        easy->IsInherited() || easy->OpenSockets() > kDefaultConnectionCache) {
        return;
    }
    curl_easy_reset(easy->Handle());
    IdleList parked;
    try {
        parked.push_back(Idle{std::move(easy), Clock::now()});
    } catch (const std::bad_alloc&) {
        return;
    }
    IdleList closing;  // both lists are closed after the lock is released
    const std::lock_guard<std::mutex> lock(m_mutex);
    Collect(parked.back().since, closing);  // first, so that a child forgets its parent's
    if (m_bEnabled.load(std::memory_order_relaxed)) {
        m_listIdle.splice(m_listIdle.end(), parked);
        Collect(m_listIdle.back().since, closing);
    }
}

}  // namespace vsplatform
