// Malformed text: the message and the place where Xerces found it.
#include "XmlDocumentCases.h"

namespace {

TEST(XmlError, RefusesMalformedTextWithWhereItWent) {
    ExpectRefused({
        {"<r>\n  <a></b>\n</r>", "expected end of tag 'a'", 2, 8},
    });
}

}  // namespace
