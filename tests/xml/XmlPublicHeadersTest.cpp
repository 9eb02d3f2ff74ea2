// Only the public headers, as a client's first program has them: the DOM calls it writes to
// reach attributes and children must compile from these alone (no xercesc/dom/DOM.hpp here).
#include <gtest/gtest.h>

#include <string>

#include "VSXMLDocument.h"
#include "VSXMLParser.h"

TEST(XmlPublicHeaders, AttributesAndChildrenReadAsAClientFirstWritesIt) {
    CVSXMLParser xml;
    CVSXMLDocument document;
    ASSERT_TRUE(document.Parse(R"(<vm id="vm-42" sizeMB="2048"><disk/><disk/></vm>)"));
    xercesc::DOMElement* root = document.Root();
    std::string id;
    unsigned long long sizeMB = 0;
    std::string missing = "kept";
    EXPECT_TRUE(xml.ParseFromAttributeValue(root->getAttributeNode(u"id"), "id", id));
    EXPECT_TRUE(xml.ParseFromAttributeValue(root->getAttributeNode(u"sizeMB"), "sizeMB", sizeMB));
    EXPECT_FALSE(xml.ParseFromAttributeValue(root->getAttributeNode(u"name"), "name", missing));
    EXPECT_EQ(id, "vm-42");
    EXPECT_EQ(sizeMB, 2048u);
    EXPECT_EQ(missing, "kept");
    EXPECT_EQ(root->getAttributes()->getLength(), 2u);
    EXPECT_EQ(root->getElementsByTagName(u"disk")->getLength(), 2u);
    EXPECT_EQ(xml.GetNodeName(root->getChildNodes()->item(1)), "disk");
}
