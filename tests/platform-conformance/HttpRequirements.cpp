// HTTP-1 to HTTP-6, HTTP-15 to HTTP-18 and HTTP-20: what a request carries, what comes back, and
// the transport's life on many threads. The options the library sets, and the bounds, are
// HttpPolicyRequirements.cpp's.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "Helpers.h"
#include "JXLibCurl.h"
#include "RawServer.h"
#include "TestServer.h"
#include "Transport.h"

using conformance::Body;
using conformance::Connect;
using conformance::EveryByte;
using conformance::Send;

namespace {

// The method on the wire (the transport's own verb texts are its choice).
std::string MethodOf(HTTP_REQ_TYPE verb) {
    switch (verb) {
        case HTTP_REQ_GET:
            return "GET";
        case HTTP_REQ_POST:
            return "POST";
        case HTTP_REQ_PUT:
            return "PUT";
        case HTTP_REQ_DELETE:
            return "DELETE";
    }
    return "?";
}

size_t HeaderCount(const ReceivedRequest& request, const std::string& name) {
    return request.headers.count(name);
}

std::string Header(const ReceivedRequest& request, const std::string& name) {
    const auto found = request.headers.find(name);
    return found == request.headers.end() ? std::string("<absent>") : found->second;
}

std::string RefusedUrl() {
    return LoopbackUrl("http", UnusedPort(), "/");
}

// Serves the bodies and statuses HTTP-4 and HTTP-5 ask for, by path.
void AnswerByPath(const httplib::Request& req, httplib::Response& res) {
    if (req.path == "/binary") {
        res.set_content(EveryByte(256), "application/octet-stream");
    } else if (req.path == "/missing") {
        res.status = 404;
        res.set_content("not here", "text/plain");
    } else if (req.path == "/unavailable") {
        res.status = 503;
        res.set_content("later", "text/plain");
    } else if (req.path == "/empty") {
        res.status = 204;
    } else {
        res.set_content("xy", "text/plain");
    }
}

// The answers of the peers HTTP-6 needs, by path; each connection ends after one.
void AnswerOrMisbehave(int fd, int) {
    const std::string path = RawServer::PathOf(RawServer::ReadRequestHead(fd));
    if (path == "/complete") {
        RawServer::WriteText(fd,
                             "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
    } else if (path == "/no-content") {
        RawServer::WriteText(fd, "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
    } else if (path == "/cut") {
        RawServer::WriteText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nonly ten b");
    } else if (path == "/cut-chunked") {
        RawServer::WriteText(fd,
                             "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n");
    } else if (path == "/no-status") {
        RawServer::WriteText(fd, "a body without any status line\n");
    } else {
        RawServer::ResetOnClose(fd);
    }
}

// What HTTP-15 expects: each byte but the unreserved ones as %XX.
std::string PercentEncoded(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) != 0 && byte < 0x80) {
            out += c;
        } else if (c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", byte);
            out += escape;
        }
    }
    return out;
}

// The hex digits of %xx in upper case: RFC 3986 reads both cases alike.
std::string UpperHex(std::string text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            text[i + 1] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i + 1])));
            text[i + 2] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i + 2])));
        }
    }
    return text;
}

}  // namespace

TEST(Requirement, HTTP_1_ContentTypeOfInitOnEveryRequest) {
    TestServer server;
    JXLibCurl curl;
    ASSERT_TRUE(Connect(curl, "application/vnd.conformance+json"));
    const HTTP_REQ_TYPE verbs[] = {HTTP_REQ_GET, HTTP_REQ_POST, HTTP_REQ_PUT, HTTP_REQ_DELETE};
    for (const HTTP_REQ_TYPE verb : verbs) {
        curl.JXLibCurlFreeHttpHeaderList();  // as before every request of the library
        curl.JXLibCurlAppendHeader(HTTP_HDR_STANDARD, "Accept-Language: en_US");
        EXPECT_TRUE(Send(curl, verb, server.Url("/"), verb == HTTP_REQ_GET ? "" : "{}"));
    }
    // A second connect with another type.
    ASSERT_TRUE(Connect(curl, "text/xml"));
    curl.JXLibCurlFreeHttpHeaderList();
    EXPECT_TRUE(Send(curl, HTTP_REQ_GET, server.Url("/")));

    const std::vector<ReceivedRequest> received = server.Requests();
    ASSERT_EQ(received.size(), 5u);
    for (size_t i = 0; i < received.size(); ++i) {
        const std::string expected = i < 4 ? "application/vnd.conformance+json" : "text/xml";
        EXPECT_EQ(HeaderCount(received[i], "Content-Type"), 1u) << received[i].method;
        EXPECT_EQ(Header(received[i], "Content-Type"), expected) << received[i].method;
    }
}

TEST(Requirement, HTTP_2_AppendedLinesGoOutUntilFreed) {
    TestServer server;
    JXLibCurl curl;
    Connect(curl, "text/plain");
    const char* token = "Authorization: Bearer a.b-c_d~e/f+g=";
    curl.JXLibCurlFreeHttpHeaderList();
    EXPECT_TRUE(curl.JXLibCurlAppendHeader(HTTP_HDR_STANDARD, "User-Agent: vsconformance/1.0"));
    EXPECT_TRUE(curl.JXLibCurlAppendHeader(HTTP_HDR_STANDARD, token));
    Send(curl, HTTP_REQ_GET, server.Url("/first"));
    curl.JXLibCurlFreeHttpHeaderList();
    EXPECT_TRUE(curl.JXLibCurlAppendHeader(HTTP_HDR_STANDARD, "X-Conformance: second"));
    Send(curl, HTTP_REQ_POST, server.Url("/second"), "body");
    curl.JXLibCurlFreeHttpHeaderList();
    Send(curl, HTTP_REQ_GET, server.Url("/third"));

    const std::vector<ReceivedRequest> received = server.Requests();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(HeaderCount(received[0], "User-Agent"), 1u);
    EXPECT_EQ(Header(received[0], "User-Agent"), "vsconformance/1.0");
    EXPECT_EQ(Header(received[0], "Authorization"), "Bearer a.b-c_d~e/f+g=");
    // Freed: nothing of the first request's lines reaches the later ones.
    EXPECT_EQ(HeaderCount(received[1], "Authorization"), 0u);
    EXPECT_NE(Header(received[1], "User-Agent"), "vsconformance/1.0");
    EXPECT_EQ(Header(received[1], "X-Conformance"), "second");
    EXPECT_EQ(HeaderCount(received[2], "Authorization"), 0u);
    EXPECT_EQ(HeaderCount(received[2], "X-Conformance"), 0u);
}

TEST(Requirement, HTTP_3_VerbAndBodySentByteForByte) {
    TestServer server;
    JXLibCurl curl;
    Connect(curl, "application/octet-stream");
    const std::string binary = EveryByte(256);  // 64 KiB
    const std::pair<HTTP_REQ_TYPE, std::string> requests[] = {
        {HTTP_REQ_POST, binary},
        {HTTP_REQ_GET, ""},  // right after a POST: no body, and not sent as a POST
        {HTTP_REQ_PUT, std::string(1, '\0')},
        {HTTP_REQ_DELETE, binary.substr(0, 1000)},
        {HTTP_REQ_DELETE, ""},
        {HTTP_REQ_POST, "short"},
        {HTTP_REQ_GET, ""},
    };
    for (const auto& [verb, body] : requests) {
        EXPECT_TRUE(Send(curl, verb, server.Url("/"), body));
    }
    const std::vector<ReceivedRequest> received = server.Requests();
    ASSERT_EQ(received.size(), std::size(requests));
    for (size_t i = 0; i < received.size(); ++i) {
        const auto& [verb, body] = requests[i];
        EXPECT_EQ(received[i].method, MethodOf(verb)) << "request " << i;
        EXPECT_EQ(received[i].body, body) << "request " << i;
        if (verb == HTTP_REQ_GET) {
            EXPECT_EQ(HeaderCount(received[i], "Transfer-Encoding"), 0u) << "request " << i;
            const std::string length = Header(received[i], "Content-Length");
            EXPECT_TRUE(length == "<absent>" || length == "0") << "request " << i;
        }
    }
}

TEST(Requirement, HTTP_4_ResponseBodyIsExactlyTheLastOne) {
    TestServer server;
    server.SetResponder(AnswerByPath);
    JXLibCurl curl;
    Connect(curl, "text/plain");
    const std::pair<std::string, std::string> exchanges[] = {
        {"/binary", EveryByte(256)}, {"/short", "xy"}, {"/missing", "not here"}, {"/empty", ""},
        {"/binary", EveryByte(256)},
    };
    for (const auto& [path, body] : exchanges) {
        Send(curl, HTTP_REQ_GET, server.Url(path));
        EXPECT_EQ(Body(curl), body) << path;
    }
    EXPECT_FALSE(Send(curl, HTTP_REQ_GET, RefusedUrl()));
    EXPECT_EQ(Body(curl), "") << "a failed exchange handed back an earlier body";
}

TEST(Requirement, HTTP_5_StatusAndErrorTextOfTheLastExchange) {
    TestServer server;
    server.SetResponder(AnswerByPath);
    JXLibCurl curl;
    EXPECT_NE(curl.GetCurlErrorBuffer(), nullptr);
    Connect(curl, "text/plain");
    const std::pair<std::string, int64_t> exchanges[] = {
        {"/short", 200}, {"/missing", 404}, {"/unavailable", 503}, {"/empty", 204}};
    for (const auto& [path, status] : exchanges) {
        Send(curl, HTTP_REQ_GET, server.Url(path));
        EXPECT_EQ(curl.GetHttpErrorCode(), status) << path;
        EXPECT_NE(curl.GetCurlErrorBuffer(), nullptr) << path;
    }
    EXPECT_FALSE(Send(curl, HTTP_REQ_GET, RefusedUrl()));
    EXPECT_EQ(curl.GetHttpErrorCode(), 0) << "no answer came back";
    ASSERT_NE(curl.GetCurlErrorBuffer(), nullptr);
    EXPECT_STRNE(curl.GetCurlErrorBuffer(), "") << "a refused connection gave no reason";
    Send(curl, HTTP_REQ_GET, server.Url("/missing"));
    EXPECT_EQ(curl.GetHttpErrorCode(), 404);
}

TEST(Requirement, HTTP_6_SendTrueOnlyForACompleteExchange) {
    RawServer peer(AnswerOrMisbehave);
    JXLibCurl curl;
    Connect(curl, "text/plain");
    EXPECT_TRUE(Send(curl, HTTP_REQ_GET, peer.Url("/complete"))) << curl.GetCurlErrorBuffer();
    EXPECT_TRUE(Send(curl, HTTP_REQ_GET, peer.Url("/no-content"))) << curl.GetCurlErrorBuffer();
    for (const char* path : {"/cut", "/cut-chunked", "/reset"}) {
        EXPECT_FALSE(Send(curl, HTTP_REQ_GET, peer.Url(path))) << path;
    }
    EXPECT_FALSE(Send(curl, HTTP_REQ_GET, RefusedUrl()));
    // An answer without a status, also where a client let such answers through.
    EXPECT_FALSE(Send(curl, HTTP_REQ_GET, peer.Url("/no-status")));
    curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_HTTP09_ALLOWED, 1);
    EXPECT_FALSE(Send(curl, HTTP_REQ_GET, peer.Url("/no-status")));
    EXPECT_EQ(curl.GetHttpErrorCode(), 0);
}

TEST(Requirement, HTTP_15_UrlEscapeEncodesAllButUnreserved) {
    const std::string text = EveryByte(1) + "a b&c=d/\xc3\xa9?#%+";
    const std::string expected = PercentEncoded(text);
    JXLibCurl curl;
    Connect(curl, "text/plain");
    std::string escaped;
    curl.JXLibCurlUrlEscape(text, escaped);
    EXPECT_EQ(UpperHex(escaped), expected);

    // Outside the request lock: escapes on two threads while a third sends on the same object.
    TestServer server;
    std::atomic<int> wrong{0};
    auto escapeMany = [&] {
        for (int i = 0; i < 300; ++i) {
            std::string out;
            curl.JXLibCurlUrlEscape(text, out);
            wrong += UpperHex(out) == expected ? 0 : 1;
        }
    };
    std::thread first(escapeMany);
    std::thread second(escapeMany);
    for (int i = 0; i < 40; ++i) {
        Send(curl, HTTP_REQ_GET, server.Url("/"));
    }
    first.join();
    second.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Requirement, HTTP_16_VerbTextsNeverNull) {
    for (const HTTP_REQ_TYPE verb : {HTTP_REQ_GET, HTTP_REQ_POST, HTTP_REQ_PUT, HTTP_REQ_DELETE}) {
        EXPECT_NE(JXLibCurl::GetHttpReqTypeString(verb), nullptr) << verb;
    }
}

TEST(Requirement, HTTP_17_ObjectsIndependentAcrossThreads) {
    TestServer server;
    server.SetResponder([](const httplib::Request& req, httplib::Response& res) {
        res.set_content(req.body + "|" + req.get_header_value("X-Thread"), "text/plain");
    });
    std::atomic<int> wrong{0};
    auto client = [&](int index) {
        JXLibCurl curl;  // built on its own thread, next to the others
        Connect(curl, "text/plain");
        const std::string line = "X-Thread: " + std::to_string(index);
        for (int i = 0; i < 25; ++i) {
            const std::string body = "thread " + std::to_string(index) + " request " +
                                     std::to_string(i) + std::string(static_cast<size_t>(i), '.');
            curl.JXLibCurlFreeHttpHeaderList();
            curl.JXLibCurlAppendHeader(HTTP_HDR_STANDARD, line.c_str());
            const bool sent = Send(curl, HTTP_REQ_POST, server.Url("/echo"), body);
            const bool right = sent && curl.GetHttpErrorCode() == 200 &&
                               Body(curl) == body + "|" + std::to_string(index);
            wrong += right ? 0 : 1;
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back(client, i);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Requirement, HTTP_18_HeaderLinesWithALineBreakRefused) {
    TestServer server;
    JXLibCurl curl;
    Connect(curl, "text/plain");
    curl.JXLibCurlFreeHttpHeaderList();
    const char* smuggling[] = {"X-Id: 1\r\n\r\nDELETE /api/vms/all HTTP/1.1\r\nHost: h\r\n\r\n",
                               "X-Id: 2\nX-Smuggled: lf", "X-Id: 3\rX-Smuggled: cr", "X-Id: 4\r"};
    for (const char* line : smuggling) {
        EXPECT_FALSE(curl.JXLibCurlAppendHeader(HTTP_HDR_STANDARD, line)) << line;
    }
    EXPECT_TRUE(Send(curl, HTTP_REQ_GET, server.Url("/only"))) << curl.GetCurlErrorBuffer();
    const std::vector<ReceivedRequest> received = server.Requests();
    ASSERT_EQ(received.size(), 1u) << "a second request reached the server";
    EXPECT_EQ(HeaderCount(received[0], "X-Id"), 0u) << Header(received[0], "X-Id");
    EXPECT_EQ(HeaderCount(received[0], "X-Smuggled"), 0u);
}

// Each send's method, and its body, as the server received them; "" gives back the verb's own.
TEST(Requirement, HTTP_20_MethodsBeyondTheFourVerbs) {
    TestServer server;
    JXLibCurl curl;
    Connect(curl, "text/plain");
    ASSERT_TRUE(curl.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_CUSTOMREQUEST, "PATCH"));
    EXPECT_TRUE(Send(curl, HTTP_REQ_POST, server.Url("/patch"), "{\"a\":1}"));
    ASSERT_TRUE(curl.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_CUSTOMREQUEST, ""));
    EXPECT_TRUE(Send(curl, HTTP_REQ_POST, server.Url("/post"), "b"));
    ASSERT_TRUE(curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_NOBODY, 1));
    EXPECT_TRUE(Send(curl, HTTP_REQ_GET, server.Url("/head")));
    EXPECT_EQ(Body(curl), "");
    ASSERT_TRUE(curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_NOBODY, 0));
    EXPECT_TRUE(Send(curl, HTTP_REQ_GET, server.Url("/get")));
    EXPECT_EQ(Body(curl), "ok GET");
    const std::vector<ReceivedRequest> got = server.Requests();
    ASSERT_EQ(got.size(), 4u);
    const char* const methods[] = {"PATCH", "POST", "HEAD", "GET"};
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].method, methods[i]) << got[i].target;
    }
    EXPECT_EQ(got[0].body, "{\"a\":1}");
    EXPECT_EQ(got[1].body, "b");
}
