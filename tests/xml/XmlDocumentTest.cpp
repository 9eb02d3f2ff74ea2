// The document itself: namespaces, entities in the internal subset, and each parse replacing
// the last. Refusals are in XmlRefusalTest, XmlGrowthTest, XmlEncodingTest and XmlErrorTest.
#include <xercesc/util/PlatformUtils.hpp>

#include "XmlDocumentCases.h"

using xercesc::XMLPlatformUtils;

namespace {

// The object alone keeps Xerces initialised and gives it back after its document.
TEST(XmlDocument, ReadsANamespacedDocumentAndEachParseReplacesTheLast) {
    ASSERT_EQ(XMLPlatformUtils::fgMemoryManager, nullptr);
    {
        CVSXMLDocument doc;
        ASSERT_TRUE(doc.Parse(
            "<?xml version='1.0'?><!DOCTYPE v:vms [<!ENTITY n 'web'>"
            "<!ATTLIST v:vm owner CDATA '&n;-team'>]>"
            "<v:vms xmlns:v='urn:vs:inv' xmlns:a='urn:vs:audit' a:by='&n;&amp;&n;'><v:vm/></v:vms>",
            Doctype::ReadInternalSubset))
            << doc.ErrorMessage();
        EXPECT_EQ(Narrow(doc.Root()->getLocalName()), "vms");
        EXPECT_EQ(Narrow(doc.Root()->getNamespaceURI()), "urn:vs:inv");
        EXPECT_EQ(Narrow(doc.Root()->getAttributeNS(X("urn:vs:audit").c_str(), X("by").c_str())),
                  "web&web");
        EXPECT_EQ(Narrow(doc.Root()->getFirstElementChild()->getAttribute(X("owner").c_str())),
                  "web-team");

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
