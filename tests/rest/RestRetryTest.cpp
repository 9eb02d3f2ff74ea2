// Retries: the policy's rules on their own, then whole requests against a scripted peer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>
#include <mutex>
#include <thread>

#include "LogCapture.h"
#include "RawServer.h"
#include "RestLabels.h"
#include "RetryPolicy.h"
#include "VSRestApiConnection.h"

namespace {

constexpr std::time_t kDate = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT

TEST(RetryPolicy, RetryAfterForms) {
    const struct {
        const char* value;
        bool ok;
        long waitMs;
    } rows[] = {
        // clang-format off
        {"2", true, 2000}, {"0", true, 0}, {"Sun, 06 Nov 1994 08:49:42 GMT", true, 5000},
        {"Sunday, 06-Nov-94 08:49:42 GMT", true, 5000}, {"Sun Nov  6 08:49:42 1994", true, 5000},
        {"Sun, 06 Nov 1994 08:49:30 GMT", true, 0} /* past: no wait */,
        {"99999999999999999999", true, 1000000000L * 1000}, {"", false, -1}, {"-1", false, -1},
        {"1.5", false, -1}, {"soon", false, -1}, {"Sun, 06 Nov 1994 08:49:42 UTC", false, -1},
        {"Sun, 06 Nvm 1994 08:49:42 GMT", false, -1}, {"Sun Nov 6 08:49:42 1994", false, -1},
        {"Sun, 06 Nov 1994 25:49:42 GMT", false, -1},
        // clang-format on
    };
    for (const auto& row : rows) {
        long waitMs = -1;
        EXPECT_EQ(vsrest::ParseRetryAfter(row.value, kDate, waitMs), row.ok) << row.value;
        EXPECT_EQ(waitMs, row.waitMs) << row.value;
    }
    const std::string block =
        "HTTP/1.1 301 Moved\r\nRetry-After: 9\r\n\r\nHTTP/1.1 503 Busy\r\nretry-after:  7 \r\n\r\n";
    EXPECT_EQ(vsrest::RetryAfterValue(block.data(), block.size()), "7");
    EXPECT_EQ(vsrest::RetryAfterValue(block.data(), 40), "9");
    const std::string later = block + "HTTP/1.1 503 Busy\r\n\r\n";
    EXPECT_EQ(vsrest::RetryAfterValue(later.data(), later.size()), "") << "not the last answer's";
}

TEST(RetryPolicy, BackoffAndDeadlines) {
    const long ceilings[] = {100, 200, 400, 800, 1000, 1000};
    for (int retry = 1; retry <= 6; ++retry) {
        EXPECT_EQ(vsrest::BackoffCeilingMs(100, 1000, retry), ceilings[retry - 1]) << retry;
    }
    EXPECT_EQ(vsrest::BackoffCeilingMs(100, 1000, 10000), 1000) << "no overflow";
    VSRestApiRetryPolicy policy;
    policy.nFirstDelayMs = 100;
    policy.nMaxDelayMs = 1000;
    EXPECT_EQ(vsrest::NextWaitMs(policy, 3, -1, -1, 0.0), 0);
    EXPECT_EQ(vsrest::NextWaitMs(policy, 3, -1, -1, 0.99999), 400);
    for (int i = 0; i < 200; ++i) {
        const long wait = vsrest::NextWaitMs(policy, 2, -1, -1, vsrest::JitterUnit());
        EXPECT_TRUE(wait >= 0 && wait <= 200) << wait;
    }
    EXPECT_EQ(vsrest::NextWaitMs(policy, 1, 30000, -1, 0.5), 1000) << "Retry-After capped";
    EXPECT_EQ(vsrest::NextWaitMs(policy, 1, 500, 550, 0.5), 500);
    EXPECT_EQ(vsrest::NextWaitMs(policy, 1, 500, 549, 0.5), -1) << "no time after the wait";
    policy.nMaxDelayMs = LONG_MAX;  // no cap: the draw's arithmetic must not overflow
    const long half = vsrest::NextWaitMs(policy, 64, -1, -1, 0.5);
    EXPECT_TRUE(half > LONG_MAX / 4 && half < LONG_MAX / 4 * 3) << half;
    EXPECT_EQ(vsrest::BackoffCeilingMs(0, LONG_MAX, INT_MAX), 0) << "no doubling of 0";
    EXPECT_EQ(vsrest::AttemptTimeoutMs(0, -1), 0);
    EXPECT_EQ(vsrest::AttemptTimeoutMs(3000, -1), 3000);
    EXPECT_EQ(vsrest::AttemptTimeoutMs(3000, 1200), 1200);
    EXPECT_EQ(vsrest::AttemptTimeoutMs(0, 0), 1) << "0 would mean no limit";
    EXPECT_TRUE(vsrest::IsRetriedOutcome(0, false));
    EXPECT_FALSE(vsrest::IsRetriedOutcome(0, true)) << "cut off after the answer began";
}

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
std::string Answer(int status, const std::string& lines = "") {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\n" + lines + "Content-Length: 0\r\n\r\n";
}
std::string InAnHour() {
    const std::time_t later = std::time(nullptr) + 3600;
    std::tm tm{};
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", gmtime_r(&later, &tm));
    return text;
}

class RetryClient : public CVSRestApiConnection {
public:
    explicit RetryClient(int port) {
        m_strContentType = "text/plain";
        m_nPort = static_cast<unsigned>(port);
        m_bUseLoginHeaders = true;
    }
    // A silent peer, were nothing else to end it, fails in 2 s with a text of its own.
    bool Connect() {
        return connect("127.0.0.1", false, "") &&
               m_pCurl->JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_LOW_SPEED_TIME, 2);
    }
    bool Send(HTTP_REQ_TYPE verb, const std::string& resource, std::string& response) {
        return sendReq(verb, resource, verb == HTTP_REQ_GET ? "" : "b", response, nullptr);
    }
    int nAttempts = 0;

protected:
    bool addLoginCurlHeaders() override {
        const std::string line = "X-Attempt: " + std::to_string(++nAttempts);
        return m_pCurl->JXLibCurlAppendHeader(HTTP_HDR_STANDARD, line.c_str());
    }
    bool isRepeatableRequest(HTTP_REQ_TYPE verb, const std::string& resource,
                             const VSRestApiRequestOptions* options) override {
        return resource == "marked" ||
               CVSRestApiConnection::isRepeatableRequest(verb, resource, options);
    }
};

std::vector<std::string> Starting(const std::vector<TqDebugRecord>& records, const char* start) {
    std::vector<std::string> lines;
    for (const auto& record : records) {
        if (record.message.rfind(start, 0) == 0) {
            lines.push_back(record.message);
        }
    }
    return lines;
}

// Answers each request with the script's next step (the last one repeats).
void Play(int fd, std::vector<std::string>& script, std::vector<std::string>& heads,
          std::mutex& mutex) {
    for (std::string head; !(head = RawServer::ReadRequestHead(fd)).empty();) {
        std::string step;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            heads.push_back(head);
            step = script[std::min(heads.size(), script.size()) - 1];
        }
        if (step == "reset") {
            return RawServer::ResetOnClose(fd);
        }
        if (step == "silent") {
            return RawServer::WaitForClose(fd);
        }
        if (step == "trickle") {  // 2 bytes every 50 ms: far above the stall abort's 1 byte/s
            RawServer::WriteText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
            for (int i = 0; i < 200 && RawServer::WriteText(fd, "tt"); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            return;
        }
        RawServer::WriteText(fd, step);
    }
}

// A loopback peer that plays a script and keeps each request's head.
class ScriptedPeer {
public:
    explicit ScriptedPeer(std::vector<std::string> script) : m_script(std::move(script)) {}
    int Port() const { return m_server.Port(); }
    std::vector<std::string> Heads() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_heads;
    }

private:
    std::vector<std::string> m_script;
    std::vector<std::string> m_heads;
    std::mutex m_mutex;
    RawServer m_server{[this](int fd, int) { Play(fd, m_script, m_heads, m_mutex); }};  // last
};

}  // namespace

TEST(RestRetry, Table) {
    const struct {
        const char* name;
        HTTP_REQ_TYPE verb;
        const char* resource;
        std::vector<std::string> script;
        int attempts;            // the policy's; 1: off
        long deadlineMs;         // the policy's
        long requestDeadlineMs;  // setRequestDeadline; -1: not called
        bool ok;
        long status;
        int requests;  // -1: not checked
        const char* retryLineHas;
        double minSeconds;
        const char* errorHas;
    } rows[] = {
        // clang-format off
        {"503 then 200", HTTP_REQ_GET, "r", {Answer(503), kOk}, 3, 20000, -1, true, 200, 2,
         "attempt 1 of 3 failed (HTTP error 503)", 0, ""},
        {"Retry-After seconds", HTTP_REQ_PUT, "r", {Answer(503, "Retry-After: 1\r\n"), kOk}, 3,
         20000, -1, true, 200, 2, "next attempt in 1000 ms", 0.9, ""},
        {"Retry-After date, capped", HTTP_REQ_DELETE, "r",
         {Answer(503, "Retry-After: " + InAnHour() + "\r\n"), kOk}, 3, 20000, -1, true, 200, 2,
         "next attempt in 1000 ms", 0.9, ""},
        {"429", HTTP_REQ_GET, "r", {Answer(429), kOk}, 3, 20000, -1, true, 200, 2, "", 0, ""},
        {"reset before the status line", HTTP_REQ_GET, "r", {"reset", kOk}, 3, 20000, -1, true,
         200, 2, "attempt 1 of 3 failed (", 0, ""},
        {"POST not marked", HTTP_REQ_POST, "r", {Answer(503), kOk}, 3, 20000, -1, false, 503, 1,
         nullptr, 0, "HTTP error 503"},
        {"POST marked", HTTP_REQ_POST, "marked", {Answer(502), Answer(504), kOk}, 3, 20000, -1,
         true, 200, 3, "", 0, ""},
        {"other 4xx", HTTP_REQ_GET, "r", {Answer(404), kOk}, 3, 20000, -1, false, 404, 1, nullptr,
         0, ""},
        {"500", HTTP_REQ_GET, "r", {Answer(500), kOk}, 3, 20000, -1, false, 500, 1, nullptr, 0, ""},
        {"attempts run out", HTTP_REQ_GET, "r", {Answer(503)}, 3, 20000, -1, false, 503, 3,
         "attempt 2 of 3 failed", 0, ""},
        {"policy off", HTTP_REQ_GET, "r", {Answer(503), kOk}, 1, 20000, -1, false, 503, 1,
         nullptr, 0, ""},
        {"deadline before Retry-After", HTTP_REQ_GET, "r",
         {Answer(503, "Retry-After: 1\r\n"), kOk}, 3, 500, -1, false, 503, 1, nullptr, 0, ""},
        {"deadline bounds an attempt", HTTP_REQ_GET, "r", {"silent", kOk}, 3, 500, -1, false, 0,
         -1, nullptr, 0, "timed out"},
        {"request deadline ends a trickle", HTTP_REQ_GET, "r", {"trickle"}, 1, 0, 300, false, 200,
         1, nullptr, 0, "timed out"},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
#ifdef VSTEST_PLATFORM_PACKAGE
        // Retry-After is read from the transport's header block, which a platform need not keep
        // (the contract platform keeps none): the backoff applies there instead.
        if (std::any_of(row.script.begin(), row.script.end(), [](const std::string& step) {
                return step.find("Retry-After") != std::string::npos;
            })) {
            continue;
        }
#endif
        ScriptedPeer peer(row.script);
        RetryClient client(peer.Port());
        ASSERT_TRUE(client.Connect());
        VSRestApiRetryPolicy policy;
        policy.nMaxAttempts = row.attempts;
        policy.nFirstDelayMs = 0;  // no wait unless the server asks for one
        policy.nMaxDelayMs = 1000;
        policy.nDeadlineMs = row.deadlineMs;
        client.setRetryPolicy(policy);
        if (row.requestDeadlineMs >= 0) {
            client.setRequestDeadline(row.requestDeadlineMs);
        }
        LogCapture log;
        std::string response;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(client.Send(row.verb, row.resource, response), row.ok);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took.count(), row.minSeconds);
        EXPECT_LT(took.count(), 10.0);
        EXPECT_EQ(client.getLastHttpStatus(), row.status);
        EXPECT_NE(client.getLastCurlError().find(row.errorHas), std::string::npos);
        if (row.ok) {
            EXPECT_EQ(response, "ok");
        }
        const std::vector<std::string> retries =
            Starting(log.From(rest_labels::kSendReq), "Retrying ");
        const std::vector<std::string> heads = peer.Heads();
        if (row.requests >= 0) {
            EXPECT_EQ(heads.size(), static_cast<size_t>(row.requests));
            EXPECT_EQ(retries.size(), static_cast<size_t>(row.requests - 1));
        }
        if (row.retryLineHas != nullptr) {
            ASSERT_FALSE(retries.empty());
            EXPECT_NE(retries.back().find(row.retryLineHas), std::string::npos) << retries.back();
        }
        for (size_t i = 0; i < heads.size(); ++i) {  // the header hooks ran for each attempt
            EXPECT_NE(heads[i].find("X-Attempt: " + std::to_string(i + 1)), std::string::npos);
        }
        EXPECT_EQ(Starting(log.From(rest_labels::kLogError), "Error: [").size(), row.ok ? 0u : 1u)
            << "LogError once, after the last attempt";
    }
}

// cancel() from another thread, once the peer has the request: it ends an exchange the peer
// never answers and a wait the peer asked for; requests fail at once, sending nothing, until
// resetCancel(), and the next one is served. Were the cancel lost, the silent peer would fail
// on its own in 2 s and be retried into a success, and the wait would last 30 s.
TEST(RestRetry, CancelFromAnotherThread) {
    const std::string kCancelled = "the request was cancelled";
    for (const std::string& first : {std::string("silent"), Answer(503, "Retry-After: 30\r\n")}) {
        SCOPED_TRACE(first);
#ifdef VSTEST_PLATFORM_PACKAGE
        if (first != "silent") {
            continue;  // a platform that keeps no header block waits the backoff, not Retry-After
        }
#endif
        ScriptedPeer peer({first, kOk});
        RetryClient client(peer.Port());
        ASSERT_TRUE(client.Connect());
        VSRestApiRetryPolicy policy;
        policy.nMaxAttempts = 2;
        policy.nMaxDelayMs = 60000;
        client.setRetryPolicy(policy);
        LogCapture log;
        std::thread canceller([&] {
            for (int i = 0; i < 1000 && peer.Heads().empty(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            client.cancel();
        });
        std::string response;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(client.Send(HTTP_REQ_GET, "r", response));
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        canceller.join();
        EXPECT_LT(took.count(), first == "silent" ? 5.0 : 10.0);
        EXPECT_EQ(client.getLastCurlError(), kCancelled);
        EXPECT_TRUE(response.empty());
        EXPECT_EQ(
            Starting(log.From(rest_labels::kLogError), ("Error: [" + kCancelled).c_str()).size(),
            1u);
        EXPECT_FALSE(client.Send(HTTP_REQ_GET, "r", response)) << "refused until the reset";
        EXPECT_EQ(client.getLastCurlError(), kCancelled);
        client.resetCancel();
        EXPECT_TRUE(client.Send(HTTP_REQ_GET, "r", response)) << client.getLastCurlError();
        EXPECT_EQ(response, "ok");
        EXPECT_EQ(peer.Heads().size(), 2u) << "the refused request sent nothing";
    }
}
