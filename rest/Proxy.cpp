// Proxies. With nothing set the transport's libcurl reads the environment at each transfer:
// http_proxy (lower case only) for http URLs, https_proxy or HTTPS_PROXY for https ones,
// all_proxy or ALL_PROXY for both, and no_proxy or NO_PROXY for the hosts that go direct. A
// connection's own choice (setProxy, disableProxy) is kept in its private state and set by
// connect() after the transport policy, on every connect, since an init forgets options on
// some platforms: CURLOPT_PROXY names the proxy or, empty, turns every proxy off, environment
// included. Credentials go in their own options, never in a line the library writes: a refusal
// names the option only, and the trace masks Proxy-Authorization like any credential line.
#include "ConnectionState.h"
#include "LibraryLog.h"
#include "VSRestApiConnection.h"

void CVSRestApiConnection::setProxy(const std::string& url, const std::string& user,
                                    const std::string& password) {
    JxCriticalSectionLock lock(&m_csLock);
    Private::ProxyChoice& proxy = m_pPrivate->proxy;
    proxy.mode = url.empty() ? Private::ProxyMode::Environment : Private::ProxyMode::Named;
    proxy.strUrl = url;
    proxy.strUser = url.empty() ? std::string() : user;
    proxy.strPassword = url.empty() ? std::string() : password;
}

void CVSRestApiConnection::disableProxy() {
    JxCriticalSectionLock lock(&m_csLock);
    m_pPrivate->proxy = Private::ProxyChoice{};
    m_pPrivate->proxy.mode = Private::ProxyMode::Off;
}

// A transport that refuses one of these fails connect: requests must not go direct, or to the
// environment's proxy, when the client named another route.
bool CVSRestApiConnection::ApplyProxy() {
    const Private::ProxyChoice& proxy = m_pPrivate->proxy;
    if (proxy.mode == Private::ProxyMode::Environment) {
        return true;
    }
    struct Setting {
        CURLoption option;
        const char* name;
        const std::string& value;
    };
    const bool credentials = !proxy.strUser.empty() || !proxy.strPassword.empty();
    const Setting settings[] = {
        {CURLOPT_PROXY, "CURLOPT_PROXY", proxy.strUrl},
        {CURLOPT_PROXYUSERNAME, "CURLOPT_PROXYUSERNAME", proxy.strUser},
        {CURLOPT_PROXYPASSWORD, "CURLOPT_PROXYPASSWORD", proxy.strPassword}};
    for (const Setting& setting : settings) {
        if (setting.option != CURLOPT_PROXY && !credentials) {
            break;
        }
        if (!m_pCurl->JXLibCurlSetAdditionalOptionsStringValue(setting.option, setting.value)) {
            RefuseConnect(std::string("Failed to set curl option:[") + setting.name + "]");
            return false;
        }
    }
    return true;
}
