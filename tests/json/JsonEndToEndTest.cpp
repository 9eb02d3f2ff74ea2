// A JSON body fetched with the REST client, read, and its string array converted.
#include <gtest/gtest.h>

#include "TestServer.h"
#include "VSJsonParser.h"
#include "VSRestApiConnection.h"
#include "json_spirit/json_spirit_reader.h"

namespace {

class InventoryClient : public CVSRestApiConnection {
public:
    explicit InventoryClient(int port) {
        m_strContentType = "application/json";
        m_nPort = static_cast<unsigned>(port);
        m_strBasePath = "/api";
    }
};

}  // namespace

TEST(JsonEndToEnd, TagsOfAFetchedBodyAreAppended) {
    TestServer server;
    server.SetResponder([](const httplib::Request&, httplib::Response& res) {
        res.set_content(R"({"vm": {"id": 7}, "tags": ["prod", null, "caf\u00e9", "prod"]})",
                        "application/json");
    });
    InventoryClient client(server.Port());
    ASSERT_TRUE(client.connect("127.0.0.1", false, ""));
    std::string body;
    ASSERT_TRUE(client.get("vms/7", body, nullptr));

    json_spirit::mValue document;
    json_spirit::read_or_throw(body, document);
    std::vector<std::string> tags{"existing"};
    CVSJsonParser parser;
    EXPECT_TRUE(parser.ConvertNestedStringList(document.get_obj(), "tags", tags));
    EXPECT_EQ(tags, (std::vector<std::string>{"existing", "prod", "caf\xc3\xa9", "prod"}));
    EXPECT_EQ(server.Requests().at(0).target, "/api/vms/7");
}
