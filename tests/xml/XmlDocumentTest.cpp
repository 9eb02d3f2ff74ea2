#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "TempDir.h"
#include "VSXMLDocument.h"
#include "XmlTestSupport.h"

using xercesc::XMLPlatformUtils;

namespace {

// Everything the object holds as text: its message and its document, serialised.
std::string Held(const CVSXMLDocument& doc) {
    if (doc.Document() == nullptr) {
        return doc.ErrorMessage();
    }
    std::unique_ptr<xercesc::DOMLSSerializer, void (*)(xercesc::DOMLSSerializer*)> writer(
        doc.Document()->getImplementation()->createLSSerializer(),
        [](xercesc::DOMLSSerializer* w) { w->release(); });
    std::unique_ptr<XMLCh, void (*)(XMLCh*)> text(
        writer->writeToString(doc.Document()), [](XMLCh* t) { xercesc::XMLString::release(&t); });
    return doc.ErrorMessage() + Narrow(text.get());
}

// Ten entities, each ten references to the one before: 10^9 copies of "lol" in body's &l9;.
std::string BillionLaughs(const std::string& body) {
    std::string text = "<!DOCTYPE r [<!ENTITY l0 \"lol\">";
    for (int i = 1; i < 10; ++i) {
        text += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) {
            text += "&l" + std::to_string(i - 1) + ";";
        }
        text += "\">";
    }
    return text + "]>\n" + body;
}

TEST(XmlDocument, RefusesWhatReachesBeyondItsTextAndMalformedText) {
    TempDir dir;
    const std::string marker = "file-content-that-must-never-be-read";
    std::ofstream(dir.File("secret.txt")) << marker;
    std::ofstream(dir.File("outside.dtd"))
        << "<!ENTITY leak \"" << marker << "\"><!ATTLIST r extra CDATA \"" << marker << "\">";
    const std::string secret = "\"file://" + dir.File("secret.txt") + "\"";
    const std::string dtd = "\"file://" + dir.File("outside.dtd") + "\"";
    struct Case {
        std::string text;
        std::string message;
        uint64_t line;
        uint64_t column;
    };
    const std::vector<Case> cases = {
        {"<!DOCTYPE r [<!ENTITY leak SYSTEM " + secret + ">]>\n<r>&leak;</r>",
         "unable to open external entity", 2, 10},
        {"<!DOCTYPE r [<!ENTITY % p SYSTEM " + dtd + ">\n %p;]><r>&leak;</r>",
         "unable to open external entity", 2, 5},
        {"<!DOCTYPE r SYSTEM\n" + dtd + "\n>\n<r>&leak;</r>", "external DTD", 3, 1},
        {BillionLaughs("<r>&l9;</r>"), "entity expansions", 2, 8},
        {BillionLaughs("<r a=\"&l9;\"/>"), "entity expansions", 2, 11},
        {"<r>\n  <a></b>\n</r>", "expected end of tag 'a'", 2, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(c.text.find(marker), std::string::npos);
        CVSXMLDocument doc;
        EXPECT_FALSE(doc.Parse(c.text));
        EXPECT_EQ(doc.Document(), nullptr);
        EXPECT_NE(doc.ErrorMessage().find(c.message), std::string::npos) << doc.ErrorMessage();
        EXPECT_EQ(doc.ErrorLine(), c.line);
        EXPECT_EQ(doc.ErrorColumn(), c.column);
        EXPECT_EQ(Held(doc).find(marker), std::string::npos) << Held(doc);
    }
}

// The object alone keeps Xerces initialised and gives it back after its document.
TEST(XmlDocument, ReadsANamespacedDocumentAndEachParseReplacesTheLast) {
    ASSERT_EQ(XMLPlatformUtils::fgMemoryManager, nullptr);
    {
        CVSXMLDocument doc;
        ASSERT_TRUE(
            doc.Parse("<?xml version='1.0'?><!DOCTYPE v:vms [<!ENTITY n 'web'>]>"
                      "<v:vms xmlns:v='urn:vs:inv' xmlns:a='urn:vs:audit' a:by='&n;&amp;"
                      "&n;'><v:vm/></v:vms>"))
            << doc.ErrorMessage();
        EXPECT_EQ(Narrow(doc.Root()->getLocalName()), "vms");
        EXPECT_EQ(Narrow(doc.Root()->getNamespaceURI()), "urn:vs:inv");
        EXPECT_EQ(Narrow(doc.Root()->getAttributeNS(X("urn:vs:audit").c_str(), X("by").c_str())),
                  "web&web");

        EXPECT_FALSE(doc.Parse("<vms>"));
        EXPECT_EQ(doc.Root(), nullptr);
        ASSERT_TRUE(doc.Parse("<placement><host>h1</host></placement>"));
        EXPECT_EQ(Narrow(doc.Root()->getNodeName()), "placement");
        EXPECT_EQ(Narrow(doc.Root()->getTextContent()), "h1");
        EXPECT_EQ(doc.ErrorMessage(), "");
        EXPECT_EQ(doc.ErrorLine() + doc.ErrorColumn(), 0u);
    }
    EXPECT_EQ(XMLPlatformUtils::fgMemoryManager, nullptr);
}

}  // namespace
