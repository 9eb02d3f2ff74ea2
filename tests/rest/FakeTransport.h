// A transport that stands in for the network, and a connection that records its hooks, so the
// request path can be checked call by call.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "VSRestApiConnection.h"

class FakeCurl : public JXLibCurl {
public:
    explicit FakeCurl(std::vector<std::string>* events) : m_events(events) {}

    // What the next calls answer.
    bool initResult = true;
    bool noSignalResult = true;
    bool caInfoResult = true;
    std::string refusedOption;  // libcurl's name of one more option the setters refuse
    int failAppendNumber = 0;   // 1-based number of the append that fails; 0: none
    bool sendResult = true;
    bool hasResponse = true;
    std::string response = "resp";
    std::string errorText;
    int64_t httpCode = 200;
    std::string escapeResult;  // returned by JXLibCurlUrlEscape

    // What the transport saw.
    std::vector<std::string> headers;
    std::string lastUrl;
    std::string lastBody;
    HTTP_REQ_TYPE lastVerb = HTTP_REQ_GET;
    std::string caInfo;
    int appendCalls = 0;

    bool JXLibCurlInit(const char* contentType, bool skip, bool, WriteCallback) override {
        Event(std::string("Init ") + contentType + (skip ? " skip" : " verify"));
        return initResult;
    }
    bool JXLibCurlSetAdditionalOptionsIntValue(CURLoption option, const int& value) override {
        Event("IntOption " + Name(option) + "=" + std::to_string(value));
        return Name(option) != refusedOption && (option != CURLOPT_NOSIGNAL || noSignalResult);
    }
    bool JXLibCurlSetAdditionalOptionsStringValue(CURLoption option,
                                                  const std::string& value) override {
        Event("StringOption " + Name(option) + "=" + value);
        if (option != CURLOPT_CAINFO) {
            return Name(option) != refusedOption;
        }
        caInfo = value;
        return caInfoResult;
    }
    bool JXLibCurlFreeHttpHeaderList() override {
        Event("FreeHeaders");
        headers.clear();
        return true;
    }
    bool JXLibCurlAppendHeader(_http_hdr_type_ type, const char* line) override {
        Event("Append " + std::to_string(type) + " " + line);
        if (++appendCalls == failAppendNumber) {
            return false;
        }
        headers.push_back(line);
        return true;
    }
    bool JXLibCurlSendHttpReqLog(HTTP_REQ_TYPE verb, const char* url, const void* body,
                                 unsigned long length, bool a, bool b, const char* label) override {
        Event(std::string("Send ") + GetHttpReqTypeString(verb) + " " + url);
        lastVerb = verb;
        lastUrl = url;
        lastBody.assign(static_cast<const char*>(body), length);
        EXPECT_FALSE(a);
        EXPECT_FALSE(b);
        EXPECT_EQ(label, nullptr);
        std::snprintf(m_szErrorBuffer, sizeof m_szErrorBuffer, "%s", errorText.c_str());
        m_nHttpErrorCode = httpCode;
        return sendResult;
    }
    const char* GetHttpResponse(unsigned long& length, bool headersWanted) override {
        EXPECT_FALSE(headersWanted);
        length = response.size();
        return hasResponse ? response.data() : nullptr;
    }
    bool JXLibCurlUrlEscape(const std::string&, std::string& out) override {
        out = escapeResult;
        return true;
    }

private:
    void Event(const std::string& e) { m_events->push_back(e); }
    // libcurl's own name of the option ("NOSIGNAL" for CURLOPT_NOSIGNAL).
    static std::string Name(CURLoption option) {
        const curl_easyoption* info = curl_easy_option_by_id(option);
        return info != nullptr ? info->name : "option " + std::to_string(option);
    }
    std::vector<std::string>* m_events;
};

// Records each hook as it runs, then lets the base class do its work.
class RecordingConnection : public CVSRestApiConnection {
public:
    RecordingConnection() {
        auto fake = std::make_unique<FakeCurl>(&events);
        delete m_pCurl;  // the connection owns its transport; this one replaces the real one
        m_pCurl = fake.release();
        m_strContentType = "application/json";
    }

    FakeCurl& Curl() { return *static_cast<FakeCurl*>(m_pCurl); }
    void SetContentType(const std::string& type) { m_strContentType = type; }
    void SetUrlParts(bool https, unsigned port, const std::string& basePath) {
        m_bUseHttps = https;
        m_nPort = port;
        m_strBasePath = basePath;
    }
    void UseLoginHeaders(bool on) { m_bUseLoginHeaders = on; }
    const std::string& Server() const { return m_strServer; }
    bool Connected() const { return m_bConnected; }

    std::vector<std::string> events;
    std::string secretResource;  // requests for it are marked secret

protected:
    bool isSecretRequest(HTTP_REQ_TYPE, const std::string& resource,
                         const VSRestApiRequestOptions*) override {
        return resource == secretResource;
    }
    bool computeUrl(const std::string& server, const std::string& resource,
                    const VSRestApiRequestOptions* options, std::string& url) override {
        events.push_back("computeUrl");
        return CVSRestApiConnection::computeUrl(server, resource, options, url);
    }
    void recvResp(std::string& response) override {
        events.push_back("recvResp");
        CVSRestApiConnection::recvResp(response);
    }
    bool addCurlHeaders(HTTP_REQ_TYPE verb, const std::string& resource, const std::string& body,
                        const VSRestApiRequestOptions* options) override {
        events.push_back("addCurlHeaders");
        return CVSRestApiConnection::addCurlHeaders(verb, resource, body, options);
    }
    bool addCommonCurlHeaders() override {
        events.push_back("addCommonCurlHeaders");
        return CVSRestApiConnection::addCommonCurlHeaders();
    }
    bool addLoginCurlHeaders() override {
        events.push_back("addLoginCurlHeaders");
        return CVSRestApiConnection::addLoginCurlHeaders();
    }
    bool saveLoginCurlHeaders() override {
        events.push_back("saveLoginCurlHeaders");
        return CVSRestApiConnection::saveLoginCurlHeaders();
    }
    void LogRequest(HTTP_REQ_TYPE verb, const std::string& url, const std::string& body) override {
        events.push_back("LogRequest");
        CVSRestApiConnection::LogRequest(verb, url, body);
    }
    void LogResponse(HTTP_REQ_TYPE verb, const std::string& url,
                     const std::string& response) override {
        events.push_back("LogResponse");
        CVSRestApiConnection::LogResponse(verb, url, response);
    }
    void LogError(HTTP_REQ_TYPE verb, const std::string& url, const std::string& body,
                  const std::string& response) override {
        events.push_back("LogError response=" + response);
        CVSRestApiConnection::LogError(verb, url, body, response);
    }
};
