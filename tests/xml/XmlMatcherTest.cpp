#include <gtest/gtest.h>

#include <stdexcept>
#include <tuple>

#include <xercesc/util/NumberFormatException.hpp>

#include "LogCapture.h"
#include "VSXMLParser.h"
#include "XmlTestSupport.h"

namespace {

// One field of every type the matchers fill, preset to values no node below holds.
struct Fields {
    std::string s = "keep";
    bool b = true;
    unsigned int u = 7;
    unsigned long long u64 = 9;
    long t = 11;

    auto Tie() const { return std::tie(s, b, u, u64, t); }
};

// Offers node under name to every element overload (or every attribute overload) and returns
// how many of them reported a match.
int OfferToAll(CVSXMLParser& xml, xercesc::DOMNode* node, const std::string& name, Fields& f,
               bool attribute) {
    if (attribute) {
        return xml.ParseFromAttributeValue(node, name, f.s) +
               xml.ParseFromAttributeValue(node, name, f.b) +
               xml.ParseFromAttributeValue(node, name, f.u) +
               xml.ParseFromAttributeValue(node, name, f.u64);
    }
    return xml.ParseFromElementValue(node, name, f.s) + xml.ParseFromElementValue(node, name, f.b) +
           xml.ParseFromElementValue(node, name, f.u) +
           xml.ParseFromElementValue(node, name, f.u64) +
           xml.ParseFromElementValue(node, name, f.t);
}

class XmlMatcherTest : public ::testing::Test {
protected:
    CVSXMLParser xml;
    LogCapture log;
    XmlTestDoc doc{
        "<r xmlns:ns='urn:t'><Name>abc</Name><ns:size>abc</ns:size><size>42</size>"
        "<flag>yes</flag><when>2020-01-02T03:04:05</when><empty/><huge>18446744073709551616</huge>"
        "<e Name='abc' size='5000000000' bad='abc'/></r>"};
};

TEST_F(XmlMatcherTest, OtherNamesLeaveTheFieldsUntouched) {
    const struct {
        xercesc::DOMNode* node;
        const char* name;
        bool attribute;
    } cases[] = {
        {doc.Element("Name"), "name", false},
        {doc.Element("ns:size"), "size", false},
        {doc.Element("size"), "ns:size", false},
        {doc.Element("size"), " size", false},
        {nullptr, "size", false},
        {doc.Attribute("e", "Name"), "name", true},
        {doc.Attribute("e", "bad"), "size", true},
        {nullptr, "size", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fields f;
        EXPECT_EQ(OfferToAll(xml, c.node, c.name, f, c.attribute), 0);
        EXPECT_EQ(f.Tie(), Fields().Tie());
    }
    EXPECT_TRUE(log.Records().empty());
}

TEST_F(XmlMatcherTest, NullNodeMatchesTheEmptyName) {
    for (bool attribute : {false, true}) {
        Fields f;
        EXPECT_EQ(OfferToAll(xml, nullptr, "", f, attribute), attribute ? 4 : 5);
        EXPECT_EQ(f.Tie(), std::make_tuple("", false, 0u, 0ull, attribute ? 11L : 0L));
    }
}

TEST_F(XmlMatcherTest, MatchingNodesFillTheField) {
    ScopedTimeZone zone("UTC");
    Fields f;
    EXPECT_TRUE(xml.ParseFromElementValue(doc.Element("size"), "size", f.s));
    EXPECT_TRUE(xml.ParseFromElementValue(doc.Element("size"), "size", f.u));
    EXPECT_TRUE(xml.ParseFromElementValue(doc.Element("when"), "when", f.t));
    EXPECT_TRUE(xml.ParseFromAttributeValue(doc.Attribute("e", "size"), "size", f.u64));
    EXPECT_EQ(f.Tie(), std::make_tuple("42", true, 42u, 5000000000ull, 1577934245L));

    // A bad boolean still matches: false is stored and the text is logged.
    EXPECT_TRUE(xml.ParseFromElementValue(doc.Element("flag"), "flag", f.b));
    EXPECT_FALSE(f.b);
    const auto errors = log.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].message, "invalid boolean value [yes]");
}

TEST_F(XmlMatcherTest, AReaderExceptionAfterTheMatchLeavesTheFieldAsItWas) {
    Fields f;
    EXPECT_THROW(xml.ParseFromElementValue(doc.Element("empty"), "empty", f.u),
                 xercesc::NumberFormatException);
    EXPECT_THROW(xml.ParseFromAttributeValue(doc.Attribute("e", "bad"), "bad", f.u),
                 xercesc::NumberFormatException);
    EXPECT_THROW(xml.ParseFromElementValue(doc.Element("Name"), "Name", f.u64),
                 std::invalid_argument);
    EXPECT_THROW(xml.ParseFromElementValue(doc.Element("huge"), "huge", f.u64), std::out_of_range);
    EXPECT_THROW(xml.ParseFromAttributeValue(doc.Attribute("e", "bad"), "bad", f.u64),
                 std::invalid_argument);
    EXPECT_EQ(f.Tie(), Fields().Tie());
}

}  // namespace
