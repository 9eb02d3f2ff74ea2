// The function labels the connection writes its log lines under: fixed texts that the agent's
// log readers know, so the tests compare them whole.
#pragma once

namespace rest_labels {

constexpr const char* kConnect =
    "bool CVSRestApiConnection::connect(const string&, bool, const string&)";
constexpr const char* kSendReq =
    "virtual bool CVSRestApiConnection::sendReq(HTTP_REQ_TYPE, const string&, const string&, "
    "std::string&, VSRestApiRequestOptions*)";
constexpr const char* kCommon = "virtual bool CVSRestApiConnection::addCommonCurlHeaders()";
constexpr const char* kComputeUrl =
    "virtual bool CVSRestApiConnection::computeUrl(const string&, const string&, const "
    "VSRestApiRequestOptions*, std::string&)";
constexpr const char* kLogRequest =
    "virtual void CVSRestApiConnection::LogRequest(HTTP_REQ_TYPE, const string&, const string&)";
constexpr const char* kLogResponse =
    "virtual void CVSRestApiConnection::LogResponse(HTTP_REQ_TYPE, const string&, const string&)";
constexpr const char* kLogError =
    "virtual void CVSRestApiConnection::LogError(HTTP_REQ_TYPE, const string&, const string&, "
    "const string&)";
constexpr const char* kUrlEncode = "std::string CVSRestApiConnection::UrlEncode(const string&)";

}  // namespace rest_labels
