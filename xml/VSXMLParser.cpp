#include "VSXMLParser.h"
#include "LibraryLog.h"
#include "XercesText.h"

#include <strings.h>

#include <iomanip>
#include <sstream>
#include <type_traits>

#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/dom/DOMText.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLString.hpp>

using vsxml::ToLocal;
using vsxml::ToXMLCh;
using vsxml::TranscodedText;
using xercesc::DOMDocument;
using xercesc::DOMElement;
using xercesc::DOMNode;
using xercesc::XMLPlatformUtils;
using xercesc::XMLString;

namespace {

// Function labels are part of the log format that the agent's log readers know; they are
// fixed texts, not __PRETTY_FUNCTION__, so every compiler and every Xerces release writes the
// same ones.
constexpr const char* kGetXMLBoolLabel = "bool CVSXMLParser::GetXMLBool(const XMLCh*)";
constexpr const char* kAddAttributeLabel =
    "void CVSXMLParser::AddAttribute(xercesc_2_6::DOMNode*, const string&, const char*)";

constexpr const char* kDateTimeFormat = "%Y-%m-%dT%H:%M:%S";

DOMDocument* OwnerDocument(DOMNode* node) {
    return node != nullptr ? node->getOwnerDocument() : nullptr;
}

const char* BoolText(bool value) {
    return value ? "true" : "false";
}

}  // namespace

// Initialize is called in the body: if it throws, m_debug is already built and is destroyed
// on the way out, and no Terminate is owed.
CVSXMLParser::CVSXMLParser() : m_debug(nullptr) {
    XMLPlatformUtils::Initialize();
}

CVSXMLParser::~CVSXMLParser() {
    XMLPlatformUtils::Terminate();
}

// ---- converters ----

std::string CVSXMLParser::GetXMLString(const XMLCh* text) {
    return ToLocal(text);
}

bool CVSXMLParser::GetXMLBool(const XMLCh* text) {
    if (text == nullptr) {
        return false;
    }
    const std::string value = GetXMLString(text);
    if (strcasecmp(value.c_str(), "true") == 0) {
        return true;
    }
    if (strcasecmp(value.c_str(), "false") != 0) {
        vslog::Error(m_debug, kGetXMLBoolLabel, "invalid boolean value [%s]", value.c_str());
    }
    return false;
}

unsigned int CVSXMLParser::GetXMLUInt(const XMLCh* text) {
    if (text == nullptr) {
        return 0;
    }
    // The signed result wraps modulo 2^32, so "-1" reads as 4294967295.
    return static_cast<unsigned int>(XMLString::parseInt(text, XMLPlatformUtils::fgMemoryManager));
}

unsigned long long CVSXMLParser::GetXMLUInt64(const XMLCh* text) {
    if (text == nullptr) {
        return 0;
    }
    return std::stoull(GetXMLString(text), nullptr, 10);
}

time_t CVSXMLParser::GetXMLDateTime(const XMLCh* text) {
    if (text == nullptr) {
        return 0;
    }
    // Every field starts at zero, tm_isdst included: the text is read as standard time, and a
    // field that fails to parse (with all later ones) stays zero for mktime to normalise.
    std::tm fields{};
    std::istringstream stream(GetXMLString(text));
    stream >> std::get_time(&fields, kDateTimeFormat);
    return mktime(&fields);
}

// ---- node readers ----

std::string CVSXMLParser::GetNodeName(DOMNode* node) {
    return node != nullptr ? GetXMLString(node->getNodeName()) : std::string();
}

std::string CVSXMLParser::GetElementStringValue(DOMNode* node) {
    return node != nullptr ? GetXMLString(node->getTextContent()) : std::string();
}

bool CVSXMLParser::GetElementBoolValue(DOMNode* node) {
    return node != nullptr ? GetXMLBool(node->getTextContent()) : false;
}

unsigned int CVSXMLParser::GetElementUIntValue(DOMNode* node) {
    return node != nullptr ? GetXMLUInt(node->getTextContent()) : 0;
}

unsigned long long CVSXMLParser::GetElementUInt64Value(DOMNode* node) {
    return node != nullptr ? GetXMLUInt64(node->getTextContent()) : 0;
}

time_t CVSXMLParser::GetElementDateTimeValue(DOMNode* node) {
    return node != nullptr ? GetXMLDateTime(node->getTextContent()) : 0;
}

std::string CVSXMLParser::GetAttributeStringValue(DOMNode* node) {
    return node != nullptr ? GetXMLString(node->getNodeValue()) : std::string();
}

bool CVSXMLParser::GetAttributeBoolValue(DOMNode* node) {
    return node != nullptr ? GetXMLBool(node->getNodeValue()) : false;
}

unsigned int CVSXMLParser::GetAttributeUIntValue(DOMNode* node) {
    return node != nullptr ? GetXMLUInt(node->getNodeValue()) : 0;
}

unsigned long long CVSXMLParser::GetAttributeUInt64Value(DOMNode* node) {
    return node != nullptr ? GetXMLUInt64(node->getNodeValue()) : 0;
}

// ---- field matchers ----

namespace {

// The value is read in full before out is assigned, so a reader that throws leaves out as it
// was.
template <typename T>
bool MatchField(CVSXMLParser& xml, DOMNode* node, const std::string& name, T& out,
                T (CVSXMLParser::*read)(DOMNode*)) {
    if (xml.GetNodeName(node) != name) {
        return false;
    }
    out = (xml.*read)(node);
    return true;
}

}  // namespace

bool CVSXMLParser::ParseFromElementValue(DOMNode* node, const std::string& name, std::string& out) {
    return MatchField(*this, node, name, out, &CVSXMLParser::GetElementStringValue);
}

bool CVSXMLParser::ParseFromElementValue(DOMNode* node, const std::string& name, bool& out) {
    return MatchField(*this, node, name, out, &CVSXMLParser::GetElementBoolValue);
}

bool CVSXMLParser::ParseFromElementValue(DOMNode* node, const std::string& name,
                                         unsigned int& out) {
    return MatchField(*this, node, name, out, &CVSXMLParser::GetElementUIntValue);
}

bool CVSXMLParser::ParseFromElementValue(DOMNode* node, const std::string& name,
                                         unsigned long long& out) {
    return MatchField(*this, node, name, out, &CVSXMLParser::GetElementUInt64Value);
}

static_assert(std::is_same<long, time_t>::value,
              "date-time fields are long, which must be the platform's time_t");

bool CVSXMLParser::ParseFromElementValue(DOMNode* node, const std::string& name, long& out) {
    return MatchField(*this, node, name, out, &CVSXMLParser::GetElementDateTimeValue);
}

bool CVSXMLParser::ParseFromAttributeValue(DOMNode* node, const std::string& name,
                                           std::string& out) {
    return MatchField(*this, node, name, out, &CVSXMLParser::GetAttributeStringValue);
}

bool CVSXMLParser::ParseFromAttributeValue(DOMNode* node, const std::string& name, bool& out) {
    return MatchField(*this, node, name, out, &CVSXMLParser::GetAttributeBoolValue);
}

bool CVSXMLParser::ParseFromAttributeValue(DOMNode* node, const std::string& name,
                                           unsigned int& out) {
    return MatchField(*this, node, name, out, &CVSXMLParser::GetAttributeUIntValue);
}

bool CVSXMLParser::ParseFromAttributeValue(DOMNode* node, const std::string& name,
                                           unsigned long long& out) {
    return MatchField(*this, node, name, out, &CVSXMLParser::GetAttributeUInt64Value);
}

// ---- builders ----

DOMNode* CVSXMLParser::AddElement(DOMNode* parent, const std::string& name) {
    DOMDocument* document = OwnerDocument(parent);
    if (document == nullptr) {
        return nullptr;
    }
    const TranscodedText<XMLCh> tag = ToXMLCh(name.c_str());
    DOMElement* element = document->createElement(tag.Get());
    // A rejected append leaves the element unattached; the document still owns and frees it.
    parent->appendChild(element);
    return element;
}

DOMElement* CVSXMLParser::AddElement(DOMNode* parent, const std::string& name, const char* text) {
    // createElement returns an element, so the cast cannot fail.
    auto* element = static_cast<DOMElement*>(AddElement(parent, name));
    if (element == nullptr) {
        return nullptr;
    }
    // The element is already in the tree: if the text fails, it stays there without text.
    const TranscodedText<XMLCh> content = ToXMLCh(text);
    element->appendChild(parent->getOwnerDocument()->createTextNode(content.Get()));
    return element;
}

DOMElement* CVSXMLParser::AddElement(DOMNode* parent, const std::string& name,
                                     const std::string& text, bool addEmpty) {
    if (text.empty() && !addEmpty) {
        return nullptr;
    }
    return AddElement(parent, name, text.c_str());
}

DOMElement* CVSXMLParser::AddElement(DOMNode* parent, const std::string& name, bool value) {
    return AddElement(parent, name, std::string(BoolText(value)), false);
}

DOMElement* CVSXMLParser::AddElement(DOMNode* parent, const std::string& name, bool value,
                                     bool defaultValue) {
    if (value == defaultValue) {
        return nullptr;
    }
    return AddElement(parent, name, value);
}

DOMElement* CVSXMLParser::AddElement(DOMNode* parent, const std::string& name, unsigned int value) {
    return AddElement(parent, name, std::to_string(value), false);
}

DOMElement* CVSXMLParser::AddElement(DOMNode* parent, const std::string& name,
                                     unsigned long long value) {
    return AddElement(parent, name, std::to_string(value), false);
}

void CVSXMLParser::AddAttribute(DOMNode* node, const std::string& name, const char* value) {
    if (value == nullptr) {
        value = "";
    }
    // Anything but an element (null included) cannot carry an attribute: the same failure as
    // a rejected setAttribute.
    if (auto* element = dynamic_cast<DOMElement*>(node)) {
        try {
            const TranscodedText<XMLCh> xmlValue = ToXMLCh(value);
            const TranscodedText<XMLCh> xmlName = ToXMLCh(name.c_str());
            element->setAttribute(xmlName.Get(), xmlValue.Get());
            return;
        } catch (...) {
            // Reported below; the attribute is left as it was.
        }
    }
    vslog::Error(m_debug, kAddAttributeLabel, "Failed to add attribute [%s] value [%s]",
                 name.c_str(), value);
}

void CVSXMLParser::AddAttribute(DOMNode* node, const std::string& name, const std::string& value,
                                bool addEmpty) {
    if (value.empty() && !addEmpty) {
        return;
    }
    AddAttribute(node, name, value.c_str());
}

void CVSXMLParser::AddAttribute(DOMNode* node, const std::string& name, bool value) {
    AddAttribute(node, name, std::string(BoolText(value)), false);
}

void CVSXMLParser::AddAttribute(DOMNode* node, const std::string& name, unsigned int value) {
    AddAttribute(node, name, std::to_string(value), false);
}

void CVSXMLParser::AddAttribute(DOMNode* node, const std::string& name, unsigned long long value) {
    AddAttribute(node, name, std::to_string(value), false);
}
