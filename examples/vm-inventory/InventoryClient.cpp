#include "InventoryClient.h"
#include "XmlText.h"

#include <cstdlib>
#include <string>

namespace {

constexpr const char* kTokenHeader = "X-Session-Token";
constexpr const char* kLoginResource = "session";

// A line break would end the header line early, and the rest would go out as lines, or as a
// request, of the server's choosing; a NUL would cut the line short, as a C string.
bool SplitsHeaderLine(const std::string& value) {
    return value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

}  // namespace

bool HostEndpoint::Parse(const std::string& url, HostEndpoint& out) {
    size_t rest;
    if (url.rfind("https://", 0) == 0) {
        out.https = true;
        rest = 8;
    } else if (url.rfind("http://", 0) == 0) {
        out.https = false;
        rest = 7;
    } else {
        return false;
    }
    const size_t slash = url.find('/', rest);
    const std::string authority =
        url.substr(rest, slash == std::string::npos ? slash : slash - rest);
    out.basePath = slash == std::string::npos ? std::string() : url.substr(slash);
    while (!out.basePath.empty() && out.basePath.back() == '/') {
        out.basePath.pop_back();
    }
    const size_t colon = authority.rfind(':');
    out.host = authority.substr(0, colon);
    out.port = 0;
    if (colon != std::string::npos) {
        char* end = nullptr;
        const unsigned long port = std::strtoul(authority.c_str() + colon + 1, &end, 10);
        if (*end != '\0' || port == 0 || port > 65535) {
            return false;
        }
        out.port = static_cast<unsigned>(port);
    }
    return !out.host.empty();
}

InventoryClient::InventoryClient(const HostEndpoint& endpoint, std::string user,
                                 std::string password)
    : m_strHost(endpoint.host), m_strUser(std::move(user)), m_strPassword(std::move(password)) {
    m_strContentType = "application/xml";
    m_bUseHttps = endpoint.https;
    m_nPort = endpoint.port;
    m_strBasePath = endpoint.basePath;
    m_bUseLoginHeaders = true;
}

bool InventoryClient::Open(bool skipSslVerify, const std::string& caFile) {
    if (!connect(m_strHost, skipSslVerify, caFile)) {
        m_strLastError = "cannot connect to the host: " + getLastCurlError();
        return false;
    }
    return true;
}

bool InventoryClient::EnableTrace() {
    if (!m_pCurl->JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_VERBOSE, 1)) {
        m_strLastError = "the HTTP transport's trace could not be turned on";
        return false;
    }
    return true;
}

bool InventoryClient::Login() {
    m_strAux1.clear();  // the login itself goes out without a token
    m_bTokenRefused = false;
    const std::string body =
        "<login user=\"" + XmlText(m_strUser) + "\" password=\"" + XmlText(m_strPassword) + "\"/>";
    std::string response;
    ++m_nLogins;
    if (!post(kLoginResource, body, response, nullptr)) {
        NoteFailure("logging in");
        return false;
    }
    if (m_strAux1.empty()) {
        m_strLastError = m_bTokenRefused
                             ? "logging in: the server's session token holds a line break or NUL"
                             : "logging in: the server sent no session token";
        return false;
    }
    return true;
}

bool InventoryClient::Fetch(const std::string& resource, std::string& body,
                            InventoryRequestOptions* options) {
    if (options != nullptr && SplitsHeaderLine(options->requestId)) {
        m_strLastError = "fetching " + resource + ": the request id holds a line break or NUL";
        return false;
    }
    if (m_strAux1.empty() && !Login()) {
        return false;
    }
    if (get(resource, body, options)) {
        return true;
    }
    if (m_pCurl->GetHttpErrorCode() != 401) {
        NoteFailure("fetching " + resource);
        return false;
    }
    // The session expired under us: one new login, one retry.
    if (!Login()) {
        return false;
    }
    if (!get(resource, body, options)) {
        NoteFailure("fetching " + resource);
        return false;
    }
    return true;
}

void InventoryClient::NoteFailure(const std::string& what) {
    const int64_t status = m_pCurl->GetHttpErrorCode();
    if (status == 401) {
        m_strLastError = what + ": the server refused the credentials (HTTP 401)";
    } else if (status >= 400) {
        m_strLastError = what + ": the server answered HTTP " + std::to_string(status);
    } else {
        m_strLastError = what + ": cannot reach the host: " + getLastCurlError();
    }
}

bool InventoryClient::computeUrl(const std::string& server, const std::string& resource,
                                 const VSRestApiRequestOptions* options, std::string& url) {
    const auto* mine = dynamic_cast<const InventoryRequestOptions*>(options);
    if (mine == nullptr || mine->pageSize == 0) {
        return CVSRestApiConnection::computeUrl(server, resource, options, url);
    }
    std::string withPage = resource;
    appendQueryParameter(withPage, "pageSize", std::to_string(mine->pageSize));
    return CVSRestApiConnection::computeUrl(server, withPage, options, url);
}

bool InventoryClient::addCurlHeaders(HTTP_REQ_TYPE verb, const std::string& resource,
                                     const std::string& body,
                                     const VSRestApiRequestOptions* options) {
    bool ok = CVSRestApiConnection::addCurlHeaders(verb, resource, body, options);
    const auto* mine = dynamic_cast<const InventoryRequestOptions*>(options);
    if (mine != nullptr && !mine->requestId.empty()) {
        ok = m_pCurl->JXLibCurlAppendHeader(HTTP_HDR_STANDARD,
                                            ("X-Request-Id: " + mine->requestId).c_str()) &&
             ok;
    }
    return ok;
}

bool InventoryClient::addLoginCurlHeaders() {
    if (m_strAux1.empty()) {
        return true;
    }
    return m_pCurl->JXLibCurlAppendHeader(HTTP_HDR_STANDARD,
                                          (std::string(kTokenHeader) + ": " + m_strAux1).c_str());
}

bool InventoryClient::saveLoginCurlHeaders() {
    const std::string token = getLastResponseHeader(kTokenHeader);
    if (SplitsHeaderLine(token)) {
        m_bTokenRefused = true;  // never sent back: see Login()
    } else if (!token.empty()) {
        m_strAux1 = token;
    }
    return true;
}

// The login's body carries the password and its answer may echo the account back: the log
// masks the secrets it can recognise, but this body's shape is ours, so none of it is logged.
bool InventoryClient::isSecretRequest(HTTP_REQ_TYPE verb, const std::string& resource,
                                      const VSRestApiRequestOptions* options) {
    return (verb == HTTP_REQ_POST && resource == kLoginResource) ||
           CVSRestApiConnection::isSecretRequest(verb, resource, options);
}
