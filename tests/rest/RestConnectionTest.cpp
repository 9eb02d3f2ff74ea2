#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <locale>
#include <string>

#include "FakeTransport.h"
#include "LogCapture.h"
#include "RestLabels.h"
#include "TempDir.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using namespace rest_labels;

namespace {

class RestConnection : public ::testing::Test {
protected:
    // connect checks only that a CA file can be read; the fake transport reads nothing.
    RestConnection() { std::ofstream(caFile) << "CA"; }

    TempDir tmp;
    const std::string caFile = tmp.File("ca.pem");
    LogCapture log;
    RecordingConnection conn;

    void Connect() {
        ASSERT_TRUE(conn.connect("host", false, ""));
        conn.events.clear();
        log.Clear();
    }
};

}  // namespace

TEST_F(RestConnection, HookOrderWithoutLoginHeaders) {
    Connect();
    std::string response;
    ASSERT_TRUE(conn.post("vms", "body", response, nullptr));
    EXPECT_EQ(response, "resp");
    EXPECT_THAT(conn.events,
                ElementsAre("computeUrl", "FreeHeaders", "addCurlHeaders", "addCommonCurlHeaders",
                            "Append 0 Accept-Language: en_US", "Append 0 User-Agent: curl/7.32.0",
                            "LogRequest", "Send POST http://host/vms", "recvResp", "LogResponse"));
}

TEST_F(RestConnection, HookOrderWithLoginHeaders) {
    conn.UseLoginHeaders(true);
    Connect();
    std::string response;
    ASSERT_TRUE(conn.get("vms", response, nullptr));
    EXPECT_THAT(conn.events,
                ElementsAre("computeUrl", "FreeHeaders", "addCurlHeaders", "addCommonCurlHeaders",
                            "Append 0 Accept-Language: en_US", "Append 0 User-Agent: curl/7.32.0",
                            "addLoginCurlHeaders", "LogRequest", "Send GET http://host/vms",
                            "recvResp", "saveLoginCurlHeaders", "LogResponse"));

    // A failed send skips saving the login headers and logs the failure instead.
    conn.events.clear();
    conn.Curl().sendResult = false;
    EXPECT_FALSE(conn.del("vms/1", "", response, nullptr));
    EXPECT_THAT(conn.events,
                ElementsAre("computeUrl", "FreeHeaders", "addCurlHeaders", "addCommonCurlHeaders",
                            "Append 0 Accept-Language: en_US", "Append 0 User-Agent: curl/7.32.0",
                            "addLoginCurlHeaders", "LogRequest", "Send DELETE http://host/vms/1",
                            "recvResp", "LogError response=resp"));
}

TEST_F(RestConnection, RequestBeforeConnectSendsNothing) {
    std::string response = "untouched";
    EXPECT_FALSE(conn.put("vms", "b", response, nullptr));
    EXPECT_EQ(response, "untouched");
    EXPECT_THAT(conn.events, IsEmpty());
    const auto records = log.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, TqDebugRecord::Error);
    EXPECT_EQ(records[0].function, kSendReq);
    EXPECT_EQ(records[0].message,
              "Error:Connect module has to be called before making any queries.");
    EXPECT_EQ(conn.getLastCurlError(), "not connected: call connect() first");
    EXPECT_EQ(conn.getLastHttpStatus(), 0);
}

TEST_F(RestConnection, ConnectFailuresEachWriteOneLine) {
    struct Case {
        const char* name;
        std::function<void(RecordingConnection&)> arrange;
        std::string caFile;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"no content type", [](RecordingConnection& c) { c.SetContentType(""); }, "",
         "Content type is not set"},
        {"init", [](RecordingConnection& c) { c.Curl().initResult = false; }, "",
         "Failed to Initialize Curl Library"},
        {"nosignal", [](RecordingConnection& c) { c.Curl().noSignalResult = false; }, "",
         "Failed to set curl option:[CURLOPT_NOSIGNAL]"},
        {"cainfo", [](RecordingConnection& c) { c.Curl().caInfoResult = false; }, caFile,
         "Failed to set curl option CURLOPT_CAINFO :[" + caFile + "]"},
        // The transport policy is the library's: a transport that cannot take it fails connect.
        {"tls floor", [](RecordingConnection& c) { c.Curl().refusedOption = "SSLVERSION"; }, "",
         "Failed to set curl option:[CURLOPT_SSLVERSION]"},
        {"protocols", [](RecordingConnection& c) { c.Curl().refusedOption = "PROTOCOLS_STR"; }, "",
         "Failed to set curl option:[CURLOPT_PROTOCOLS_STR]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture capture;
        RecordingConnection fresh;
        c.arrange(fresh);
        EXPECT_FALSE(fresh.connect("host", false, c.caFile));
        EXPECT_FALSE(fresh.Connected());
        const auto records = capture.Records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].kind, TqDebugRecord::Error);
        EXPECT_EQ(records[0].function, kConnect);
        EXPECT_EQ(records[0].message, c.message);
        EXPECT_EQ(fresh.getLastCurlError(), c.message);
    }
}

TEST_F(RestConnection, ConnectStepsAndCaOption) {
    conn.SetContentType("");
    EXPECT_FALSE(conn.connect("host", false, ""));
    EXPECT_THAT(conn.events, IsEmpty()) << "the transport must not be touched";
    log.Clear();

    conn.SetContentType("application/xml");
    ASSERT_TRUE(conn.connect("host", false, caFile));
    // The policy follows the no-signal option at every connect, whatever the transport's own
    // defaults: TLS 1.2 or later, the timeouts, http and https only, redirects to https only.
    const std::vector<std::string> policy = {
        "IntOption SSLVERSION=" + std::to_string(CURL_SSLVERSION_TLSv1_2),
        "IntOption CONNECTTIMEOUT=30",
        "IntOption LOW_SPEED_LIMIT=1",
        "IntOption LOW_SPEED_TIME=60",
        "IntOption TIMEOUT_MS=600000",
        "StringOption PROTOCOLS_STR=http,https",
        "StringOption REDIR_PROTOCOLS_STR=https",
        "StringOption ACCEPT_ENCODING="};
    auto steps = [&policy](const char* init, std::vector<std::string> after) {
        std::vector<std::string> all = {init, "IntOption NOSIGNAL=1"};
        all.insert(all.end(), policy.begin(), policy.end());
        all.insert(all.end(), after.begin(), after.end());
        return all;
    };
    EXPECT_EQ(conn.events, steps("Init application/xml verify", {"StringOption CAINFO=" + caFile}));
    conn.events.clear();
    ASSERT_TRUE(conn.connect("host", true, "/nonexistent"));  // skipping ignores the file
    EXPECT_EQ(conn.events, steps("Init application/xml skip", {}));
    conn.events.clear();
    ASSERT_TRUE(conn.connect("host", false, ""));  // no file, no option
    EXPECT_EQ(conn.events, steps("Init application/xml verify", {}));
    EXPECT_THAT(log.Records(), IsEmpty());
    conn.Curl().refusedOption = "ACCEPT_ENCODING";  // compression is a saving: still connects
    EXPECT_TRUE(conn.connect("host", false, ""));
    // A connect timeout set before connect follows the policy; set after it, it goes out before
    // the next request; in whole seconds, rounded up, where milliseconds are refused.
    conn.setConnectTimeout(1500);
    conn.events.clear();
    ASSERT_TRUE(conn.connect("host", false, ""));
    EXPECT_EQ(conn.events,
              steps("Init application/xml verify", {"IntOption CONNECTTIMEOUT_MS=1500"}));
    conn.Curl().refusedOption = "CONNECTTIMEOUT_MS";
    conn.setConnectTimeout(2500);
    conn.events.clear();
    std::string response;
    ASSERT_TRUE(conn.get("r", response, nullptr));
    EXPECT_EQ(conn.events.front(), "IntOption CONNECTTIMEOUT_MS=2500");
    EXPECT_EQ(conn.events[1], "IntOption CONNECTTIMEOUT=3");
    conn.events.clear();
    ASSERT_TRUE(conn.get("r", response, nullptr));
    EXPECT_NE(conn.events.front().rfind("IntOption CONNECTTIMEOUT", 0), 0u)
        << "once, not each time";
}

TEST_F(RestConnection, FailedReconnectKeepsOnlyAnUntouchedTransport) {
    // Without a content type the transport is never touched: the earlier set-up still holds.
    ASSERT_TRUE(conn.connect("first", false, ""));
    conn.SetContentType("");
    EXPECT_FALSE(conn.connect("second", false, ""));
    EXPECT_TRUE(conn.Connected());
    std::string response;
    EXPECT_TRUE(conn.get("x", response, nullptr));
    EXPECT_EQ(conn.Curl().lastUrl, "http://first/x");

    // So does a server text that is not a host (with its port) or a CA file that cannot be
    // read: the Error line and getLastCurlError() say why.
    conn.SetContentType("application/json");
    conn.SetUrlParts(false, 8080, "");
    std::ofstream(tmp.File("empty.pem")).close();
    const struct {
        std::string server;
        std::string caFile;
        std::string reason;
    } refusals[] = {
        {"http://127.0.0.1", "", "Server [http://127.0.0.1] refused: it holds a scheme"},
        {"second/api", "", "it holds a path"},
        {"second\\api", "", "it holds a path"},
        {"sec ond", "", "a blank or a control character"},
        {"second\r\nX: 1", "", "[second\\x0d\\x0aX: 1] refused: it holds a blank or a control"},
        {"", "", "it is empty"},
        {"second?a", "", "a query, a fragment or user information"},
        {"second#a", "", "a query, a fragment or user information"},
        {"http://u:pw@second", "", "Server [***@second] refused: it holds a scheme"},
        {"u:pw@second", "", "Server [***@second] refused: it holds a query, a fragment or user"},
        {"::1", "", "goes whole in brackets"},
        {"[::1", "", "goes whole in brackets"},
        {"[second]", "", "goes whole in brackets"},
        {"a]b", "", "goes whole in brackets"},
        {"fe80::1", "", "not \":\" and a port number"},
        {"second:", "", "port number"},
        {"second:0", "", "port number"},
        {"second:65536", "", "port number"},
        {"second:8443", "", "it names a port, and so does m_nPort"},
        // Only a host name, an IPv4 address or a bracketed IPv6 address is a host.
        {"a,b", "", "it is not a host name"},
        {"a;b", "", "it is not a host name"},
        {"a%2fb", "", "it is not a host name"},
        {"a\"b<c>d=e&f{g}h|i'j(k)l$m", "", "it is not a host name"},
        {"..", "", "it is not a host name"},
        {"-", "", "it is not a host name"},
        {"a-.example", "", "it is not a host name"},
        {"%00", "", "it is not a host name"},
        {"\xff\xfe", "", "it is not a host name"},
        {"999.1.1.1", "", "it is not a host name"},
        {"[::1%25]", "", "goes whole in brackets"},
        {"[1.2.3.4]", "", "goes whole in brackets"},
        {"a.b:99999", "", "port number"},
        {"second", "/nonexistent/ca.pem",
         "CA file [/nonexistent/ca.pem] cannot be read: No such file or directory"},
        {"second", tmp.Path(), "cannot be read: not a regular file"},
        {"second", tmp.File("empty.pem"), "cannot be read: empty"},
    };
    // A base path without its leading "/" would join the host name.
    const auto refuseBase = [&](const std::string& base, const std::string& reason) {
        conn.SetUrlParts(false, 8080, base);
        LogCapture capture;
        EXPECT_FALSE(conn.connect("second", false, "")) << base;
        ASSERT_EQ(capture.Errors().size(), 1u);
        EXPECT_EQ(capture.Errors()[0].message, "Base path [" + base + "] refused: " + reason);
    };
    refuseBase(".attacker.example/api", "it does not start with \"/\"");
    refuseBase("api/v1", "it does not start with \"/\"");
    refuseBase("/api v1", "it holds a blank or a control character");
    conn.SetUrlParts(false, 8080, "");
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.server + " " + r.caFile);
        LogCapture capture;
        conn.events.clear();
        EXPECT_FALSE(conn.connect(r.server, false, r.caFile));
        EXPECT_THAT(conn.events, IsEmpty()) << "the transport must not be touched";
        EXPECT_TRUE(conn.Connected());
        EXPECT_EQ(conn.Server(), "first");
        ASSERT_EQ(capture.Errors().size(), 1u);
        EXPECT_EQ(capture.Errors()[0].function, kConnect);
        EXPECT_THAT(capture.Errors()[0].message, HasSubstr(r.reason));
        EXPECT_EQ(conn.getLastCurlError(), capture.Errors()[0].message);
        EXPECT_EQ(conn.getLastHttpStatus(), 0);
    }
    EXPECT_TRUE(conn.get("x", response, nullptr));
    EXPECT_EQ(conn.Curl().lastUrl, "http://first:8080/x");
    // What a URL's authority holds still connects, written as given.
    conn.SetUrlParts(false, 0, "");
    for (const std::string server : {"[::1]", "[fe80::1%25eth0]:8443", "second:8443", "10.0.0.2",
                                     "b\xC3\xBC"
                                     "cher.example",
                                     "host_1.example"}) {
        ASSERT_TRUE(conn.connect(server, false, caFile)) << server;
        ASSERT_TRUE(conn.get("x", response, nullptr));
        EXPECT_EQ(conn.Curl().lastUrl, "http://" + server + "/x");
    }

    // Once the transport was re-initialised its earlier CA file and TLS settings are gone, so
    // the connection must not go on as if they held.
    const std::vector<std::function<void(FakeCurl&)>> failures = {
        [](FakeCurl& c) { c.initResult = false; },
        [](FakeCurl& c) { c.noSignalResult = false; },
        [](FakeCurl& c) { c.caInfoResult = false; },
    };
    for (size_t i = 0; i < failures.size(); ++i) {
        SCOPED_TRACE(i);
        RecordingConnection fresh;
        ASSERT_TRUE(fresh.connect("first", false, caFile));
        ASSERT_TRUE(fresh.get("x", response, nullptr));
        failures[i](fresh.Curl());
        EXPECT_FALSE(fresh.connect("second", false, caFile));
        EXPECT_FALSE(fresh.Connected());
        LogCapture capture;
        response = "untouched";
        EXPECT_FALSE(fresh.get("x", response, nullptr));
        EXPECT_EQ(response, "untouched");
        ASSERT_EQ(capture.Records().size(), 1u);
        EXPECT_EQ(capture.Records()[0].message,
                  "Error:Connect module has to be called before making any queries.");
        EXPECT_EQ(fresh.getLastCurlError(), "not connected: call connect() first");
        EXPECT_EQ(fresh.getLastHttpStatus(), 0) << "no answer came back";
    }
}

TEST_F(RestConnection, ComposesUrls) {
    struct Case {
        bool https;
        unsigned port;
        std::string base;
        std::string resource;
        std::string url;
    };
    const std::vector<Case> cases = {
        {false, 0, "", "vms", "http://host/vms"},
        {true, 443, "", "vms", "https://host:443/vms"},
        {false, 8080, "/api/v1", "vms?x=1", "http://host:8080/api/v1/vms?x=1"},
        {false, 0, "", "/vms", "http://host/vms"},
        {false, 0, "/api", "", "http://host/api/"},
        {false, 0, "api", "vms", "http://hostapi/vms"},
        {false, 0, "/api/", "/vms", "http://host/api//vms"},
        // A base path ending in "/" takes no second one before a resource without it.
        {false, 0, "/", "vms", "http://host/vms"},
        {false, 0, "/api/", "vms", "http://host/api/vms"},
        {false, 0, "/", "", "http://host/"},
        {false, 0, "", "a b%20", "http://host/a b%20"},
    };
    Connect();
    for (const auto& c : cases) {
        conn.SetUrlParts(c.https, c.port, c.base);
        std::string response;
        ASSERT_TRUE(conn.get(c.resource, response, nullptr));
        EXPECT_EQ(conn.Curl().lastUrl, c.url);
    }
    const auto lines = log.From(kComputeUrl);
    ASSERT_EQ(lines.size(), cases.size());
    EXPECT_EQ(lines[0].level, 2);
    EXPECT_EQ(lines[0].message, "Computed URL [http://host/vms]");
}

// A host program may install a global locale that groups digits; the port must still be
// written as plain decimal digits.
TEST_F(RestConnection, PortIgnoresTheGlobalLocalesDigitGrouping) {
    struct Grouping : std::numpunct<char> {
        char do_thousands_sep() const override { return ','; }
        std::string do_grouping() const override { return "\3"; }
    };
    const std::locale previous =
        std::locale::global(std::locale(std::locale::classic(), new Grouping));
    Connect();
    conn.SetUrlParts(false, 8443, "/api");
    std::string response;
    const bool sent = conn.get("vms", response, nullptr);
    std::locale::global(previous);
    ASSERT_TRUE(sent);
    EXPECT_EQ(conn.Curl().lastUrl, "http://host:8443/api/vms");
}

TEST_F(RestConnection, VerbsAndBodiesReachTheTransport) {
    Connect();
    std::string response;
    const std::string binary("a\0b", 3);
    ASSERT_TRUE(conn.put("r", binary, response, nullptr));
    EXPECT_EQ(conn.Curl().lastVerb, HTTP_REQ_PUT);
    EXPECT_EQ(conn.Curl().lastBody, binary);
    ASSERT_TRUE(conn.get("r", response, nullptr));
    EXPECT_EQ(conn.Curl().lastVerb, HTTP_REQ_GET);
    EXPECT_EQ(conn.Curl().lastBody, "");
    ASSERT_TRUE(conn.del("r", "gone", response, nullptr));
    EXPECT_EQ(conn.Curl().lastVerb, HTTP_REQ_DELETE);
    EXPECT_EQ(conn.Curl().lastBody, "gone");
    // PATCH and HEAD: a POST and a GET with the method set right around the send only.
    const auto around = [&](const char* on, const char* send, const char* off) {
        const auto at = std::find(conn.events.begin(), conn.events.end(), send);
        return at != conn.events.begin() && at + 1 != conn.events.end() && *(at - 1) == on &&
               *(at + 1) == off;
    };
    conn.events.clear();
    ASSERT_TRUE(conn.patch("r", "p", response, nullptr));
    EXPECT_EQ(conn.Curl().lastBody, "p");
    EXPECT_TRUE(around("StringOption CUSTOMREQUEST=PATCH", "Send POST http://host/r",
                       "StringOption CUSTOMREQUEST="));
    conn.events.clear();
    ASSERT_TRUE(conn.head("r", nullptr));
    EXPECT_TRUE(around("IntOption NOBODY=1", "Send GET http://host/r", "IntOption NOBODY=0"));
    conn.Curl().refusedOption = "CUSTOMREQUEST";
    conn.events.clear();
    EXPECT_FALSE(conn.patch("r", "p", response, nullptr));
    EXPECT_EQ(conn.getLastCurlError(),
              "the transport refused CURLOPT_CUSTOMREQUEST: PATCH cannot be sent");
    EXPECT_EQ(std::count_if(conn.events.begin(), conn.events.end(),
                            [](const std::string& e) { return e.rfind("Send ", 0) == 0; }),
              0);
}

TEST_F(RestConnection, FailedHeaderAppendIsLoggedAndRequestStillSent) {
    Connect();
    conn.Curl().failAppendNumber = 1;
    std::string response;
    EXPECT_TRUE(conn.post("x", "b", response, nullptr));
    EXPECT_EQ(conn.Curl().appendCalls, 1) << "no User-Agent after a failed Accept-Language";
    EXPECT_EQ(conn.Curl().lastUrl, "http://host/x");
    auto errors = log.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].function, kCommon);
    EXPECT_EQ(errors[0].message, "Failed to set CURL Accept-Language header");

    log.Clear();
    conn.Curl().appendCalls = 0;
    conn.Curl().failAppendNumber = 2;
    EXPECT_TRUE(conn.post("x", "b", response, nullptr));
    EXPECT_THAT(Messages(log.Errors()), ElementsAre("Failed to set CURL UserAgent header"));
}

TEST_F(RestConnection, ExchangeLinesAndLevels) {
    Connect();
    std::string response;
    conn.Curl().response = "<ok/>";
    ASSERT_TRUE(conn.post("vms", "<vm/>", response, nullptr));
    conn.Curl().response = "";
    ASSERT_TRUE(conn.get("vms", response, nullptr));

    auto requests = log.From(kLogRequest);
    ASSERT_EQ(requests.size(), 1u) << "a GET writes no request line";
    EXPECT_EQ(requests[0].kind, TqDebugRecord::Debug);
    EXPECT_EQ(requests[0].level, 2);
    EXPECT_EQ(requests[0].message, "Request to POST [http://host/vms]:\n<vm/> ");
    auto responses = log.From(kLogResponse);
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_EQ(responses[0].level, 2);
    EXPECT_EQ(responses[0].message, "Response from POST [http://host/vms]:\n<ok/> ");
    EXPECT_EQ(responses[1].message, "Response from GET [http://host/vms]:\n ");
    // Last, the timings, which a transport that carried no exchange itself does not know.
    EXPECT_EQ(log.Records().back().function + " " + std::to_string(log.Records().back().level),
              std::string(kSendReq) + " 2");
    EXPECT_EQ(log.Records().back().message, "timings GET http://host/vms: unknown");
    EXPECT_FALSE(conn.getLastTimings().bKnown);

    log.Clear();
    conn.enableDebug();
    ASSERT_TRUE(conn.put("vms", "p", response, nullptr));
    ASSERT_EQ(log.From(kLogRequest).size(), 1u);
    EXPECT_EQ(log.From(kLogRequest)[0].level, 0);
    ASSERT_EQ(log.From(kLogResponse).size(), 1u);
    EXPECT_EQ(log.From(kLogResponse)[0].level, 0);
    EXPECT_EQ(log.Records().back().level, 2)
        << "the timings stay at 2, as the connection's other lines";
    ASSERT_EQ(log.From(kComputeUrl).size(), 1u);
    EXPECT_EQ(log.From(kComputeUrl)[0].level, 2) << "only the exchange lines move to level 0";
    EXPECT_THAT(log.Errors(), IsEmpty());
}

TEST_F(RestConnection, FailureLinesForEmptyAndNonEmptyBodies) {
    Connect();
    conn.Curl().sendResult = false;
    conn.Curl().errorText = "boom";
    conn.Curl().httpCode = 503;
    conn.Curl().response = "";
    std::string response = "stale";
    EXPECT_FALSE(conn.get("vms", response, nullptr));
    EXPECT_EQ(response, "");
    EXPECT_THAT(Messages(log.From(kLogError)),
                ElementsAre("Error: [boom] [503]. GET [http://host/vms]"));

    log.Clear();
    conn.Curl().response = "busy";
    EXPECT_FALSE(conn.post("vms", "req", response, nullptr));
    EXPECT_EQ(response, "busy") << "the response is read before the failure is logged";
    EXPECT_THAT(Messages(log.From(kLogError)),
                ElementsAre("Error: [boom] [503]. POST [http://host/vms]", "  Req: [req]",
                            "  Rsp: [busy]"));
    for (const auto& r : log.Records()) {
        EXPECT_NE(r.function, kLogResponse) << "a failed exchange writes no response line";
    }

    log.Clear();
    conn.Curl().errorText = "";
    conn.Curl().httpCode = 0;
    conn.Curl().response = "";
    conn.enableDebug();
    EXPECT_FALSE(conn.put("vms", "", response, nullptr));
    EXPECT_THAT(Messages(log.From(kLogError)), ElementsAre("Error: [] [0]. PUT [http://host/vms]"));
}

// The library's rule, not the transport's: a send that reports a completed exchange is a
// success only with a status below 400, and the reason is the transport's text or the status.
TEST_F(RestConnection, OnlyAStatusBelow400IsASuccessWhateverTheSendSays) {
    Connect();
    struct Case {
        int64_t status;
        const char* error;
        bool ok;
        const char* reason;
    };
    for (const Case& c :
         {Case{404, "", false, "HTTP error 404"},
          Case{503, "gateway said no", false, "gateway said no"},
          Case{0, "", false, "the response carried no HTTP status"}, Case{204, "", true, ""}}) {
        SCOPED_TRACE(c.status);
        log.Clear();
        conn.Curl().sendResult = true;
        conn.Curl().httpCode = c.status;
        conn.Curl().errorText = c.error;
        conn.Curl().response = "";
        std::string response;
        EXPECT_EQ(conn.get("vms", response, nullptr), c.ok);
        EXPECT_EQ(conn.getLastCurlError(), c.reason);
        EXPECT_EQ(conn.getLastHttpStatus(), c.status);
        EXPECT_EQ(log.From(kLogError).size(), c.ok ? 0u : 1u);
    }
}

TEST_F(RestConnection, SecretRequestsShowOnlyTheLengthsOfTheirBodies) {
    Connect();
    conn.enableDebug();
    conn.secretResource = "session";
    std::string response;
    conn.Curl().response = "tok-123";
    ASSERT_TRUE(conn.post("session", "user=a&pw=b", response, nullptr));
    EXPECT_EQ(response, "tok-123") << "only the log is spared the body";
    conn.Curl().sendResult = false;
    EXPECT_FALSE(conn.post("session", "abc", response, nullptr));
    conn.Curl().sendResult = true;
    ASSERT_TRUE(conn.post("vms", "open", response, nullptr));

    std::vector<std::string> lines;
    for (const auto& r : log.Records()) {
        if (r.function == kLogRequest || r.function == kLogResponse || r.function == kLogError) {
            lines.push_back(r.message);
        }
    }
    EXPECT_THAT(lines, ElementsAre("Request to POST [http://host/session]:\n[11 bytes withheld] ",
                                   "Response from POST [http://host/session]:\n[7 bytes withheld] ",
                                   "Request to POST [http://host/session]:\n[3 bytes withheld] ",
                                   "Error: [] [200]. POST [http://host/session]",
                                   "  Req: [[3 bytes withheld]]", "  Rsp: [[7 bytes withheld]]",
                                   "Request to POST [http://host/vms]:\nopen ",
                                   "Response from POST [http://host/vms]:\ntok-123 "));
}

TEST_F(RestConnection, ResponseBytesAreCopiedExactly) {
    Connect();
    std::string response = "old";
    conn.Curl().response = std::string("x\0y\xff", 4);
    ASSERT_TRUE(conn.get("r", response, nullptr));
    EXPECT_EQ(response, std::string("x\0y\xff", 4));
    conn.Curl().hasResponse = false;
    ASSERT_TRUE(conn.get("r", response, nullptr));
    EXPECT_EQ(response, "") << "no body replaces whatever the string held";
}
