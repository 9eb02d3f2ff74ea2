// Peers that misbehave: every failure is false with the right Error lines, and the same
// connection object works for the next request.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "RawServer.h"
#include "RestLabels.h"
#include "TestServer.h"
#include "VSRestApiConnection.h"

using rest_labels::kLogError;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

class FaultClient : public CVSRestApiConnection {
public:
    explicit FaultClient(int port) {
        m_strContentType = "text/plain";
        m_nPort = static_cast<unsigned>(port);
    }
    bool Connect() {
        return connect("127.0.0.1", false, "") &&
               m_pCurl->JXLibCurlSetAdditionalOptionsIntValue(CURLOPT_LOW_SPEED_TIME, 1);
    }
};

// Answers every request on a connection with 200 "fine" until the client closes it.
void AnswerFine(int fd) {
    while (!RawServer::ReadRequestHead(fd).empty()) {
        RawServer::WriteText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nfine");
    }
}

}  // namespace

TEST(RestFault, BodyCutShortThenRecovers) {
    RawServer server([](int fd, int connection) {
        if (connection == 0) {
            RawServer::ReadRequestHead(fd);
            RawServer::WriteText(
                fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(100, 'p'));
            RawServer::Hangup(fd);  // the body stops at 100 of 1000 bytes
            return;
        }
        AnswerFine(fd);
    });
    LogCapture log;
    FaultClient client(server.Port());
    ASSERT_TRUE(client.Connect());
    std::string response;
    EXPECT_FALSE(client.post("upload", "data", response, nullptr));
    EXPECT_EQ(response, std::string(100, 'p')) << "what arrived is handed back";
    const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/upload";
    EXPECT_THAT(Messages(log.From(kLogError)),
                ElementsAre("Error: [transfer closed with 900 bytes remaining to read] [200]. "
                            "POST [" +
                                url + "]",
                            "  Req: [data]", "  Rsp: [" + std::string(100, 'p') + "]"));
    EXPECT_TRUE(client.get("again", response, nullptr));
    EXPECT_EQ(response, "fine");
}

TEST(RestFault, SilentPeerFailsWithinTheLowSpeedBoundThenRecovers) {
    RawServer server([](int fd, int connection) {
        if (connection == 0) {
            RawServer::ReadRequestHead(fd);
            RawServer::WaitForClose(fd);  // accepts, reads, never answers
            return;
        }
        AnswerFine(fd);
    });
    LogCapture log;
    FaultClient client(server.Port());
    ASSERT_TRUE(client.Connect());
    std::string response;
    EXPECT_FALSE(client.get("hang", response, nullptr));
    ASSERT_EQ(log.From(kLogError).size(), 1u);
    EXPECT_THAT(log.From(kLogError)[0].message, HasSubstr("Operation too slow"));
    EXPECT_TRUE(client.get("again", response, nullptr));
    EXPECT_EQ(response, "fine");
}

TEST(RestFault, ErrorStatusKeepsTheConnectionAlive) {
    TestServer server;
    server.SetResponder([](const httplib::Request& req, httplib::Response& res) {
        if (req.path == "/denied") {
            res.status = 401;
            res.set_content("{\"error\":\"token expired\"}", "application/json");
        } else {
            res.set_content("fine", "text/plain");
        }
    });
    LogCapture log;
    FaultClient client(server.Port());
    ASSERT_TRUE(client.Connect());
    std::string response;
    EXPECT_FALSE(client.get("denied", response, nullptr));
    EXPECT_EQ(response, "{\"error\":\"token expired\"}");
    EXPECT_THAT(Messages(log.From(kLogError)),
                ElementsAre(HasSubstr("Error: [HTTP error 401] [401]. GET [http://"),
                            "  Rsp: [{\"error\":\"token expired\"}]"));
    EXPECT_TRUE(client.get("ok", response, nullptr));
    EXPECT_EQ(response, "fine");
    EXPECT_EQ(server.ClientPorts().size(), 1u) << "an error status must not cost the socket";
}
