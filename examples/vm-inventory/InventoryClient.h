// A REST client for the host API, derived from CVSRestApiConnection the way the agent's
// clients are: it sets the connection's settings, logs in with a POST, keeps the session token
// that the server sends back, sends it on every request, and logs in again once when the
// server refuses it.
#pragma once

#include <string>

#include "VSRestApiConnection.h"

// What a caller may ask of one request.
struct InventoryRequestOptions : VSRestApiRequestOptions {
    unsigned pageSize = 0;  // non-zero: appended to the query as pageSize=<n>
    std::string requestId;  // non-empty: sent as the X-Request-Id header
};

// scheme://host[:port][/base], e.g. https://vmhost.example:8443/api/v1
struct HostEndpoint {
    bool https = false;
    std::string host;
    unsigned port = 0;
    std::string basePath;

    static bool Parse(const std::string& url, HostEndpoint& out);
};

class InventoryClient : public CVSRestApiConnection {
public:
    InventoryClient(const HostEndpoint& endpoint, std::string user, std::string password);

    bool Open(bool skipSslVerify, const std::string& caFile);
    // Turns on the transport's trace of every exchange from here on; call it after Open(),
    // which resets the transport's options.
    bool EnableTrace();
    bool Login();
    // A GET that logs in first when there is no session and once more if the server refuses
    // the token. A request id, and a server's token, holding CR, LF or NUL are refused: they
    // would end their header line early.
    bool Fetch(const std::string& resource, std::string& body, InventoryRequestOptions* options);

    // A sentence for a person about the last failure.
    const std::string& LastError() const { return m_strLastError; }
    unsigned Logins() const { return m_nLogins; }

protected:
    bool computeUrl(const std::string& server, const std::string& resource,
                    const VSRestApiRequestOptions* options, std::string& url) override;
    bool addCurlHeaders(HTTP_REQ_TYPE verb, const std::string& resource, const std::string& body,
                        const VSRestApiRequestOptions* options) override;
    bool addLoginCurlHeaders() override;
    bool saveLoginCurlHeaders() override;
    bool isSecretRequest(HTTP_REQ_TYPE verb, const std::string& resource,
                         const VSRestApiRequestOptions* options) override;

private:
    void NoteFailure(const std::string& what);

    std::string m_strHost;
    std::string m_strUser;
    std::string m_strPassword;
    std::string m_strLastError;
    unsigned m_nLogins = 0;
    bool m_bTokenRefused = false;  // the last login's token would have split its header line
    // The session token lives in m_strAux1, the member the base class keeps for its clients.
};
