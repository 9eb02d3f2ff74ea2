// The function labels of the connection's log lines. They are part of the log format that the
// agent's log readers know: fixed texts, not __PRETTY_FUNCTION__, so that every compiler writes
// the same ones. Internal: not installed.
#pragma once

namespace vsrest::labels {

inline constexpr const char* kConnectLabel =
    "bool CVSRestApiConnection::connect(const string&, bool, const string&)";
inline constexpr const char* kComputeUrlLabel =
    "virtual bool CVSRestApiConnection::computeUrl(const string&, const string&, const "
    "VSRestApiRequestOptions*, std::string&)";
inline constexpr const char* kSendReqLabel =
    "virtual bool CVSRestApiConnection::sendReq(HTTP_REQ_TYPE, const string&, const string&, "
    "std::string&, VSRestApiRequestOptions*)";
inline constexpr const char* kCommonHeadersLabel =
    "virtual bool CVSRestApiConnection::addCommonCurlHeaders()";
inline constexpr const char* kLogRequestLabel =
    "virtual void CVSRestApiConnection::LogRequest(HTTP_REQ_TYPE, const string&, const "
    "string&)";
inline constexpr const char* kLogResponseLabel =
    "virtual void CVSRestApiConnection::LogResponse(HTTP_REQ_TYPE, const string&, const "
    "string&)";
inline constexpr const char* kLogErrorLabel =
    "virtual void CVSRestApiConnection::LogError(HTTP_REQ_TYPE, const string&, const string&, "
    "const string&)";
inline constexpr const char* kUrlEncodeLabel =
    "std::string CVSRestApiConnection::UrlEncode(const string&)";

}  // namespace vsrest::labels
