// Where an exchange's time went. The request path reads the figures from the transport right
// after the send (so the hooks after it, and getLastTimings, see them) and writes them in one
// line once it is done with the exchange: the line comes after the response or error lines
// whichever way the request returns, which a guard's destructor gives without touching the
// request path's exits. The guard keeps its own copy, since a request issued from a later hook
// replaces the connection's figures with its own. Internal: not installed.
#pragma once

#include <string>

#include "VSRestApiConnection.h"

class CVSRestApiConnection::TimingsLine {
public:
    // Reads the figures of the exchange just sent; `label` and `url` outlive the guard.
    TimingsLine(CVSRestApiConnection& conn, const char* label, HTTP_REQ_TYPE verb,
                const std::string& url);
    ~TimingsLine();  // writes the line
    TimingsLine(const TimingsLine&) = delete;
    TimingsLine& operator=(const TimingsLine&) = delete;

private:
    CVSRestApiConnection& m_conn;
    const char* m_label;
    HTTP_REQ_TYPE m_verb;
    const std::string& m_url;
    const VSRestApiTimings m_timings;
    const int m_nLevel;
};
