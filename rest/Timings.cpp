// Where an exchange's time went: the figures, the line that shows them, and getLastTimings.
#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "ConnectionState.h"
#include "LibraryLog.h"
#include "Timings.h"
#include "TransportSeam.h"

namespace {

// The figures in a fixed buffer: the line is written after every request that shows it, and
// needs no memory of its own.
struct TimingsText {
    char text[256];
    size_t length = 0;

    explicit TimingsText(const VSRestApiTimings& t) {
        if (!t.bKnown) {
            Add("unknown");
            return;
        }
        Phase("lookup", t.nLookupUs);
        Phase(", connect", t.nConnectUs);
        Phase(", tls", t.nTlsUs);
        Phase(", first byte", t.nFirstByteUs);
        Phase(", total", t.nTotalUs);
        Add(t.bReused ? ", connection reused" : ", new connection");
    }
    void Phase(const char* name, int64_t micros) {
        if (micros < 0) {
            Add(name);
            Add(" -");
        } else {
            Put("%s %.3f ms", name, static_cast<double>(micros) / 1000.0);
        }
    }
    void Add(const char* part) { Put("%s", part); }
    template <typename... Args>
    void Put(const char* format, Args... args) {
        const int n = std::snprintf(text + length, sizeof text - length, format, args...);
        if (n > 0) {
            length = std::min(length + static_cast<size_t>(n), sizeof text - 1);
        }
    }
};

}  // namespace

CVSRestApiConnection::TimingsLine::TimingsLine(CVSRestApiConnection& conn, const char* label,
                                               HTTP_REQ_TYPE verb, const std::string& url)
    : m_conn(conn),
      m_label(label),
      m_verb(verb),
      m_url(url),
      m_timings(vsrest::ReadTimings(*conn.m_pCurl)),
      m_nLevel(2) {  // as the connection's other lines: enableDebug moves only the fixed ones
    conn.m_pPrivate->lastTimings = m_timings;
}

CVSRestApiConnection::TimingsLine::~TimingsLine() {
    if (!vslog::Shows(m_conn.m_debug, m_nLevel)) {
        return;  // no text is built for a line that goes nowhere
    }
    const TimingsText text(m_timings);
    vslog::Debug(m_conn.m_debug, m_label, m_nLevel, "timings %s %s: %s", m_conn.VerbText(m_verb),
                 m_url.c_str(), text.text);
}

VSRestApiTimings CVSRestApiConnection::getLastTimings() {
    JxCriticalSectionLock lock(&m_csLock);
    return m_pPrivate->lastTimings;
}
