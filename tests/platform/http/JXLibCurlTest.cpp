#include "JXLibCurl.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "LogCapture.h"
#include "RawServer.h"
#include "TempDir.h"
#include "TestServer.h"

using ::testing::Each;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

template <class Server>  // TestServer or RawServer
std::string Url(const Server& server, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(server.Port()) + path;
}

bool Get(JXLibCurl& curl, const std::string& url) {
    return curl.JXLibCurlSendHttpReqLog(HTTP_REQ_GET, url.c_str(), nullptr, 0, false, false,
                                        nullptr);
}

std::string Body(JXLibCurl& curl, bool headers = false) {
    unsigned long length = 0;
    const char* data = curl.GetHttpResponse(length, headers);
    return data ? std::string(data, length) : std::string();
}

// Accepts, reads the request and never answers.
void NeverAnswer(int fd, int) {
    RawServer::ReadRequestHead(fd);
    RawServer::WaitForClose(fd);
}

}  // namespace

TEST(JXLibCurl, VerbTexts) {
    EXPECT_STREQ(JXLibCurl::GetHttpReqTypeString(HTTP_REQ_GET), "GET");
    EXPECT_STREQ(JXLibCurl::GetHttpReqTypeString(HTTP_REQ_POST), "POST");
    EXPECT_STREQ(JXLibCurl::GetHttpReqTypeString(HTTP_REQ_PUT), "PUT");
    EXPECT_STREQ(JXLibCurl::GetHttpReqTypeString(HTTP_REQ_DELETE), "DELETE");
    EXPECT_STREQ(JXLibCurl::GetHttpReqTypeString(static_cast<HTTP_REQ_TYPE>(17)), "UNKNOWN");
}

TEST(JXLibCurl, HeaderLinesGoOutUntilFreed) {
    TestServer server;
    JXLibCurl curl;
    ASSERT_TRUE(curl.JXLibCurlInit("application/xml", false, false, nullptr));
    JXLibCurl::Timings timings;
    ASSERT_TRUE(curl.JXLibCurlAppendHeader(HTTP_HDR_STANDARD, "X-One: 1"));
    EXPECT_FALSE(curl.JXLibCurlAppendHeader(static_cast<_http_hdr_type_>(5), "X-Two: 2"));
    ASSERT_TRUE(curl.JXLibCurlSendHttpReqLog(HTTP_REQ_GET, Url(server, "/a").c_str(), nullptr, 0,
                                             false, false, nullptr));
    ASSERT_TRUE(curl.JXLibCurlGetTimings(timings));
    EXPECT_EQ(timings.nTlsUs, -1) << "plain http";
    ASSERT_TRUE(curl.JXLibCurlFreeHttpHeaderList());
    ASSERT_TRUE(curl.JXLibCurlSendHttpReqLog(HTTP_REQ_GET, Url(server, "/b").c_str(), nullptr, 0,
                                             false, false, nullptr));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].headers.count("X-One"), 1u);
    EXPECT_EQ(requests[0].headers.count("X-Two"), 0u);
    EXPECT_EQ(requests[1].headers.count("X-One"), 0u);
    for (const auto& r : requests) {
        auto ct = r.headers.equal_range("Content-Type");
        ASSERT_EQ(std::distance(ct.first, ct.second), 1);
        EXPECT_EQ(ct.first->second, "application/xml");
        EXPECT_EQ(r.headers.count("Expect"), 0u);
    }
    // A caller's own Content-Type replaces the one from init instead of doubling it.
    curl.JXLibCurlAppendHeader(HTTP_HDR_STANDARD, "Content-Type: text/plain");
    curl.JXLibCurlSendHttpReqLog(HTTP_REQ_POST, Url(server, "/c").c_str(), "x", 1, false, false,
                                 nullptr);
    const auto last = server.Requests().back();
    ASSERT_EQ(last.headers.count("Content-Type"), 1u);
    EXPECT_EQ(last.headers.find("Content-Type")->second, "text/plain");

    // A line break would let the rest be read as lines, or a request, of their own: refused
    // with an Error line that names the header and never shows the value.
    LogCapture capture;
    EXPECT_FALSE(curl.JXLibCurlInit("text/plain\r\nX-Smuggled: t0k", false, false, nullptr));
    EXPECT_FALSE(curl.JXLibCurlGetTimings(timings)) << "init forgets the last exchange";
    for (const char* line : {"X-Token: t0k\r\n\r\nDELETE /all HTTP/1.1", "X-Token: t0k\nX: y",
                             "X-Token: t0k\r", "t0k\r\nX: y"}) {
        EXPECT_FALSE(curl.JXLibCurlAppendHeader(HTTP_HDR_STANDARD, line));
    }
    const auto errors = Messages(capture.Errors());
    ASSERT_EQ(errors.size(), 5u);
    EXPECT_THAT(errors[1], HasSubstr("\"X-Token\""));
    EXPECT_THAT(errors, Each(Not(HasSubstr("t0k"))));
}

TEST(JXLibCurl, ErrorStatusKeepsBodyAndSaysWhichStatus) {
    TestServer server;
    server.SetResponder([](const httplib::Request&, httplib::Response& res) {
        res.status = 503;
        res.set_header("X-Reason", "maintenance");
        res.set_content("try later", "text/plain");
    });
    JXLibCurl curl;
    curl.JXLibCurlInit("text/plain", false, false, nullptr);
    EXPECT_FALSE(curl.JXLibCurlSendHttpReqLog(HTTP_REQ_GET, Url(server, "/").c_str(), nullptr, 0,
                                              false, false, nullptr));
    EXPECT_EQ(curl.GetHttpErrorCode(), 503);
    EXPECT_STREQ(curl.GetCurlErrorBuffer(), "HTTP error 503");
    EXPECT_EQ(Body(curl), "try later");
    EXPECT_THAT(Body(curl, true), HasSubstr("X-Reason: maintenance"));

    // The next success clears the error state.
    server.SetResponder([](const httplib::Request&, httplib::Response& res) {
        res.set_content("fine", "text/plain");
    });
    EXPECT_TRUE(curl.JXLibCurlSendHttpReqLog(HTTP_REQ_GET, Url(server, "/").c_str(), nullptr, 0,
                                             false, false, nullptr));
    EXPECT_EQ(curl.GetHttpErrorCode(), 200);
    EXPECT_STREQ(curl.GetCurlErrorBuffer(), "");
    EXPECT_EQ(Body(curl), "fine");
}

// The body goes to the caller's string whole; the object answers from that string only while
// it is lent, and never after the loan ends, the next exchange or init.
TEST(JXLibCurl, TakenBodyIsTheCallersAndIsLentOnlyUntilTheLoanEnds) {
    TestServer server;
    server.SetResponder([](const httplib::Request& req, httplib::Response& res) {
        res.set_content("body of " + req.path, "text/plain");
    });
    JXLibCurl curl;
    curl.JXLibCurlInit("text/plain", false, false, nullptr);
    std::string body = "stale";
    curl.JXLibCurlTakeHttpResponse(body);  // nothing received yet
    EXPECT_EQ(body, "");
    ASSERT_TRUE(Get(curl, Url(server, "/a")));
    curl.JXLibCurlTakeHttpResponse(body);
    EXPECT_EQ(body, "body of /a");
    unsigned long length = 7;
    EXPECT_EQ(curl.GetHttpResponse(length, false), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_THAT(Body(curl, true), HasSubstr("200"));  // the header block stays

    const std::function<void(JXLibCurl&)> endings[] = {
        [](JXLibCurl& c) { c.JXLibCurlEndHttpResponseLoan(); },
        [&](JXLibCurl& c) { Get(c, Url(server, "/b")); },
        [](JXLibCurl& c) { c.JXLibCurlInit("text/plain", false, false, nullptr); },
    };
    for (const auto& end : endings) {
        ASSERT_TRUE(Get(curl, Url(server, "/a")));
        curl.JXLibCurlTakeHttpResponse(body);
        curl.JXLibCurlLendHttpResponse(body);
        EXPECT_EQ(curl.GetHttpResponse(length, false), body.data());
        EXPECT_EQ(length, body.size());
        end(curl);
        EXPECT_NE(Body(curl), "body of /a");
    }
    // Nothing was handed over, so there is nothing to lend: the object answers its own body.
    ASSERT_TRUE(Get(curl, Url(server, "/c")));
    curl.JXLibCurlLendHttpResponse(body);
    EXPECT_EQ(Body(curl), "body of /c");
}

// A derived transport that answers part of the body: the caller gets exactly that part, and
// the object keeps its whole buffer.
TEST(JXLibCurl, TakeCopiesWhatADerivedTransportAnswers) {
    struct SkipsPrefix : JXLibCurl {
        const char* GetHttpResponse(unsigned long& length, bool headers) override {
            const char* data = JXLibCurl::GetHttpResponse(length, headers);
            if (data == nullptr || headers || length < 3) {
                return data;
            }
            length -= 3;
            return data + 3;
        }
    };
    TestServer server;
    server.SetResponder([](const httplib::Request&, httplib::Response& res) {
        res.set_content(">> payload", "text/plain");
    });
    SkipsPrefix curl;
    curl.JXLibCurlInit("text/plain", false, false, nullptr);
    ASSERT_TRUE(Get(curl, Url(server, "/")));
    std::string body;
    curl.JXLibCurlTakeHttpResponse(body);
    EXPECT_EQ(body, "payload");
    curl.JXLibCurlLendHttpResponse(body);  // no hand-over: changes nothing
    EXPECT_EQ(Body(curl), "payload");
    curl.JXLibCurlTakeHttpResponse(body);
    EXPECT_EQ(body, "payload");
}

TEST(JXLibCurl, VerboseTraceGoesThroughTheLogWithSecretsMasked) {
    TestServer server;
    server.SetResponder([](const httplib::Request&, httplib::Response& res) {
        res.set_header("Set-Cookie", "sid=s3cr3t-c00kie");
        res.set_content("hello", "text/plain");
    });
    LogCapture capture;
    JXLibCurl curl;
    ASSERT_TRUE(curl.JXLibCurlInit("application/json", false, true, nullptr));
    ASSERT_TRUE(curl.JXLibCurlAppendHeader(HTTP_HDR_STANDARD, "Authorization: Bearer t0ken-1"));
    const std::string body = R"({"password":"pw-9"})";
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(curl.JXLibCurlSendHttpReqLog(HTTP_REQ_POST, Url(server, "/x").c_str(), body.data(),
                                             body.size(), false, false, nullptr));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "libcurl's own trace is off";

    std::vector<std::string> trace;
    for (const auto& r : capture.Records()) {
        EXPECT_EQ(r.level, 0);
        trace.push_back(r.message);
        for (const char* secret : {"t0ken-1", "s3cr3t", "pw-9"}) {
            EXPECT_EQ(r.message.find(secret), std::string::npos) << r.message;
        }
    }
    using ::testing::Contains;
    EXPECT_THAT(trace, Contains("> POST /x HTTP/1.1"));
    EXPECT_THAT(trace, Contains("> Authorization: ***"));
    EXPECT_THAT(trace, Contains("> [19 bytes of data]"));
    EXPECT_THAT(trace, Contains("< Set-Cookie: ***"));
    EXPECT_THAT(trace, Contains("< [5 bytes of data]"));
}

TEST(JXLibCurl, OptionSettersRefuseOptionsOfAnotherType) {
    JXLibCurl curl;
    curl.JXLibCurlInit("text/plain", false, false, nullptr);
    EXPECT_TRUE(curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_NOSIGNAL, 1));
    EXPECT_TRUE(curl.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_CAINFO, "/nonexistent"));
    // Passing a number or a text where libcurl expects a pointer to a list would crash it.
    EXPECT_FALSE(curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_URL, 1));
    EXPECT_FALSE(curl.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_HTTPHEADER, "X: y"));
    EXPECT_FALSE(curl.JXLibCurlSetAdditionalOptionsStringValue(CURLOPT_TIMEOUT, "5"));
    EXPECT_TRUE(
        curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_3));
    EXPECT_TRUE(
        curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1));
    EXPECT_TRUE(curl.JXLibCurlSetAdditionalOptionsOffValue(CURLOPT_MAXFILESIZE_LARGE, 1 << 20));
    for (CURLoption wrong : {CURLOPT_WRITEFUNCTION, CURLOPT_POSTFIELDS, CURLOPT_SSLCERT_BLOB}) {
        EXPECT_FALSE(curl.JXLibCurlSetAdditionalOptionsIntValue(wrong, 1)) << wrong;
        EXPECT_FALSE(curl.JXLibCurlSetAdditionalOptionsOffValue(wrong, 1)) << wrong;
    }
    EXPECT_FALSE(curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_MAXFILESIZE_LARGE, 1));
    EXPECT_FALSE(curl.JXLibCurlSetAdditionalOptionsOffValue(CURLOPT_TIMEOUT, 5));
}

// RawServer, not cpp-httplib's server: a client hanging up mid-response must not raise SIGPIPE.
static void ServeSized(int fd, int) {
    for (std::string head; !(head = RawServer::ReadRequestHead(fd)).empty();) {
        const std::string path = head.substr(4, head.find(' ', 4) - 4);  // "GET <path> HTTP/1.1"
        const std::string body = path == "/body" ? std::string(1 << 20, 'b') : "small";
        const size_t lines = path == "/many-headers" ? 4000 : path == "/headers" ? 1 : 0;
        std::string big =
            path == "/long-header" ? "X-Long: " + std::string(200 << 10, 'h') + "\r\n" : "";
        for (size_t i = 0; i < lines; ++i) {
            big += "X-Big: " + std::string(path == "/headers" ? 8192 : 93, 'h') + "\r\n";
        }
        RawServer::WriteText(fd, "HTTP/1.1 200 OK\r\nContent-Length: " +
                                     std::to_string(body.size()) + "\r\n" + big + "\r\n" + body);
    }
}

TEST(JXLibCurl, ResponseOverALimitFailsAndTheHandleStaysUsable) {
    RawServer server(ServeSized);
    JXLibCurl curl;
    curl.JXLibCurlInit("text/plain", false, false, nullptr);
    // libcurl stops at 300 KiB of header lines and at 100 KiB in one: the block limit stays
    // below the first, and the second is named, not reported as memory.
    const std::tuple<const char*, size_t, const char*> cases[] = {
        {"/body", 4 << 10, "response body exceeds the limit of 65536 bytes"},
        {"/headers", 4 << 10, "response header block exceeds the limit of 4096 bytes"},
        {"/many-headers", 1 << 20, "response header block exceeds the limit of 204800 bytes"},
        {"/long-header", 1 << 20, "response header line exceeds the limit of 102400 bytes"}};
    for (const auto& [path, headerLimit, reason] : cases) {
        curl.JXLibCurlSetResponseLimits(64 << 10, headerLimit);
        EXPECT_FALSE(Get(curl, Url(server, path))) << path;
        EXPECT_STREQ(curl.GetCurlErrorBuffer(), reason);
        EXPECT_TRUE(Body(curl).empty());
        EXPECT_TRUE(Get(curl, Url(server, "/small"))) << curl.GetCurlErrorBuffer();
        EXPECT_EQ(Body(curl), "small");
    }
    // libcurl's own cap, set through the curl_off_t setter, is applied too.
    curl.JXLibCurlSetAdditionalOptionsOffValue(CURLOPT_MAXFILESIZE_LARGE, 1000);
    EXPECT_FALSE(Get(curl, Url(server, "/body")));
    EXPECT_THAT(curl.GetCurlErrorBuffer(), HasSubstr("Maximum file size exceeded"));
    // Init restores the default limits with every other default.
    curl.JXLibCurlInit("text/plain", false, false, nullptr);
    EXPECT_TRUE(Get(curl, Url(server, "/body")));
}

TEST(JXLibCurl, OnlyHttpExchangesWithAStatusSucceed) {
    TempDir dir;
    std::ofstream(dir.File("local")) << "local-content";
    TestServer server;
    server.SetResponder([&server](const httplib::Request& req, httplib::Response& res) {
        if (req.path == "/moved") {
            res.set_redirect(Url(server, "/elsewhere"));
        }
    });
    // An HTTP/0.9 peer: a body with no status line.
    RawServer peer([](int fd, int) {
        RawServer::ReadRequestHead(fd);
        RawServer::WriteText(fd, "no status line");
        RawServer::Hangup(fd);
    });
    JXLibCurl curl;
    curl.JXLibCurlInit("text/plain", false, false, nullptr);
    EXPECT_FALSE(Get(curl, "file://" + dir.File("local")));
    EXPECT_EQ(Body(curl), "");
    // A redirect followed at the caller's wish goes to https only.
    curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_FOLLOWLOCATION, 1);
    EXPECT_FALSE(Get(curl, Url(server, "/moved")));
    ASSERT_TRUE(curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_HTTP09_ALLOWED, 1));
    EXPECT_FALSE(Get(curl, "http://127.0.0.1:" + std::to_string(peer.Port()) + "/"));
    EXPECT_STREQ(curl.GetCurlErrorBuffer(), "the response carried no HTTP status");
}

TEST(JXLibCurl, SilentPeerIsAbandonedAndHandleStaysUsable) {
    TestServer server;  // declared first: it must outlive the client's keep-alive connection
    RawServer silent(NeverAnswer);
    JXLibCurl curl;
    curl.JXLibCurlInit("text/plain", false, false, nullptr);
    curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_LOW_SPEED_TIME, 1);
    const std::string url = "http://127.0.0.1:" + std::to_string(silent.Port()) + "/";
    EXPECT_FALSE(
        curl.JXLibCurlSendHttpReqLog(HTTP_REQ_GET, url.c_str(), nullptr, 0, false, false, nullptr));
    EXPECT_THAT(curl.GetCurlErrorBuffer(), HasSubstr("too slow"));
    EXPECT_EQ(curl.GetHttpErrorCode(), 0);

    EXPECT_TRUE(curl.JXLibCurlSendHttpReqLog(HTTP_REQ_GET, Url(server, "/").c_str(), nullptr, 0,
                                             false, false, nullptr));
}

// A client sets options before connect, whose init must not forget them; init's own word on
// verification still decides.
TEST(JXLibCurl, OptionsSetBeforeTheFirstInitSurviveEveryInit) {
    TempDir dir;
    TestServer unknownCa(MakeTestCertificates(dir.Path()));
    RawServer silent(NeverAnswer);
    JXLibCurl curl;
    // Long enough for a TLS handshake on a loaded machine or under a sanitizer, so only the
    // silent peer times out.
    ASSERT_TRUE(curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT_MS, 3000));
    ASSERT_TRUE(curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_SSL_VERIFYPEER, 0));
    curl.JXLibCurlSetResponseLimits(1, 4096);
    for (const bool skipVerify : {false, true}) {
        ASSERT_TRUE(curl.JXLibCurlInit("text/plain", skipVerify, false, nullptr));
        EXPECT_FALSE(Get(curl, "http://127.0.0.1:" + std::to_string(silent.Port()) + "/"));
        EXPECT_THAT(curl.GetCurlErrorBuffer(), HasSubstr("timed out"));
        EXPECT_FALSE(Get(curl, unknownCa.Url("/")));
        EXPECT_THAT(curl.GetCurlErrorBuffer(),
                    HasSubstr(skipVerify ? "body exceeds the limit of 1 bytes" : "certificate"));
    }
}

TEST(JXLibCurl, PeerResettingMidBodyIsAFailureNotASignal) {
    RawServer peer([](int fd, int) {  // reads the head, then resets the connection
        RawServer::ReadRequestHead(fd);
        RawServer::ResetOnClose(fd);
    });
    JXLibCurl curl;
    curl.JXLibCurlInit("application/octet-stream", false, false, nullptr);
    ASSERT_TRUE(curl.JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_NOSIGNAL, 1));
    const std::string body(16 << 20, 'b');  // far more than the socket buffers hold
    const std::string url = "http://127.0.0.1:" + std::to_string(peer.Port()) + "/upload";
    // SIGPIPE is at its default here: if libcurl let it through, the process would die.
    EXPECT_FALSE(curl.JXLibCurlSendHttpReqLog(HTTP_REQ_PUT, url.c_str(), body.data(), body.size(),
                                              false, false, nullptr));
    EXPECT_STRNE(curl.GetCurlErrorBuffer(), "");
}

// Byte by byte, so UTF-8 and a NUL survive; the output replaces whatever the string held.
TEST(JXLibCurl, UrlEscapeEncodesEveryByteButTheUnreservedOnes) {
    JXLibCurl curl;
    std::string out = "stale";
    EXPECT_TRUE(curl.JXLibCurlUrlEscape("a b&c/d=\xc3\xa9~_.-", out));
    EXPECT_EQ(out, "a%20b%26c%2Fd%3D%C3%A9~_.-");
    EXPECT_TRUE(curl.JXLibCurlUrlEscape(std::string("x\0y", 3), out));
    EXPECT_EQ(out, "x%00y");
    curl.JXLibCurlUrlEscape("", out);
    EXPECT_EQ(out, "");
}
