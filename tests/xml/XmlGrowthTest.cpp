// What grows inside Xerces past the document's length: entity expansions, attribute defaults,
// and the shapes whose cost is the square of their length.
#include "XmlDocumentCases.h"

namespace {

TEST(XmlGrowth, RefusesWhatGrowsPastItsLimits) {
    // Where Xerces stops within these is its own affair; the reason is what is pinned.
    const std::string grows = "the document grows to more than " +
                              std::to_string(CVSXMLDocument::kGrowthLimit) +
                              " times its length (through entities or attribute defaults)";
    ExpectRefused({
        {BillionLaughs("<r>&l9;</r>"), "entity expansions", 2, 8},
        {BillionLaughs("<r a=\"&l9;\"/>"), "entity expansions", 2, 11},
        // An attribute default is copied into every element that omits it.
        {"<!DOCTYPE r [<!ATTLIST e a CDATA '" + std::string(4000, 'x') + "'>]><r>" +
             Repeat("<e/>", 2000) + "</r>",
         grows, 1, 0},
        // Parameter entities replay the subset; Entity nodes copy their expansions.
        {"<!DOCTYPE r [<!ENTITY % p '<!--" + std::string(1000, 'x') + "-->'>" + Repeat("%p;", 500) +
             "]><r/>",
         grows, 1, 0},
        {EntityChain(), grows, 1, 0},
        // Xerces expands references in attribute defaults without counting them.
        {BillionLaughs("<r/>", "<!ATTLIST r a CDATA '&l9;'>"),
         "attribute-list declaration follows an entity", 1, 538},
        // Shapes whose cost inside Xerces grows with the square of their length.
        {Attributes(1), "more than 128 attributes", 1, 927},
        {Nest(1), "nest more than 256 deep", 1, 772},
        {Nest(1, " xmlns:p"), "more than 128 namespace declarations", 1, 2213},
        {"<r xmlns='urn:" + std::string(1000, 'u') + "'>" + Repeat("<e/>", 10) + "</r>",
         "namespace URIs of more than 8 characters per byte", 1, 1049},
        {AttributeList(1), "element type declares more than 128 attributes", 1, 1851},
        {AttributeList(1, true), "element type declares more than 128 attributes", 1, 3387},
    });
}

TEST(XmlGrowth, ReadsEachShapeAtItsLimit) {
    CVSXMLDocument doc;
    for (const std::string& text :
         {Attributes(0), Nest(0), Nest(0, " xmlns:p"), AttributeList(0)}) {
        EXPECT_TRUE(doc.Parse(text, Doctype::ReadInternalSubset)) << doc.ErrorMessage();
    }
}

}  // namespace
