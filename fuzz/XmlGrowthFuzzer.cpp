// Arbitrary text read by CVSXMLDocument in both of its modes, checking the reader's promises on
// every input rather than the shapes its tests imagine:
//  - an accepted document's tree holds at most kGrowthLimit characters per byte of text. The
//    walk reads everything a caller can reach: every node's name and value, attributes, the
//    internal subset, and the children of Entity nodes, which Xerces copies from the entity's
//    last reference when they are first read;
//  - without an internal subset asked for, an accepted tree has no DocumentType node, and the
//    same text is accepted with one asked for too (no DOCTYPE, nothing else differs);
//  - a NUL byte in a text of an ASCII-compatible encoding is never accepted: XML has no such
//    character, and Xerces would stop reading there;
//  - the time a parse takes per byte does not grow with the text. An input of five parts split
//    by 0x1F bytes (head, first piece, middle, second piece, tail) is a shape: both pieces are
//    repeated as often as it takes to fill 16 KiB, and again to fill 256 KiB, each '#' in a piece
//    becoming the repetition's number (so that names differ). Per byte, sixteen times the text
//    must take at most four times as long as the shorter text, or twice as long as an ordinary
//    document of 128 KiB (the shorter one can be refused at once for what only its own first
//    bytes hold), in either mode: a quadratic cost would take sixteen times as long. The seeds hold
//    the shapes known to cost Xerces the square of their length (many attributes or prefixes, a
//    deep nest, a long URI used by many elements, attribute-list declarations for one element); the
//    best of three runs, by the thread's CPU time, keeps other work on the machine out of the
//    figure.
// Beyond that, time is watched by libFuzzer's -timeout.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
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

struct Shape {
    std::string head, first, middle, second, tail;
};

std::optional<Shape> ShapeOf(const std::string& text) {
    std::vector<std::string> parts(1);
    for (const char c : text) {
        if (c == '\x1F' && parts.size() < 5) {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    if (parts.size() < 5 || (parts[1].empty() && parts[3].empty())) {
        return std::nullopt;
    }
    return Shape{parts[0], parts[1], parts[2], parts[3], parts[4]};
}

std::string Numbered(const std::string& piece, size_t number) {
    std::string text;
    for (const char c : piece) {
        text += c == '#' ? std::to_string(number) : std::string(1, c);
    }
    return text;
}

std::string Fill(const Shape& shape, size_t size) {
    std::string first;
    std::string second;
    const size_t fixed = shape.head.size() + shape.middle.size() + shape.tail.size();
    for (size_t i = 0; fixed + first.size() + second.size() < size; ++i) {
        first += Numbered(shape.first, i);
        second += Numbered(shape.second, i);
    }
    return shape.head + first + shape.middle + second + shape.tail;
}

double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double BestSecondsPerByte(const std::string& text, Doctype doctype) {
    double best = 0;
    for (int run = 0; run < 3; ++run) {
        CVSXMLDocument document;
        const double start = ThreadSeconds();
        Parse(document, text, doctype);
        const double seconds = ThreadSeconds() - start;
        best = run == 0 ? seconds : std::min(best, seconds);
    }
    return best / static_cast<double>(text.size());
}

// Measured once per run, in this build.
double OrdinaryPerByte() {
    static const double perByte = BestSecondsPerByte(
        Fill({"<vms>", "<vm id=\"#\"><name>vm-#</name><powered>true</powered></vm>\n", "", "",
              "</vms>"},
             128U << 10),
        Doctype::Refuse);
    return perByte;
}

void CheckTimeGrowth(const Shape& shape) {
    const std::string small = Fill(shape, 16U << 10);
    const std::string large = Fill(shape, 256U << 10);
    for (const Doctype doctype : {Doctype::Refuse, Doctype::ReadInternalSubset}) {
        const double smallPerByte = BestSecondsPerByte(small, doctype);
        const double largePerByte = BestSecondsPerByte(large, doctype);
        // Below a millisecond the clock's grain and the parser's fixed costs are the figure.
        if (largePerByte * static_cast<double>(large.size()) >= 1e-3) {
            Require(largePerByte <= std::max(4 * smallPerByte, 2 * OrdinaryPerByte()),
                    "sixteen times the text takes at most four times as long per byte");
        }
    }
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
    if (const std::optional<Shape> shape = ShapeOf(text)) {
        CheckTimeGrowth(*shape);
    }
    return 0;
}
