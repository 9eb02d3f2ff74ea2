// What reaches beyond the document's own text: external entities and DTDs, and a DOCTYPE where
// none is read.
#include "XmlDocumentCases.h"

namespace {

TEST(XmlRefusal, RefusesWhatReachesBeyondItsText) {
    TempDir dir;
    const std::string marker = "file-content-that-must-never-be-read";
    std::ofstream(dir.File("secret.txt")) << marker;
    std::ofstream(dir.File("outside.dtd"))
        << "<!ENTITY leak \"" << marker << "\"><!ATTLIST r extra CDATA \"" << marker << "\">";
    const std::string secret = "\"file://" + dir.File("secret.txt") + "\"";
    const std::string dtd = "\"file://" + dir.File("outside.dtd") + "\"";
    ExpectRefused(
        {
            {"<!DOCTYPE r [<!ENTITY leak SYSTEM " + secret + ">]>\n<r>&leak;</r>",
             "unable to open external entity", 2, 10},
            {"<!DOCTYPE r [<!ENTITY % p SYSTEM " + dtd + ">\n %p;]><r>&leak;</r>",
             "unable to open external entity", 2, 5},
            {"<!DOCTYPE r SYSTEM\n" + dtd + "\n>\n<r>&leak;</r>", "external DTD", 3, 1},
            {"<!DOCTYPE r [<!ENTITY a 'b'>]><r>&a;</r>", "DOCTYPE", 1, 13, Doctype::Refuse},
        },
        marker);
}

}  // namespace
