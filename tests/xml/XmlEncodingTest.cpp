// The bytes of a document: a NUL or an undecodable byte is refused, a byte-order mark is read.
#include "XmlDocumentCases.h"

namespace {

// Xerces stops reading at a NUL or an undecodable byte after the document element.
TEST(XmlEncoding, RefusesANulOrAnUndecodableByte) {
    const std::string nul(1, '\0');
    ExpectRefused({
        {"<r>ok</r>" + nul, "NUL", 1, 10, Doctype::Refuse},
        {"<r>ok</r>\n" + nul + "<evil/>", "NUL", 2, 1, Doctype::Refuse},
        {"<r>ok</r><!-- -->" + nul + nul + nul, "NUL", 1, 18, Doctype::Refuse},
        {"<?xml version='1.0' encoding" + nul + "='UTF-8'?><r/>", "NUL", 1, 29, Doctype::Refuse},
        {"<r>ok</r>\xFF<e/>", "stopped reading", 1, 10, Doctype::Refuse},
    });
}

// A byte-order mark is read, not left over.
TEST(XmlEncoding, ReadsAByteOrderMark) {
    std::string utf16 = "\xFF\xFE";
    for (const char c : std::string("<r>ok</r>\n")) {
        utf16 += std::string{c, '\0'};
    }
    CVSXMLDocument doc;
    for (const std::string& text : {std::string("\xEF\xBB\xBF<r>ok</r>"), utf16}) {
        EXPECT_TRUE(doc.Parse(text)) << doc.ErrorMessage();
    }
}

}  // namespace
