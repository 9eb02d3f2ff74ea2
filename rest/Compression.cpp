// Compressed bodies. Once CURLOPT_ACCEPT_ENCODING is set (connect's policy sets it to "", every
// encoding libcurl was built to decode) libcurl offers those encodings in a line of its own and
// decodes whatever a server sends in them, before the transport's write callback, and so before
// its body limit, sees a byte. Switching the offer off cannot go through the option setter (the
// interface has no way to pass libcurl's null), so a request made with the switch off carries an
// empty "Accept-Encoding:" line after its hooks' lines (RunHeaderHooks), which makes libcurl
// send no such line; that works on any platform's transport and takes effect with the next
// request, before or after connect.
#include "ConnectionState.h"
#include "LibraryLog.h"
#include "VSRestApiConnection.h"

void CVSRestApiConnection::setCompression(bool on) {
    JxCriticalSectionLock lock(&m_csLock);
    m_pPrivate->bCompression = on;
}

// With the switch off only; the lines are the request's final ones. Should the line not go on,
// libcurl offers its encodings after all: the body is still decoded and bounded the same.
void CVSRestApiConnection::WithholdEncodingOffer(const char* label) {
    if (m_pPrivate->bCompression) {
        return;
    }
    if (!m_pCurl->JXLibCurlAppendHeader(HTTP_HDR_STANDARD, "Accept-Encoding:")) {
        vslog::Error(m_debug, label, "Failed to withhold the Accept-Encoding offer");
    }
}
