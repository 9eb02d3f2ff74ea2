// A client's whole job against a small REST API on the loopback server: a collection of VMs with
// paging (the total in X-Total-Count), a filter, create, change, replace, delete, a lookup that
// may find nothing, and the lines a person reads of it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HeaderBlock.h"
#include "LogCapture.h"
#include "RestLabels.h"
#include "TestServer.h"
#include "VSRestApiConnection.h"
#include "json_spirit/json_spirit_reader.h"
#include "json_spirit/json_spirit_writer.h"

using ::testing::HasSubstr;

namespace {

// The VMs by id, served as JSON: GET /vms (?name_like, _page, _limit), GET, PUT, PATCH and
// DELETE /vms/<id>, POST /vms; a missing id is 404. /slow answers after three seconds.
class VmApi {
public:
    VmApi() {
        m_server.SetResponder([this](const httplib::Request& req, httplib::Response& res) {
            const std::lock_guard<std::mutex> lock(m_mutex);
            Serve(req, res);
        });
    }
    int Port() const { return m_server.Port(); }
    std::vector<ReceivedRequest> Requests() const { return m_server.Requests(); }

private:
    void Serve(const httplib::Request& req, httplib::Response& res) {
        if (req.path == "/slow") {
            std::this_thread::sleep_for(std::chrono::seconds(3));
            return res.set_content("late", "text/plain");
        }
        if (req.path == "/vms") {
            return req.method == "POST" ? Store(m_nNext++, req.body, res) : List(req, res);
        }
        const int id = std::atoi(req.path.c_str() + 5);  // "/vms/<id>"
        if (m_vms.count(id) == 0) {
            res.status = 404;
            return res.set_content("{}", "application/json");
        }
        if (req.method == "DELETE") {
            m_vms.erase(id);
        } else if (req.method == "PUT" || req.method == "PATCH") {
            Store(id, req.body, res);
        } else {
            res.set_content(json_spirit::write(m_vms[id]), "application/json");
        }
    }
    void Store(int id, const std::string& body, httplib::Response& res) {
        json_spirit::mValue value;
        if (!json_spirit::read(body, value) || value.type() != json_spirit::obj_type) {
            res.status = 400;
            return;
        }
        json_spirit::mObject& vm = m_vms[id].type() == json_spirit::obj_type
                                       ? m_vms[id].get_obj()
                                       : (m_vms[id] = json_spirit::mObject()).get_obj();
        for (const auto& [name, field] : value.get_obj()) {
            vm[name] = field;  // PATCH merges; PUT of a whole record replaces every field
        }
        vm["id"] = id;
        res.status = 201;
        res.set_content(json_spirit::write(m_vms[id]), "application/json");
    }
    void List(const httplib::Request& req, httplib::Response& res) {
        const std::string like = req.get_param_value("name_like");
        json_spirit::mArray all;
        for (const auto& [id, vm] : m_vms) {
            if (vm.get_obj().at("name").get_str().find(like) != std::string::npos) {
                all.push_back(vm);
            }
        }
        const size_t page = std::stoul(req.has_param("_page") ? req.get_param_value("_page") : "1");
        const size_t limit =
            std::stoul(req.has_param("_limit") ? req.get_param_value("_limit") : "99");
        json_spirit::mArray shown;
        for (size_t i = (page - 1) * limit; i < all.size() && shown.size() < limit; ++i) {
            shown.push_back(all[i]);
        }
        res.set_header("X-Total-Count", std::to_string(all.size()));
        res.set_content(json_spirit::write(shown), "application/json");
    }

    std::mutex m_mutex;
    std::map<int, json_spirit::mValue> m_vms;
    int m_nNext = 1;
    TestServer m_server;  // last: its thread stops before the records go
};

class VmClient : public CVSRestApiConnection {
public:
    explicit VmClient(int port) {
        m_strContentType = "application/json";
        m_nPort = static_cast<unsigned>(port);
        m_bUseLoginHeaders = true;
    }
    std::vector<std::string> methodsSeenByHooks;

protected:
    // A login before the first change: a request of its own, from inside a PATCH's hooks.
    bool addLoginCurlHeaders() override {
        methodsSeenByHooks.push_back(requestMethod() != nullptr ? requestMethod() : "-");
        if (requestMethod() != nullptr && !m_bLoggedIn) {
            m_bLoggedIn = true;
            std::string ignored;
            get("vms/0", ignored, nullptr);
        }
        return true;
    }

private:
    bool m_bLoggedIn = false;
};

std::string Vm(const std::string& name) {
    json_spirit::mObject vm;
    vm["name"] = name;
    return json_spirit::write(json_spirit::mValue(vm));
}

std::vector<std::string> MessagesHaving(const std::vector<TqDebugRecord>& records,
                                        const std::string& text) {
    std::vector<std::string> found;
    for (const auto& record : records) {
        if (record.message.find(text) != std::string::npos) {
            found.push_back(record.message);
        }
    }
    return found;
}

}  // namespace

TEST(RestApiClient, CollectionJob) {
    VmApi api;
    VmClient client(api.Port());
    client.setExpectedStatuses({404});
    client.setLogBodyLimit(31);  // inside the "é" of the third record's body
    ASSERT_TRUE(client.connect("127.0.0.1", false, ""));
    LogCapture log;
    std::string body;
    const std::string odd = "web 0%s & a=b é";
    for (const std::string& name : {odd, std::string("db 1"), odd + " 2"}) {
        ASSERT_TRUE(client.post("vms", Vm(name), body, nullptr)) << client.getLastCurlError();
    }
    std::string page = "vms";
    client.appendQueryParameter(page, "name_like", odd);
    client.appendQueryParameter(page, "_limit", "1");
    ASSERT_TRUE(client.get(page, body, nullptr));
    EXPECT_EQ(body, "[{\"id\":1,\"name\":\"web 0%s & a=b \xC3\xA9\"}]");
#ifndef VSTEST_PLATFORM_PACKAGE  // a platform need not keep the header block
    EXPECT_EQ(client.getLastResponseHeader("x-total-count"), "2");
#endif
    ASSERT_TRUE(client.patch("vms/1", Vm("web 9"), body, nullptr)) << client.getLastCurlError();
    EXPECT_THAT(body, HasSubstr("\"web 9\""));
    ASSERT_TRUE(client.put("vms/2", "{\"name\":\"db 2\",\"os\":\"linux\"}", body, nullptr));
    ASSERT_TRUE(client.del("vms/3", "", body, nullptr));
    EXPECT_TRUE(client.head("vms", nullptr));
    EXPECT_FALSE(client.get("vms/3", body, nullptr)) << "deleted";
    EXPECT_EQ(client.getLastHttpStatus(), 404);
    EXPECT_TRUE(log.Errors().empty()) << "a 404 marked expected is an answer, not an error";

    std::vector<std::string> methods;
    for (const ReceivedRequest& request : api.Requests()) {
        methods.push_back(request.method + " " + request.target);
    }
    EXPECT_EQ(std::vector<std::string>(methods.begin() + 3, methods.end()),
              (std::vector<std::string>{
                  "GET /vms?name_like=web%200%25s%20%26%20a%3Db%20%C3%A9&_limit=1",
                  "GET /vms/0",  // the login, sent as its own verb from the PATCH's hooks
                  "PATCH /vms/1", "PUT /vms/2", "DELETE /vms/3", "HEAD /vms", "GET /vms/3"}));
    EXPECT_EQ(client.methodsSeenByHooks[4], "PATCH");
    EXPECT_EQ(client.methodsSeenByHooks[5], "-") << "the login's own hooks";

    const auto lines = log.From(rest_labels::kSendReq);
    EXPECT_EQ(MessagesHaving(lines, "Request to HEAD [").size(), 1u);
    EXPECT_EQ(MessagesHaving(lines, "Answer to PATCH [").size(), 1u);
    EXPECT_EQ(MessagesHaving(lines, "vms/3]: 404 (expected), 2 bytes in ").size(), 1u);
    const auto patched = MessagesHaving(log.From(rest_labels::kLogRequest), "Request to PATCH");
    ASSERT_EQ(patched.size(), 1u);
    const auto created = MessagesHaving(log.From(rest_labels::kLogResponse), "Response from POST");
    ASSERT_EQ(created.size(), 3u);
    EXPECT_THAT(created[2], HasSubstr("a=b \xE2\x80\xA6 (6 more bytes) ")) << created[2];
}

// A connect timeout and a request deadline set before connect hold for its requests; a server
// that cuts a secret short of the cap still has it masked.
TEST(RestApiClient, SettingsSetBeforeConnect) {
    VmApi api;
    VmClient client(api.Port());
    client.setConnectTimeout(2000);
    client.setRequestDeadline(1000);
    client.setLogBodyLimit(28);  // inside the password
    ASSERT_TRUE(client.connect("127.0.0.1", false, ""));
    std::string body;
    LogCapture log;
    EXPECT_FALSE(client.get("slow", body, nullptr));
    EXPECT_THAT(client.getLastCurlError(), HasSubstr("imed out"));
    client.post("vms", "{\"name\":\"a\",\"password\":\"hunter22\"}", body, nullptr);
    for (const auto& record : log.Records()) {
        EXPECT_EQ(record.message.find("hunt"), std::string::npos) << record.message;
    }
}

// The answer's lines of a block that holds an interim response first: folded, repeated and
// broken lines as a server may write them.
TEST(RestApiClient, HeaderBlockLines) {
    const std::string block =
        "HTTP/1.1 100 Continue\r\nX-Early: 1\r\n\r\nHTTP/1.1 200 OK\r\nX-Total-Count:  5 \r\n"
        "x-tag: a\r\nX-Tag: b\r\nX-Fold: one\r\n\t two\r\nBad Name: x\r\n: none\r\n"
        "X-Token: ab\rcd\r\nX-Empty:\r\n\r\n";
    using Lines = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(vsrest::ParseHeaderBlock(block.data(), block.size()), (Lines{{"X-Total-Count", "5"},
                                                                           {"x-tag", "a"},
                                                                           {"X-Tag", "b"},
                                                                           {"X-Fold", "one two"},
                                                                           {"X-Token", "ab\rcd"},
                                                                           {"X-Empty", ""}}));
    EXPECT_TRUE(vsrest::ParseHeaderBlock(nullptr, 0).empty());
}
