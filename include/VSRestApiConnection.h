// CVSRestApiConnection: the base class of the agent's REST API clients.
//
// A client derives from it, assigns the connection settings (m_strContentType, m_bUseHttps,
// m_nPort, m_strBasePath, m_bUseLoginHeaders), calls connect() and then get/post/put/del.
// Every request runs through sendReq(), which holds the connection's request lock for the whole
// exchange, composes the URL, collects the header lines, logs the request, sends it, reads the
// response back and logs the outcome. Each step is a virtual hook a client may override.
//
// The request lock is recursive: a hook may issue a further request on the same connection.
// The nested request sets the outer one's header lines aside and puts them back, so each
// request goes out with exactly the lines its own hooks appended.
// Requests from several threads on one connection run one at a time. connect() and the
// members must be set up before requests are issued.
#pragma once

#include <string>

#include "JXLibCurl.h"
#include "JxCriticalSection.h"
#include "TqDebug.h"
#include "VSSupportExport.h"

// The caller's per-request options. The base class only hands the pointer on to computeUrl()
// and addCurlHeaders(); a client derives its own record from this one and reads it in its
// overrides (the virtual destructor makes dynamic_cast and deleting through the base work).
struct VSSUPPORT_EXPORT VSRestApiRequestOptions {
    virtual ~VSRestApiRequestOptions();
};

class VSSUPPORT_EXPORT CVSRestApiConnection {
public:
    CVSRestApiConnection();
    virtual ~CVSRestApiConnection();
    CVSRestApiConnection(const CVSRestApiConnection&) = delete;
    CVSRestApiConnection& operator=(const CVSRestApiConnection&) = delete;

    // Request and response lines go to level 0 instead of 2 from now on; nothing clears it.
    void enableDebug();

    // Initialises the transport for m_strContentType (which must be set) and remembers the
    // server. skipSslVerify turns certificate checks off and ignores caFile; otherwise a
    // non-empty caFile names the CA bundle. A connect refused for want of a content type
    // changes nothing; any later failure leaves the connection unconnected (the transport has
    // lost its earlier settings), and requests fail until a connect succeeds.
    bool connect(const std::string& server, bool skipSslVerify, const std::string& caFile);

    // scheme + server [+ ":" port] + base path + ["/"] + resource; nothing is encoded.
    virtual bool computeUrl(const std::string& server, const std::string& resource,
                            const VSRestApiRequestOptions* options, std::string& url);

    bool get(const std::string& resource, std::string& response, VSRestApiRequestOptions* options);
    bool del(const std::string& resource, const std::string& body, std::string& response,
             VSRestApiRequestOptions* options);
    bool post(const std::string& resource, const std::string& body, std::string& response,
              VSRestApiRequestOptions* options);
    bool put(const std::string& resource, const std::string& body, std::string& response,
             VSRestApiRequestOptions* options);

    // Appends "?" (or "&" once the query holds a "?") and one printf-formatted argument. The
    // argument is appended whole, however long; nothing is encoded (see UrlEncode).
    void appendQueryStringArgument(std::string& query, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    // Percent-encodes text through the transport. When the transport produces nothing for a
    // non-empty text it logs an error and encodes the text itself (every byte but A-Z a-z 0-9
    // - . _ ~ as %XX): the raw text is never handed back.
    std::string UrlEncode(const std::string& text);

    // The transport's most recent error text; empty when it has none. Takes the request lock,
    // so it waits for a request under way on another thread.
    std::string getLastCurlError();

protected:
    virtual void recvResp(std::string& response);
    virtual bool addCurlHeaders(HTTP_REQ_TYPE verb, const std::string& resource,
                                const std::string& body, const VSRestApiRequestOptions* options);
    virtual bool addCommonCurlHeaders();
    virtual bool addLoginCurlHeaders();
    virtual bool saveLoginCurlHeaders();
    virtual bool sendReq(HTTP_REQ_TYPE verb, const std::string& resource, const std::string& body,
                         std::string& response, VSRestApiRequestOptions* options);
    virtual void LogResponse(HTTP_REQ_TYPE verb, const std::string& url,
                             const std::string& response);
    virtual void LogRequest(HTTP_REQ_TYPE verb, const std::string& url, const std::string& body);
    virtual void LogError(HTTP_REQ_TYPE verb, const std::string& url, const std::string& body,
                          const std::string& response);

    // Whether a request carries secrets in its bodies (a login, a token exchange). sendReq asks
    // once per request, after the connected check; for a secret request the exchange lines of
    // LogRequest, LogResponse and LogError name only the bodies' lengths ("[312 bytes
    // withheld]") at every level, while m_bSecretExchange is true. The base class marks
    // nothing. A request made from a hook is asked about on its own, and the outer request's
    // marking comes back when it ends.
    //
    //     bool isSecretRequest(HTTP_REQ_TYPE verb, const std::string& resource,
    //                          const VSRestApiRequestOptions*) override {
    //         return verb == HTTP_REQ_POST && resource == "session";  // the login
    //     }
    //
    // (The log masks passwords, tokens and cookies it recognises in every line anyway; marking
    // keeps the bodies out whatever shape their secrets take.)
    virtual bool isSecretRequest(HTTP_REQ_TYPE verb, const std::string& resource,
                                 const VSRestApiRequestOptions* options);

    JXLibCurl* m_pCurl;  // owned; a client may replace it with its own transport
    JxCriticalSection m_csLock;
    bool m_bConnected;
    TqDebug m_debug;
    std::string m_strContentType;
    bool m_bUseHttps;
    unsigned int m_nPort;
    std::string m_strBasePath;
    std::string m_strServer;
    std::string m_strAux1;
    std::string m_strAux2;
    bool m_bDebugEnabled;
    bool m_bUseLoginHeaders;
    bool m_bSecretExchange;  // the request under way is secret (see isSecretRequest)

private:
    class HeaderScope;
    std::string Loggable(const std::string& body) const;
    bool ConfigureTransport(bool skipSslVerify, const std::string& caFile);

    int m_nRequestDepth;  // requests under way on this thread, nested ones included
};
