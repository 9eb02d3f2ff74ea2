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
using Doctype = CVSXMLDocument::Doctype;

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
std::string BillionLaughs(const std::string& body, const std::string& declarations = "") {
    std::string text = "<!DOCTYPE r [<!ENTITY l0 \"lol\">";
    for (int i = 1; i < 10; ++i) {
        text += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) {
            text += "&l" + std::to_string(i - 1) + ";";
        }
        text += "\">";
    }
    return text + declarations + "]>\n" + body;
}

std::string Repeat(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) {
        text += piece;
    }
    return text;
}

// c1 holds 49 references to c0, and c49 reaches c1 through 48 others: 98 expansions in all, and
// each Entity node of the chain hands out a copy of c1's whole expansion when it is read.
std::string EntityChain() {
    std::string text = "<!DOCTYPE r [<!ENTITY c0 '" + std::string(1000, 'x') + "'><!ENTITY c1 '" +
                       Repeat("&c0;", 49) + "'>";
    for (int i = 2; i < 50; ++i) {
        text += "<!ENTITY c" + std::to_string(i) + " '&c" + std::to_string(i - 1) + ";'>";
    }
    return text + "]><r>&c49;</r>";
}

// Shapes that cost Xerces the square of their length, `over` past the reader's limit (or at it).
std::string Attributes(unsigned int over) {
    std::string text = "<r";
    for (unsigned int i = 0; i < CVSXMLDocument::kAttributeLimit + over; ++i) {
        text += " a" + std::to_string(i) + "=''";
    }
    return text + "/>";
}
std::string Nest(unsigned int over, const std::string& declaration = "") {
    const unsigned int depth =
        declaration.empty() ? CVSXMLDocument::kDepthLimit : CVSXMLDocument::kNamespaceLimit;
    std::string text;
    for (unsigned int i = 0; i < depth + over; ++i) {
        text += "<a" + (declaration.empty() ? "" : declaration + std::to_string(i) + "='u'") + ">";
    }
    return text + Repeat("</a>", static_cast<int>(depth + over));
}
// The defaults in one attribute-list declaration, or each in a declaration of its own.
std::string AttributeList(unsigned int over, bool separate = false) {
    std::string text = "<!DOCTYPE r [<!ATTLIST r";
    for (unsigned int i = 0; i < CVSXMLDocument::kAttributeLimit + over; ++i) {
        text += (separate && i > 0 ? "><!ATTLIST r a" : " a") + std::to_string(i) + " CDATA 'v'";
    }
    return text + ">]><r/>";
}

TEST(XmlDocument, RefusesWhatReachesBeyondItsTextAndMalformedText) {
    TempDir dir;
    const std::string marker = "file-content-that-must-never-be-read";
    std::ofstream(dir.File("secret.txt")) << marker;
    std::ofstream(dir.File("outside.dtd"))
        << "<!ENTITY leak \"" << marker << "\"><!ATTLIST r extra CDATA \"" << marker << "\">";
    const std::string secret = "\"file://" + dir.File("secret.txt") + "\"";
    const std::string dtd = "\"file://" + dir.File("outside.dtd") + "\"";
    // Each is refused as the row says, and refused without an internal subset too: for a
    // DOCTYPE, as a DOCTYPE.
    struct Case {
        std::string text;
        std::string message;
        uint64_t line;
        uint64_t column;
        Doctype doctype = Doctype::ReadInternalSubset;
    };
    const std::string nul(1, '\0');
    const std::vector<Case> cases = {
        {"<!DOCTYPE r [<!ENTITY leak SYSTEM " + secret + ">]>\n<r>&leak;</r>",
         "unable to open external entity", 2, 10},
        {"<!DOCTYPE r [<!ENTITY % p SYSTEM " + dtd + ">\n %p;]><r>&leak;</r>",
         "unable to open external entity", 2, 5},
        {"<!DOCTYPE r SYSTEM\n" + dtd + "\n>\n<r>&leak;</r>", "external DTD", 3, 1},
        {BillionLaughs("<r>&l9;</r>"), "entity expansions", 2, 8},
        {BillionLaughs("<r a=\"&l9;\"/>"), "entity expansions", 2, 11},
        {"<r>\n  <a></b>\n</r>", "expected end of tag 'a'", 2, 8},
        {"<!DOCTYPE r [<!ENTITY a 'b'>]><r>&a;</r>", "DOCTYPE", 1, 13, Doctype::Refuse},
        // An attribute default is copied into every element that omits it.
        {"<!DOCTYPE r [<!ATTLIST e a CDATA '" + std::string(4000, 'x') + "'>]><r>" +
             Repeat("<e/>", 2000) + "</r>",
         "times its length", 1, 5230},
        // Parameter entities replay the subset; Entity nodes copy their expansions.
        {"<!DOCTYPE r [<!ENTITY % p '<!--" + std::string(1000, 'x') + "-->'>" + Repeat("%p;", 500) +
             "]><r/>",
         "times its length", 1, 1757},
        {EntityChain(), "times its length", 1, 2241},
        // Xerces expands references in attribute defaults without counting them.
        {BillionLaughs("<r/>", "<!ATTLIST r a CDATA '&l9;'>"),
         "attribute-list declaration follows an entity", 1, 538},
        // Xerces stops reading at a NUL or an undecodable byte after the document element.
        {"<r>ok</r>" + nul, "NUL", 1, 10, Doctype::Refuse},
        {"<r>ok</r>\n" + nul + "<evil/>", "NUL", 2, 1, Doctype::Refuse},
        {"<r>ok</r><!-- -->" + nul + nul + nul, "NUL", 1, 18, Doctype::Refuse},
        {"<?xml version='1.0' encoding" + nul + "='UTF-8'?><r/>", "NUL", 1, 29, Doctype::Refuse},
        {"<r>ok</r>\xFF<e/>", "stopped reading", 1, 10, Doctype::Refuse},
        // Shapes whose cost inside Xerces grows with the square of their length.
        {Attributes(1), "more than 128 attributes", 1, 927},
        {Nest(1), "nest more than 256 deep", 1, 772},
        {Nest(1, " xmlns:p"), "more than 128 namespace declarations", 1, 2213},
        {"<r xmlns='urn:" + std::string(1000, 'u') + "'>" + Repeat("<e/>", 10) + "</r>",
         "namespace URIs of more than 8 characters per byte", 1, 1049},
        {AttributeList(1), "element type declares more than 128 attributes", 1, 1851},
        {AttributeList(1, true), "element type declares more than 128 attributes", 1, 3387},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 100));
        ASSERT_EQ(c.text.find(marker), std::string::npos);
        CVSXMLDocument doc;
        EXPECT_FALSE(doc.Parse(c.text, c.doctype));
        EXPECT_EQ(doc.Document(), nullptr);
        EXPECT_NE(doc.ErrorMessage().find(c.message), std::string::npos) << doc.ErrorMessage();
        EXPECT_EQ(doc.ErrorLine(), c.line);
        EXPECT_EQ(doc.ErrorColumn(), c.column);
        EXPECT_EQ(Held(doc).find(marker), std::string::npos) << Held(doc);
        EXPECT_FALSE(doc.Parse(c.text));
        if (c.text.find("<!DOCTYPE") != std::string::npos) {
            EXPECT_NE(doc.ErrorMessage().find("DOCTYPE"), std::string::npos) << doc.ErrorMessage();
        }
    }
}

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

        // A byte-order mark is read, not left over.
        std::string utf16 = "\xFF\xFE";
        for (const char c : std::string("<r>ok</r>\n")) {
            utf16 += std::string{c, '\0'};
        }
        for (const std::string& text : {std::string("\xEF\xBB\xBF<r>ok</r>"), utf16}) {
            EXPECT_TRUE(doc.Parse(text)) << doc.ErrorMessage();
        }
        // Each shape at its limit is read.
        for (const std::string& text :
             {Attributes(0), Nest(0), Nest(0, " xmlns:p"), AttributeList(0)}) {
            EXPECT_TRUE(doc.Parse(text, Doctype::ReadInternalSubset)) << doc.ErrorMessage();
        }
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
