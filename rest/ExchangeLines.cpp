// The exchange lines. The three hooks write the lines whose formats the agent's log readers
// know, unchanged, at level 0 after enableDebug and 2 otherwise. Beside them the request path
// writes two lines of its own at level 2, like the connection's other lines (enableDebug moves
// only the fixed lines, so a log kept at level 0 costs what it did), for a person reading it:
// the request line of a request without a body (which LogRequest leaves out) and, after the
// response or error lines, the answer's status, size and the request's time. A client may cap how
// much of a body the lines show; the cut is made after masking, so that it can never cut a secret
// out of the shape the masker knows.
#include <chrono>
#include <cstdint>
#include <string>

#include "ConnectionState.h"
#include "Labels.h"
#include "LibraryLog.h"
#include "SecretMask.h"
#include "VSRestApiConnection.h"

using namespace vsrest::labels;

namespace {

// At most `limit` bytes of the masked body, backed up to the start of a UTF-8 character, then
// "… (N more bytes)".
std::string CutForLine(const std::string& body, size_t limit) {
    std::string masked = body;
    vsmask::MaskSecrets(masked);
    if (masked.size() <= limit) {
        return masked;
    }
    size_t cut = limit;
    for (int back = 0;
         back < 3 && cut > 0 && (static_cast<unsigned char>(masked[cut]) & 0xC0) == 0x80; ++back) {
        --cut;
    }
    const size_t more = masked.size() - cut;
    masked.resize(cut);
    masked += "\xE2\x80\xA6 (" + std::to_string(more) + " more bytes)";
    return masked;
}

constexpr int kOwnLineLevel = 2;

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool CVSRestApiConnection::ShowsCut(const std::string& body) const {
    const size_t limit = m_pPrivate->nLogBodyLimit;
    return limit != 0 && body.size() > limit;
}

// The body as an exchange line shows it: whole, cut at the connection's cap, or for a secret
// request its length only.
std::string CVSRestApiConnection::Loggable(const std::string& body) const {
    if (m_bSecretExchange && !body.empty()) {
        return "[" + std::to_string(body.size()) + " bytes withheld]";
    }
    return ShowsCut(body) ? CutForLine(body, m_pPrivate->nLogBodyLimit) : body;
}

void CVSRestApiConnection::LogRequest(HTTP_REQ_TYPE verb, const std::string& url,
                                      const std::string& body) {
    // Nothing is built for a line that goes nowhere: a cut masks the whole body first, which
    // costs what the uncut line would.
    if (body.empty() || !vslog::Shows(m_debug, m_bDebugEnabled ? 0 : 2)) {
        return;
    }
    vslog::Debug(m_debug, kLogRequestLabel, m_bDebugEnabled ? 0 : 2, "Request to %s [%s]:\n%s ",
                 VerbText(verb), url.c_str(),
                 m_bSecretExchange || ShowsCut(body) ? Loggable(body).c_str() : body.c_str());
}

void CVSRestApiConnection::LogResponse(HTTP_REQ_TYPE verb, const std::string& url,
                                       const std::string& response) {
    if (!vslog::Shows(m_debug, m_bDebugEnabled ? 0 : 2)) {
        return;
    }
    vslog::Debug(
        m_debug, kLogResponseLabel, m_bDebugEnabled ? 0 : 2, "Response from %s [%s]:\n%s ",
        VerbText(verb), url.c_str(),
        m_bSecretExchange || ShowsCut(response) ? Loggable(response).c_str() : response.c_str());
}

void CVSRestApiConnection::LogError(HTTP_REQ_TYPE verb, const std::string& url,
                                    const std::string& body, const std::string& response) {
    vslog::Error(m_debug, kLogErrorLabel, "Error: [%s] [%d]. %s [%s]", getLastCurlError().c_str(),
                 static_cast<int>(m_pCurl->GetHttpErrorCode()), VerbText(verb), url.c_str());
    if (!body.empty()) {
        vslog::Error(m_debug, kLogErrorLabel, "  Req: [%s]", Loggable(body).c_str());
    }
    if (!response.empty()) {
        vslog::Error(m_debug, kLogErrorLabel, "  Rsp: [%s]", Loggable(response).c_str());
    }
}

void CVSRestApiConnection::LogBodylessRequest(HTTP_REQ_TYPE verb, const std::string& url) {
    vslog::Debug(m_debug, kSendReqLabel, kOwnLineLevel, "Request to %s [%s], no body",
                 VerbText(verb), url.c_str());
}

int64_t CVSRestApiConnection::AnswerClockUs() const {
    return vslog::Shows(m_debug, kOwnLineLevel) ? NowUs() : -1;
}

// After a request that got an answer; a transport failure has only the LogError lines.
void CVSRestApiConnection::LogAnswer(HTTP_REQ_TYPE verb, const std::string& url,
                                     const std::string& response, int64_t startUs) {
    const long status = static_cast<long>(m_pCurl->GetHttpErrorCode());
    if (startUs < 0 || status <= 0) {
        return;
    }
    vslog::Debug(m_debug, kSendReqLabel, kOwnLineLevel,
                 "Answer to %s [%s]: %ld%s, %zu bytes in %.3f ms", VerbText(verb), url.c_str(),
                 status, IsExpectedStatus() ? " (expected)" : "", response.size(),
                 static_cast<double>(NowUs() - startUs) / 1000.0);
}
