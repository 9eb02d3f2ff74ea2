#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "LogCapture.h"
#include "VSXMLParser.h"
#include "XmlTestSupport.h"

using ::testing::ElementsAre;
using xercesc::DOMElement;
using xercesc::DOMNode;

namespace {

const char* const kAddAttribute =
    "void CVSXMLParser::AddAttribute(xercesc_2_6::DOMNode*, const string&, const char*)";
constexpr unsigned int kMax32 = std::numeric_limits<unsigned int>::max();
constexpr unsigned long long kMax64 = std::numeric_limits<unsigned long long>::max();

class XmlBuilderTest : public ::testing::Test {
protected:
    CVSXMLParser xml;
    LogCapture log;
    XmlTestDoc doc{"<root><existing/></root>"};
};

TEST_F(XmlBuilderTest, ElementOverloadsWriteTheirTextOrSkip) {
    DOMElement* root = doc.Root();
    const std::string none;
    EXPECT_EQ(xml.AddElement(root, "skip", none, false), nullptr);
    EXPECT_EQ(xml.AddElement(root, "skip", true, true), nullptr);
    EXPECT_EQ(xml.AddElement(root, "skip", false, false), nullptr);
    // A braced list is evaluated left to right: these are the calls in order.
    const std::vector<DOMNode*> added = {
        xml.AddElement(root, "text", "a b"),
        xml.AddElement(root, "empty", ""),
        xml.AddElement(root, "null", nullptr),
        xml.AddElement(root, "string", std::string("s"), false),
        xml.AddElement(root, "addEmpty", none, true),
        xml.AddElement(root, "bool", true),
        xml.AddElement(root, "bool", false),
        xml.AddElement(root, "notDefault", false, true),
        xml.AddElement(root, "notDefault", true, false),
        xml.AddElement(root, "u", 0u),
        xml.AddElement(root, "u", kMax32),
        xml.AddElement(root, "u64", 0ull),
        xml.AddElement(root, "u64", kMax64),
        xml.AddElement(root, "bare"),
    };
    // "name=" is an element holding an empty text node; "bare" has no child at all.
    EXPECT_THAT(Children(root),
                ElementsAre("existing", "text=a b", "empty=", "null=", "string=s", "addEmpty=",
                            "bool=true", "bool=false", "notDefault=false", "notDefault=true", "u=0",
                            "u=4294967295", "u64=0", "u64=18446744073709551615", "bare"));
    DOMNode* child = root->getFirstChild()->getNextSibling();
    for (DOMNode* element : added) {
        ASSERT_EQ(element, child);
        EXPECT_EQ(element->getChildNodes()->getLength(), element == added.back() ? 0u : 1u);
        child = child->getNextSibling();
    }
    EXPECT_TRUE(log.Records().empty());
}

TEST_F(XmlBuilderTest, AttributeOverloadsWriteTheirTextOrSkip) {
    DOMElement* e = doc.Element("existing");
    xml.AddAttribute(e, "text", "x y");
    xml.AddAttribute(e, "null", nullptr);
    xml.AddAttribute(e, "skipped", std::string(), false);
    xml.AddAttribute(e, "empty", std::string(), true);
    xml.AddAttribute(e, "t", true);
    xml.AddAttribute(e, "f", false);
    xml.AddAttribute(e, "u0", 0u);
    xml.AddAttribute(e, "umax", kMax32);
    xml.AddAttribute(e, "u64max", kMax64);
    xml.AddAttribute(e, "twice", "first");
    xml.AddAttribute(e, "twice", std::string("second"), false);
    const struct {
        const char* name;
        const char* value;
    } expected[] = {{"text", "x y"},        {"null", ""},
                    {"empty", ""},          {"t", "true"},
                    {"f", "false"},         {"u0", "0"},
                    {"umax", "4294967295"}, {"u64max", "18446744073709551615"},
                    {"twice", "second"}};
    for (const auto& x : expected) {
        EXPECT_EQ(Narrow(e->getAttribute(X(x.name).c_str())), x.value) << x.name;
    }
    EXPECT_FALSE(e->hasAttribute(u"skipped"));
    EXPECT_EQ(e->getAttributes()->getLength(), std::size(expected));
    EXPECT_TRUE(log.Records().empty());
}

TEST_F(XmlBuilderTest, InvalidNamesAndTargetsAddNothing) {
    EXPECT_THROW(xml.AddElement(doc.Root(), "a b"), xercesc::DOMException);
    EXPECT_THROW(xml.AddElement(doc.Root(), "a b", "x"), xercesc::DOMException);
    EXPECT_THROW(xml.AddElement(doc.Root(), "", 1u), xercesc::DOMException);
    // A parent without an owner document: null itself, and the document node.
    EXPECT_EQ(xml.AddElement(nullptr, "e"), nullptr);
    EXPECT_EQ(xml.AddElement(doc.Document(), "e", "x"), nullptr);
    EXPECT_EQ(xml.AddElement(nullptr, "e", true), nullptr);
    EXPECT_EQ(doc.Document()->getChildNodes()->getLength(), 1u);
    EXPECT_THAT(Children(doc.Root()), ElementsAre("existing"));

    // AddAttribute logs instead of throwing, also for targets that are no element.
    xml.AddAttribute(doc.Root(), "a b", "x");
    xml.AddAttribute(doc.Root(), "a b", 5u);
    xml.AddAttribute(nullptr, "n", "v");
    xml.AddAttribute(doc.Document(), "n", nullptr);
    EXPECT_EQ(doc.Root()->getAttributes()->getLength(), 0u);
    std::vector<std::string> lines;
    for (const auto& r : log.Errors()) {
        EXPECT_EQ(r.function, kAddAttribute);
        lines.push_back(r.message);
    }
    EXPECT_THAT(lines, ElementsAre("Failed to add attribute [a b] value [x]",
                                   "Failed to add attribute [a b] value [5]",
                                   "Failed to add attribute [n] value [v]",
                                   "Failed to add attribute [n] value []"));
}

TEST_F(XmlBuilderTest, WrittenValuesReadBackEqual) {
    const std::string text = "with <markup> & \"quotes\"";
    for (unsigned long long v : {0ull, 42ull, 5000000000ull, kMax64}) {
        DOMElement* e = xml.AddElement(doc.Root(), "n", v);
        xml.AddAttribute(e, "a", v);
        EXPECT_EQ(xml.GetElementUInt64Value(e), v);
        EXPECT_EQ(xml.GetAttributeUInt64Value(e->getAttributeNode(u"a")), v);
    }
    for (unsigned int v : {0u, 42u, kMax32}) {
        DOMElement* e = xml.AddElement(doc.Root(), "n", v);
        xml.AddAttribute(e, "a", v);
        EXPECT_EQ(xml.GetElementUIntValue(e), v);
        EXPECT_EQ(xml.GetAttributeUIntValue(e->getAttributeNode(u"a")), v);
    }
    for (bool v : {false, true}) {
        DOMElement* e = xml.AddElement(doc.Root(), "b", v);
        xml.AddAttribute(e, "a", v);
        EXPECT_EQ(xml.GetElementBoolValue(e), v);
        EXPECT_EQ(xml.GetAttributeBoolValue(e->getAttributeNode(u"a")), v);
    }
    DOMElement* e = xml.AddElement(doc.Root(), "s", text, false);
    xml.AddAttribute(e, "a", text, false);
    EXPECT_EQ(xml.GetElementStringValue(e), text);
    EXPECT_EQ(xml.GetAttributeStringValue(e->getAttributeNode(u"a")), text);
    EXPECT_TRUE(log.Records().empty());
}

}  // namespace
