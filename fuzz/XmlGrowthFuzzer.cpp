// Arbitrary text read by CVSXMLDocument in both of its modes, checking the reader's promises on
// every input rather than the shapes its tests imagine:
//  - an accepted document's tree holds at most kGrowthLimit characters per byte of text. The
//    walk reads everything a caller can reach: every node's name and value, attributes, the
//    internal subset, and the children of Entity nodes, which Xerces copies from the entity's
//    last reference when they are first read;
//  - without an internal subset asked for, an accepted tree has no DocumentType node, and the
//    same text is accepted with one asked for too (no DOCTYPE, nothing else differs);
//  - a NUL byte in a text of an ASCII-compatible encoding is never accepted: XML has no such
//    character, and Xerces would stop reading there.
// Time is watched by libFuzzer's -timeout: a parse must stay linear in the text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/XMLString.hpp>

#include "FuzzSupport.h"
#include "VSXMLDocument.h"

using vsfuzz::Require;
using namespace xercesc;

namespace {

using Doctype = CVSXMLDocument::Doctype;

uint64_t Length(const XMLCh* text) {
    return XMLString::stringLen(text);
}

void PushAll(DOMNamedNodeMap* map, std::vector<DOMNode*>& pending) {
    for (XMLSize_t i = 0; map != nullptr && i < map->getLength(); ++i) {
        pending.push_back(map->item(i));
    }
}

// Iterative, and it stops as soon as the limit is passed, so that a broken bound is reported
// rather than walked through.
void CheckGrowth(const CVSXMLDocument& document, size_t size) {
    const uint64_t limit = uint64_t{CVSXMLDocument::kGrowthLimit} * size;
    uint64_t characters = 0;
    std::vector<DOMNode*> pending{document.Document()};
    while (!pending.empty()) {
        DOMNode* node = pending.back();
        pending.pop_back();
        characters += Length(node->getNodeName()) + Length(node->getNodeValue());
        if (node->getNodeType() == DOMNode::ATTRIBUTE_NODE) {
            continue;  // its children are its value, counted already
        }
        PushAll(node->getAttributes(), pending);
        if (node->getNodeType() == DOMNode::DOCUMENT_TYPE_NODE) {
            auto* type = static_cast<DOMDocumentType*>(node);
            characters += Length(type->getInternalSubset());
            PushAll(type->getEntities(), pending);
            PushAll(type->getNotations(), pending);
        }
        for (DOMNode* child = node->getFirstChild(); child != nullptr;
             child = child->getNextSibling()) {
            pending.push_back(child);
        }
        Require(characters <= limit, "an accepted tree holds at most 100 characters per byte");
    }
}

// Texts whose first bytes say UTF-16 or UTF-32 (a byte-order mark, or a zero byte among the
// first four) carry zero bytes as part of their characters; all others are ASCII-compatible.
bool AsciiCompatible(const uint8_t* data, size_t size) {
    if (size < 4 || std::memchr(data, 0, 4) != nullptr) {
        return false;
    }
    return !((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF));
}

// Parses in one mode; exhaustion counts as a refusal that leaves no document.
bool Parse(CVSXMLDocument& document, const std::string& text, Doctype doctype) {
    try {
        return document.Parse(text, doctype);
    } catch (const OutOfMemoryException&) {
    } catch (const std::bad_alloc&) {
    }
    Require(document.Document() == nullptr, "exhaustion leaves no document");
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    vsfuzz::SilenceLog();
    static const CVSXMLDocument keeper;  // keeps Xerces initialised for the whole run
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool hasNul = std::memchr(data, 0, size) != nullptr && AsciiCompatible(data, size);
    bool acceptedWithout = false;
    for (const Doctype doctype : {Doctype::Refuse, Doctype::ReadInternalSubset}) {
        CVSXMLDocument document;
        const bool accepted = Parse(document, text, doctype);
        if (doctype == Doctype::Refuse) {
            acceptedWithout = accepted;
        } else {
            Require(
                accepted || !acceptedWithout,
                "a text accepted without a DOCTYPE is accepted with an internal subset allowed");
        }
        if (!accepted) {
            continue;
        }
        Require(!hasNul, "a text with a NUL byte is refused");
        Require(doctype != Doctype::Refuse || document.Document()->getDoctype() == nullptr,
                "without an internal subset asked for, no DOCTYPE is accepted");
        CheckGrowth(document, size);
    }
    return 0;
}
