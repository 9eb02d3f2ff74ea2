// The transport as the library drives it: connected the way the library's connect sets it up,
// requests sent with the arguments the request path passes.
#pragma once

#include <string>

#include "JXLibCurl.h"

namespace conformance {

// The options the library sets on every connect, with its values.
inline void SetLibraryOptions(JXLibCurl& curl) {
    curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_NOSIGNAL, 1);
    curl.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_PROTOCOLS_STR, "http,https");
    curl.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
    curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_CONNECTTIMEOUT, 30);
    curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_LOW_SPEED_LIMIT, 1);
    curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_LOW_SPEED_TIME, 60);
}

// Init and options as connect does them; the init's result (whether a setter took its option
// is HTTP-8's check, not every check's).
inline bool Connect(JXLibCurl& curl, const char* contentType, bool skipSslVerify = false) {
    const bool ready = curl.JXLibCurlInit(contentType, skipSslVerify, false, nullptr);
    SetLibraryOptions(curl);
    return ready;
}

inline bool Send(JXLibCurl& curl, HTTP_REQ_TYPE verb, const std::string& url,
                 const std::string& body = std::string()) {
    return curl.JXLibCurlSendHttpReqLog(verb, url.c_str(), body.data(), body.size(), false, false,
                                        nullptr);
}

// The response as the library's recvResp takes it.
inline std::string Body(JXLibCurl& curl) {
    unsigned long length = 0;
    const char* data = curl.GetHttpResponse(length, false);
    return data != nullptr ? std::string(data, length) : std::string();
}

}  // namespace conformance
