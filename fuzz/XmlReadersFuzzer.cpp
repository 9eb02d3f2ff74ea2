// Arbitrary XML text parsed by Xerces' own DOM parser, then every reader and matcher of
// CVSXMLParser on every node of whatever document came out (a failed parse can leave a partial
// one): the document node, elements, attributes, text, comments, processing instructions, the
// document type with its entities and notations, entity references.
//
// Only the exceptions that the readers document may leave them: Xerces' NumberFormatException
// from the 32-bit readers, std::invalid_argument and std::out_of_range ("stoull") from the
// 64-bit ones. Anything else escapes the target and is a crash.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/SAXException.hpp>
#include <xercesc/util/NumberFormatException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLException.hpp>

#include "FuzzSupport.h"
#include "VSXMLParser.h"

using vsfuzz::Require;
using namespace xercesc;

namespace {

CVSXMLParser* g_helper = nullptr;  // keeps Xerces initialised for the whole run

// The 32-bit readers document Xerces' number-format exception, nothing else.
template <typename Call>
void AllowNumberFormat(Call call) {
    try {
        call();
    } catch (const NumberFormatException&) {
    }
}

// The 64-bit readers document std::stoull's two exceptions, always with the text "stoull".
template <typename Call>
void AllowStoull(Call call) {
    try {
        call();
    } catch (const std::invalid_argument& e) {
        Require(std::string(e.what()) == "stoull", "invalid_argument carries \"stoull\"");
    } catch (const std::out_of_range& e) {
        Require(std::string(e.what()) == "stoull", "out_of_range carries \"stoull\"");
    }
}

void ReadAll(CVSXMLParser& xml, DOMNode* node) {
    xml.GetElementStringValue(node);
    xml.GetElementBoolValue(node);
    AllowNumberFormat([&] { xml.GetElementUIntValue(node); });
    AllowStoull([&] { xml.GetElementUInt64Value(node); });
    xml.GetElementDateTimeValue(node);
    xml.GetAttributeStringValue(node);
    xml.GetAttributeBoolValue(node);
    AllowNumberFormat([&] { xml.GetAttributeUIntValue(node); });
    AllowStoull([&] { xml.GetAttributeUInt64Value(node); });
}

// The name in the other letter case, or with a character more: a name the node does not bear.
std::string OtherName(const std::string& name) {
    std::string other = name;
    for (char& c : other) {
        c = std::islower(static_cast<unsigned char>(c))
                ? std::toupper(static_cast<unsigned char>(c))
                : std::tolower(static_cast<unsigned char>(c));
    }
    return other != name ? other : name + "#";
}

// A matcher under the node's own name must match; under another name it must not, and must
// leave the field alone (without reading the value, so it cannot throw either).
template <typename T, typename Matcher>
void Matches(DOMNode* node, const std::string& name, Matcher matcher) {
    T field{};
    Require(matcher(node, name, field), "a node matches its own name");
}

template <typename T, typename Matcher>
void Mismatches(DOMNode* node, const std::string& name, Matcher matcher) {
    T field{};
    Require(!matcher(node, OtherName(name), field), "a node does not match another name");
    Require(field == T{}, "a matcher that does not match leaves the field");
}

template <typename T, typename Matcher>
void Match(DOMNode* node, const std::string& name, Matcher matcher) {
    Mismatches<T>(node, name, matcher);
    Matches<T>(node, name, matcher);
}

void MatchAll(CVSXMLParser& xml, DOMNode* node, const std::string& name) {
    std::string text;
    Require(xml.ParseFromElementValue(node, name, text), "string field matches");
    Require(text == xml.GetElementStringValue(node), "string field holds the element text");
    std::string value;
    Require(xml.ParseFromAttributeValue(node, name, value), "string attribute matches");
    Require(value == xml.GetAttributeStringValue(node), "string field holds the node value");

    auto element = [&](DOMNode* n, const std::string& s, auto& out) {
        return xml.ParseFromElementValue(n, s, out);
    };
    auto attribute = [&](DOMNode* n, const std::string& s, auto& out) {
        return xml.ParseFromAttributeValue(n, s, out);
    };
    Match<std::string>(node, name, element);
    Match<std::string>(node, name, attribute);
    Match<bool>(node, name, element);
    Match<long>(node, name, element);
    Match<bool>(node, name, attribute);
    Mismatches<unsigned int>(node, name, element);
    Mismatches<unsigned int>(node, name, attribute);
    Mismatches<unsigned long long>(node, name, element);
    Mismatches<unsigned long long>(node, name, attribute);
    AllowNumberFormat([&] { Matches<unsigned int>(node, name, element); });
    AllowNumberFormat([&] { Matches<unsigned int>(node, name, attribute); });
    AllowStoull([&] { Matches<unsigned long long>(node, name, element); });
    AllowStoull([&] { Matches<unsigned long long>(node, name, attribute); });
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
        ReadAll(xml, node);
        MatchAll(xml, node, name);
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    vsfuzz::SilenceLog();
    g_helper = new CVSXMLParser();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    XercesDOMParser parser;
    // Only the text itself: no external DTD or entity is fetched from disk or network, and
    // entity expansion is bounded.
    parser.setValidationScheme(XercesDOMParser::Val_Never);
    parser.setDoNamespaces(true);
    parser.setLoadExternalDTD(false);
    parser.setDisableDefaultEntityResolution(true);
    SecurityManager security;
    security.setEntityExpansionLimit(100);
    parser.setSecurityManager(&security);

    MemBufInputSource source(data, size, "fuzz");
    try {
        parser.parse(source);
    } catch (const XMLException&) {
    } catch (const DOMException&) {
    } catch (const SAXException&) {
    } catch (const OutOfMemoryException&) {
    }
    if (DOMDocument* document = parser.getDocument()) {
        Visit(*g_helper, document);
    }
    return 0;
}
