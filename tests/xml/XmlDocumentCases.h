// The documents and the check that the CVSXMLDocument tests share, one file per feature.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <xercesc/dom/DOM.hpp>

#include "TempDir.h"
#include "VSXMLDocument.h"
#include "XmlTestSupport.h"

using Doctype = CVSXMLDocument::Doctype;

// Everything the object holds as text: its message and its document, serialised.
inline std::string Held(const CVSXMLDocument& doc) {
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
inline std::string BillionLaughs(const std::string& body, const std::string& declarations = "") {
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

inline std::string Repeat(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) {
        text += piece;
    }
    return text;
}

// c1 holds 49 references to c0, and c49 reaches c1 through 48 others: 98 expansions in all, and
// each Entity node of the chain hands out a copy of c1's whole expansion when it is read.
inline std::string EntityChain() {
    std::string text = "<!DOCTYPE r [<!ENTITY c0 '" + std::string(1000, 'x') + "'><!ENTITY c1 '" +
                       Repeat("&c0;", 49) + "'>";
    for (int i = 2; i < 50; ++i) {
        text += "<!ENTITY c" + std::to_string(i) + " '&c" + std::to_string(i - 1) + ";'>";
    }
    return text + "]><r>&c49;</r>";
}

// Shapes that cost Xerces the square of their length, `over` past the reader's limit (or at it).
inline std::string Attributes(unsigned int over) {
    std::string text = "<r";
    for (unsigned int i = 0; i < CVSXMLDocument::kAttributeLimit + over; ++i) {
        text += " a" + std::to_string(i) + "=''";
    }
    return text + "/>";
}
inline std::string Nest(unsigned int over, const std::string& declaration = "") {
    const unsigned int depth =
        declaration.empty() ? CVSXMLDocument::kDepthLimit : CVSXMLDocument::kNamespaceLimit;
    std::string text;
    for (unsigned int i = 0; i < depth + over; ++i) {
        text += "<a" + (declaration.empty() ? "" : declaration + std::to_string(i) + "='u'") + ">";
    }
    return text + Repeat("</a>", static_cast<int>(depth + over));
}
// The defaults in one attribute-list declaration, or each in a declaration of its own.
inline std::string AttributeList(unsigned int over, bool separate = false) {
    std::string text = "<!DOCTYPE r [<!ATTLIST r";
    for (unsigned int i = 0; i < CVSXMLDocument::kAttributeLimit + over; ++i) {
        text += (separate && i > 0 ? "><!ATTLIST r a" : " a") + std::to_string(i) + " CDATA 'v'";
    }
    return text + ">]><r/>";
}

// A row: the text, what the message says, and where Xerces stopped (column 0: not pinned, where
// the message's reason is what counts).
struct RefusalCase {
    std::string text;
    std::string message;
    uint64_t line;
    uint64_t column;
    Doctype doctype = Doctype::ReadInternalSubset;
};

// Each is refused as the row says, holding nothing of `marker`, and refused without an internal
// subset too: for a DOCTYPE, as a DOCTYPE.
inline void ExpectRefused(const std::vector<RefusalCase>& cases, const std::string& marker = "") {
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 100));
        CVSXMLDocument doc;
        EXPECT_FALSE(doc.Parse(c.text, c.doctype));
        EXPECT_EQ(doc.Document(), nullptr);
        EXPECT_NE(doc.ErrorMessage().find(c.message), std::string::npos) << doc.ErrorMessage();
        if (c.column != 0) {
            EXPECT_EQ(doc.ErrorLine(), c.line);
            EXPECT_EQ(doc.ErrorColumn(), c.column);
        }
        if (!marker.empty()) {
            ASSERT_EQ(c.text.find(marker), std::string::npos);
            EXPECT_EQ(Held(doc).find(marker), std::string::npos) << Held(doc);
        }
        EXPECT_FALSE(doc.Parse(c.text));
        if (c.text.find("<!DOCTYPE") != std::string::npos) {
            EXPECT_NE(doc.ErrorMessage().find("DOCTYPE"), std::string::npos) << doc.ErrorMessage();
        }
    }
}
