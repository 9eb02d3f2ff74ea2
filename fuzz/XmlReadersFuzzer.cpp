// Arbitrary XML text read by CVSXMLDocument (an internal subset allowed, so that its nodes are
// reached too), then every reader and matcher of CVSXMLParser on every node of the document it
// accepted: the document node, elements, attributes, text, comments, processing instructions,
// the document type with its entities and notations, entity references. A refused text keeps
// no tree, so there is nothing to visit; the reader's own contract is checked on every input
// instead: no exception but exhaustion leaves Parse, a failure holds a message and no document,
// a success a root and no message.
//
// Only the exceptions that the readers document may leave them: Xerces' NumberFormatException
// from the 32-bit readers, std::invalid_argument and std::out_of_range ("stoull") from the
// 64-bit ones. Anything else escapes the target and is a crash.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/util/NumberFormatException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>

#include "FuzzSupport.h"
#include "VSXMLDocument.h"
#include "VSXMLParser.h"

using vsfuzz::Require;
using namespace xercesc;

namespace {

CVSXMLParser* g_helper = nullptr;  // keeps Xerces initialised for the whole run

// Each runs a call and tells whether it threw one of the exceptions that readers of its kind
// document; any other exception passes on and ends the run as a crash.
struct ThrowsNothing {
    template <typename Call>
    bool operator()(Call call) const {
        call();
        return false;
    }
};

// The 32-bit readers: Xerces' number-format exception.
struct ThrowsNumberFormat {
    template <typename Call>
    bool operator()(Call call) const {
        try {
            call();
        } catch (const NumberFormatException&) {
            return true;
        }
        return false;
    }
};

// The 64-bit readers: std::stoull's two exceptions, with the text "stoull".
struct ThrowsStoull {
    template <typename Call>
    bool operator()(Call call) const {
        try {
            call();
        } catch (const std::invalid_argument& e) {
            Require(std::string(e.what()) == "stoull", "invalid_argument carries \"stoull\"");
            return true;
        } catch (const std::out_of_range& e) {
            Require(std::string(e.what()) == "stoull", "out_of_range carries \"stoull\"");
            return true;
        }
        return false;
    }
};

// The name in the other letter case, or with a character more: a name the node does not bear.
std::string OtherName(const std::string& name) {
    std::string other = name;
    for (char& c : other) {
        const auto u = static_cast<unsigned char>(c);
        c = static_cast<char>(std::islower(u) ? std::toupper(u) : std::tolower(u));
    }
    return other != name ? other : name + "#";
}

// One reader on the node, and its matcher under another name (no match, field untouched, value
// not read) and under the node's own name (a match that stores what the reader read, or the
// reader's exception with the field untouched).
template <typename T, typename Reader, typename Matcher, typename Guard>
void CheckField(DOMNode* node, const std::string& name, Reader reader, Matcher matcher,
                Guard guard) {
    T other{};
    Require(!matcher(node, OtherName(name), other), "a node matches no other name");
    Require(other == T{}, "a matcher that does not match leaves the field");

    T read{};
    const bool readerThrew = guard([&] { read = reader(node); });
    T field{};
    bool matched = false;
    const bool matcherThrew = guard([&] { matched = matcher(node, name, field); });
    Require(readerThrew == matcherThrew, "a matcher throws exactly when its reader does");
    if (matcherThrew) {
        Require(field == T{}, "a matcher that throws leaves the field");
    } else {
        Require(matched, "a node matches its own name");
        Require(field == read, "a matcher stores what its reader reads");
    }
}

void CheckAllFields(CVSXMLParser& xml, DOMNode* node, const std::string& name) {
    auto element = [&](DOMNode* n, const std::string& s, auto& out) {
        return xml.ParseFromElementValue(n, s, out);
    };
    auto attribute = [&](DOMNode* n, const std::string& s, auto& out) {
        return xml.ParseFromAttributeValue(n, s, out);
    };
    // clang-format off
    CheckField<std::string>(node, name, [&](DOMNode* n) { return xml.GetElementStringValue(n); }, element, ThrowsNothing());
    CheckField<bool>(node, name, [&](DOMNode* n) { return xml.GetElementBoolValue(n); }, element, ThrowsNothing());
    CheckField<unsigned int>(node, name, [&](DOMNode* n) { return xml.GetElementUIntValue(n); }, element, ThrowsNumberFormat());
    CheckField<unsigned long long>(node, name, [&](DOMNode* n) { return xml.GetElementUInt64Value(n); }, element, ThrowsStoull());
    CheckField<long>(node, name, [&](DOMNode* n) { return xml.GetElementDateTimeValue(n); }, element, ThrowsNothing());
    CheckField<std::string>(node, name, [&](DOMNode* n) { return xml.GetAttributeStringValue(n); }, attribute, ThrowsNothing());
    CheckField<bool>(node, name, [&](DOMNode* n) { return xml.GetAttributeBoolValue(n); }, attribute, ThrowsNothing());
    CheckField<unsigned int>(node, name, [&](DOMNode* n) { return xml.GetAttributeUIntValue(n); }, attribute, ThrowsNumberFormat());
    CheckField<unsigned long long>(node, name, [&](DOMNode* n) { return xml.GetAttributeUInt64Value(n); }, attribute, ThrowsStoull());
    // clang-format on
}

void PushAll(DOMNamedNodeMap* map, std::vector<DOMNode*>& pending) {
    for (XMLSize_t i = 0; map != nullptr && i < map->getLength(); ++i) {
        pending.push_back(map->item(i));
    }
}

// Iterative, so that deep nesting costs no stack here.
void Visit(CVSXMLParser& xml, DOMDocument* document) {
    std::vector<DOMNode*> pending{document};
    while (!pending.empty()) {
        DOMNode* node = pending.back();
        pending.pop_back();
        const std::string name = xml.GetNodeName(node);
        CheckAllFields(xml, node, name);
        PushAll(node->getAttributes(), pending);
        if (node->getNodeType() == DOMNode::DOCUMENT_TYPE_NODE) {
            auto* type = static_cast<DOMDocumentType*>(node);
            PushAll(type->getEntities(), pending);
            PushAll(type->getNotations(), pending);
        }
        for (DOMNode* child = node->getFirstChild(); child != nullptr;
             child = child->getNextSibling()) {
            pending.push_back(child);
        }
    }
}

// Parse's outcome is all or nothing: a tree without a message, or a message without a tree.
void CheckOutcome(const CVSXMLDocument& document, bool parsed) {
    if (parsed) {
        Require(document.Root() != nullptr, "an accepted text has a root element");
        Require(document.ErrorMessage().empty(), "an accepted text has no error message");
        Require(document.ErrorLine() == 0 && document.ErrorColumn() == 0,
                "an accepted text has no error position");
    } else {
        Require(document.Document() == nullptr, "a refused text keeps no document");
        Require(!document.ErrorMessage().empty(), "a refused text has an error message");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    vsfuzz::SilenceLog();
    g_helper = new CVSXMLParser();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CVSXMLDocument document;
    bool parsed = false;
    try {
        parsed = document.Parse(std::string(reinterpret_cast<const char*>(data), size),
                                CVSXMLDocument::Doctype::ReadInternalSubset);
    } catch (const OutOfMemoryException&) {
        Require(document.Document() == nullptr, "exhaustion leaves no document");
        return 0;
    } catch (const std::bad_alloc&) {
        Require(document.Document() == nullptr, "exhaustion leaves no document");
        return 0;
    }
    CheckOutcome(document, parsed);
    if (parsed) {
        Visit(*g_helper, document.Document());
    }
    return 0;
}
