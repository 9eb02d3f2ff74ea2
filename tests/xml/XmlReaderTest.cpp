#include <gtest/gtest.h>

#include <ctime>
#include <limits>
#include <stdexcept>

#include <xercesc/util/NumberFormatException.hpp>

#include "LogCapture.h"
#include "VSXMLParser.h"
#include "XmlTestSupport.h"

namespace {

const char* const kGetXMLBool = "bool CVSXMLParser::GetXMLBool(const XMLCh*)";
constexpr unsigned long long kMax64 = std::numeric_limits<unsigned long long>::max();

class XmlReaderTest : public ::testing::Test {
protected:
    CVSXMLParser xml;  // first member: Xerces stays initialised while the test's documents live
    LogCapture log;
};

TEST_F(XmlReaderTest, BooleansIgnoreCaseAndLogEveryOtherText) {
    const struct {
        const char* text;
        bool value;
        bool logged;
    } cases[] = {
        {"true", true, false},   {"TRUE", true, false},   {"True", true, false},
        {"false", false, false}, {"FALSE", false, false}, {"fAlSe", false, false},
        {"1", false, true},      {"yes", false, true},    {" true", false, true},
        {"true\n", false, true}, {"", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        log.Clear();
        EXPECT_EQ(xml.GetXMLBool(X(c.text).c_str()), c.value);
        const auto errors = log.Errors();
        ASSERT_EQ(errors.size(), c.logged ? 1u : 0u);
        if (c.logged) {
            EXPECT_EQ(errors[0].function, kGetXMLBool);
            EXPECT_EQ(errors[0].message, std::string("invalid boolean value [") + c.text + "]");
        }
    }
    log.Clear();
    EXPECT_FALSE(xml.GetXMLBool(nullptr));
    EXPECT_TRUE(log.Records().empty());
}

TEST_F(XmlReaderTest, ThirtyTwoBitNumbersWrapAndBadTextsThrow) {
    EXPECT_EQ(xml.GetXMLUInt(u"42"), 42u);
    EXPECT_EQ(xml.GetXMLUInt(u"-1"), 4294967295u);
    EXPECT_EQ(xml.GetXMLUInt(u" 7\n"), 7u);
    EXPECT_EQ(xml.GetXMLUInt(nullptr), 0u);
    for (const char16_t* bad : {u"", u"abc", u"12abc", u"  "}) {
        EXPECT_THROW(xml.GetXMLUInt(bad), xercesc::NumberFormatException) << Narrow(bad);
    }
}

TEST_F(XmlReaderTest, SixtyFourBitNumbersReadLikeStoull) {
    EXPECT_EQ(xml.GetXMLUInt64(u"18446744073709551615"), kMax64);
    EXPECT_EQ(xml.GetXMLUInt64(u"-1"), kMax64);
    EXPECT_EQ(xml.GetXMLUInt64(u"12abc"), 12u);
    EXPECT_EQ(xml.GetXMLUInt64(u" 5000000000"), 5000000000u);
    EXPECT_EQ(xml.GetXMLUInt64(nullptr), 0u);
    const struct {
        const char16_t* text;
        bool outOfRange;
    } throwing[] = {{u"18446744073709551616", true}, {u"abc", false}, {u"", false}};
    for (const auto& c : throwing) {
        SCOPED_TRACE(Narrow(c.text));
        try {
            xml.GetXMLUInt64(c.text);
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_TRUE(c.outOfRange);
            EXPECT_STREQ(e.what(), "stoull");
        } catch (const std::invalid_argument& e) {
            EXPECT_FALSE(c.outOfRange);
            EXPECT_STREQ(e.what(), "stoull");
        }
    }
}

TEST_F(XmlReaderTest, DateTimesAreLocalStandardTime) {
    const struct {
        const char* zone;
        const char* text;
        time_t value;
    } cases[] = {
        {"UTC", "2020-01-02T03:04:05", 1577934245},
        {"UTC", "2020-01-02T03:04:05Z", 1577934245},
        {"UTC", "2020-01-02T03:04:05.250", 1577934245},
        {"UTC", "  2020-01-02T03:04:05+02:00", 1577934245},
        {"UTC", "2020-01-02", 1577923200},     // midnight: the missing fields stay zero
        {"UTC", "2020-01-02T03", 1577934000},  // ends early after the hour
        {"UTC", "", -2209075200},              // day 0 of January 1900: 1899-12-31
        {"Europe/Berlin", "2020-07-01T12:00:00", 1593601200},  // taken as CET, not CEST
        {"Europe/Berlin", "2020-01-02T03:04:05", 1577934245 - 3600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + c.text);
        ScopedTimeZone zone(c.zone);
        EXPECT_EQ(xml.GetXMLDateTime(X(c.text).c_str()), c.value);
    }
    EXPECT_EQ(xml.GetXMLDateTime(nullptr), 0);
    EXPECT_TRUE(log.Records().empty());
}

TEST_F(XmlReaderTest, ElementReadersReadAllDescendantText) {
    ScopedTimeZone zone("UTC");
    XmlTestDoc doc(
        "<r xmlns:ns='urn:t'><mixed>1<c>2</c></mixed><empty/><ns:item/>"
        "<when>2020-01-02T03:04:05</when><flag>True</flag></r>");
    EXPECT_EQ(xml.GetElementStringValue(doc.Element("mixed")), "12");
    EXPECT_EQ(xml.GetElementUIntValue(doc.Element("mixed")), 12u);
    EXPECT_EQ(xml.GetElementUInt64Value(doc.Element("mixed")), 12u);
    EXPECT_TRUE(xml.GetElementBoolValue(doc.Element("flag")));
    EXPECT_EQ(xml.GetElementDateTimeValue(doc.Element("when")), 1577934245);
    EXPECT_EQ(xml.GetNodeName(doc.Element("ns:item")), "ns:item");
    EXPECT_EQ(xml.GetElementStringValue(doc.Element("empty")), "");
    EXPECT_THROW(xml.GetElementUIntValue(doc.Element("empty")), xercesc::NumberFormatException);
    EXPECT_THROW(xml.GetElementUInt64Value(doc.Element("empty")), std::invalid_argument);
    EXPECT_TRUE(log.Records().empty());

    EXPECT_FALSE(xml.GetElementBoolValue(doc.Element("empty")));
    const auto errors = log.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].message, "invalid boolean value []");
}

TEST_F(XmlReaderTest, AttributeReadersReadTheNodeValue) {
    XmlTestDoc doc("<r><e ns:a='x y' b='TRUE' n='17' big='5000000000' xmlns:ns='urn:t'/></r>");
    EXPECT_EQ(xml.GetAttributeStringValue(doc.Attribute("e", "ns:a")), "x y");
    EXPECT_EQ(xml.GetNodeName(doc.Attribute("e", "ns:a")), "ns:a");
    EXPECT_TRUE(xml.GetAttributeBoolValue(doc.Attribute("e", "b")));
    EXPECT_EQ(xml.GetAttributeUIntValue(doc.Attribute("e", "n")), 17u);
    EXPECT_EQ(xml.GetAttributeUInt64Value(doc.Attribute("e", "big")), 5000000000u);

    // An element's node value is null: the null-string results, no parse, no log line.
    xercesc::DOMNode* element = doc.Element("e");
    EXPECT_EQ(xml.GetAttributeStringValue(element), "");
    EXPECT_FALSE(xml.GetAttributeBoolValue(element));
    EXPECT_EQ(xml.GetAttributeUIntValue(element), 0u);
    EXPECT_EQ(xml.GetAttributeUInt64Value(element), 0u);
    EXPECT_TRUE(log.Records().empty());
}

TEST_F(XmlReaderTest, NullNodesReadAsEmptyWithoutLogging) {
    EXPECT_EQ(xml.GetXMLString(nullptr), "");
    EXPECT_EQ(xml.GetNodeName(nullptr), "");
    EXPECT_EQ(xml.GetElementStringValue(nullptr), "");
    EXPECT_FALSE(xml.GetElementBoolValue(nullptr));
    EXPECT_EQ(xml.GetElementUIntValue(nullptr), 0u);
    EXPECT_EQ(xml.GetElementUInt64Value(nullptr), 0u);
    EXPECT_EQ(xml.GetElementDateTimeValue(nullptr), 0);
    EXPECT_EQ(xml.GetAttributeStringValue(nullptr), "");
    EXPECT_FALSE(xml.GetAttributeBoolValue(nullptr));
    EXPECT_EQ(xml.GetAttributeUIntValue(nullptr), 0u);
    EXPECT_EQ(xml.GetAttributeUInt64Value(nullptr), 0u);
    EXPECT_TRUE(log.Records().empty());
}

}  // namespace
