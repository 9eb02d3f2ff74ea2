/// @class CVSXMLParser
/// @brief Typed reading and writing over a Xerces-C DOM tree.
///
/// The caller parses or builds the document itself and hands single nodes in. The readers turn
/// the DOM's UTF-16 strings into std::string (local code page), booleans, unsigned numbers and
/// times; the matchers read a node into a field only when the node bears the field's name; the
/// builders append child elements and set attributes from typed values, in the text forms that
/// the readers accept back ("true"/"false", unsigned decimal).
///
/// Each object holds one XMLPlatformUtils::Initialize() for its whole life and gives it back in
/// its destructor. Xerces counts these, so any number of objects may live at once, created and
/// destroyed in any order; DOM work needs at least one of them alive (or an initialisation of
/// the caller's own). Apart from its log the object keeps no state, so one object serves any
/// number of documents. It takes no lock: use one object from one thread at a time.
///
/// Order of destruction: every Xerces object (a parser, a document, a DOM node) must be gone
/// before the last initialisation is given back, or the program crashes at exit without a
/// message. Parse server text with CVSXMLDocument (VSXMLDocument.h), which owns its document
/// and holds an initialisation of its own, so declaring it after the CVSXMLParser, or alone,
/// gives the right order by itself:
///
///     CVSXMLParser xml;
///     CVSXMLDocument document;   // destroyed first, its tree with it
///
/// A parser or document of your own must be released before the last CVSXMLParser and
/// CVSXMLDocument go.
///
/// Reading an attribute: hand its node to a matcher or a reader. This header includes what the
/// DOM calls of a first client need (DOMAttr for getAttributeNode, DOMNamedNodeMap for
/// getAttributes, DOMNodeList for getChildNodes and getElementsByTagName):
/// @code
///     CVSXMLParser xml;
///     CVSXMLDocument document;
///     if (document.Parse(R"(<vm id="vm-42" sizeMB="2048"/>)")) {
///         xercesc::DOMElement* root = document.Root();
///         std::string id;
///         unsigned long long sizeMB = 0;
///         xml.ParseFromAttributeValue(root->getAttributeNode(u"id"), "id", id);
///         xml.ParseFromAttributeValue(root->getAttributeNode(u"sizeMB"), "sizeMB", sizeMB);
///     }
/// @endcode
/// A missing attribute is a null node, which a matcher does not match: the field keeps its value.
///
/// Failures:
///  - No reader reports a status. A boolean text other than "true"/"false" (any letter case) is
///    logged as an error and reads as false. A bad date-time reads as whatever was parsed.
///  - Exceptions of Xerces and of the standard library pass through: the number-format
///    exception of XMLString::parseInt from the unsigned int readers (also for an empty text),
///    std::invalid_argument / std::out_of_range ("stoull") from the 64-bit readers, DOMException
///    from AddElement. AddAttribute is the one operation that catches: it logs and sets nothing.
///
/// Choices for arguments the callers should not pass but might:
///  - A null const char* text or value is taken as the empty text.
///  - AddElement with a null parent, or a parent without an owner document (the document node
///    itself has none), adds nothing and returns null.
///  - AddAttribute with a null node, or a node that is not an element, writes the same error
///    line as a failed setAttribute and sets nothing.
#pragma once

#include <ctime>
#include <string>

// DOMAttr, DOMNamedNodeMap and DOMNodeList are what a client's first calls return
// (getAttributeNode, getAttributes, getChildNodes): without them a DOMAttr* does not convert
// to the DOMNode* the readers take, and the call does not compile.
#include <xercesc/dom/DOMAttr.hpp>
#include <xercesc/dom/DOMElement.hpp>
#include <xercesc/dom/DOMNamedNodeMap.hpp>
#include <xercesc/dom/DOMNode.hpp>
#include <xercesc/dom/DOMNodeList.hpp>
#include <xercesc/util/XercesDefs.hpp>

#include "TqDebug.h"
#include "VSSupportExport.h"

class VSSUPPORT_EXPORT CVSXMLParser {
public:
    /// Takes the object's initialisation of Xerces. Throws whatever
    /// XMLPlatformUtils::Initialize() throws.
    CVSXMLParser();
    /// Gives the object's initialisation back (mind the order of destruction).
    virtual ~CVSXMLParser();
    CVSXMLParser(const CVSXMLParser&) = delete;
    CVSXMLParser& operator=(const CVSXMLParser&) = delete;

    /// @name Converters of a DOM string
    /// A null string gives "", false, 0, 0 or 0.
    /// @{

    /// The text in the local code page.
    std::string GetXMLString(const XMLCh* text);
    /// "true" / "false" in any letter case, nothing trimmed; anything else is logged, false.
    bool GetXMLBool(const XMLCh* text);
    /// XMLString::parseInt (sign and surrounding white space allowed), taken modulo 2^32:
    /// "-1" reads as 4294967295. Throws Xerces' NumberFormatException for "" and non-numbers.
    unsigned int GetXMLUInt(const XMLCh* text);
    /// std::stoull base 10: leading digits count, the rest is ignored ("12abc" is 12), a minus
    /// negates modulo 2^64.
    unsigned long long GetXMLUInt64(const XMLCh* text);
    /// "%Y-%m-%dT%H:%M:%S" read as local standard time (no daylight saving applied); anything
    /// after the seconds (fraction, "Z", zone) is ignored; fields that fail to parse stay zero.
    time_t GetXMLDateTime(const XMLCh* text);
    /// @}

    /// @name Node readers
    /// A null node gives the converter's null result, touching nothing.
    ///
    /// Element readers read the text content: the text of all descendants, concatenated.
    ///
    /// Attribute readers read the node value; an element's value is null, so handed an element
    /// they read "", false (no log line), 0, 0.
    /// @{

    /// The qualified name, prefix included.
    std::string GetNodeName(xercesc::DOMNode* node);

    /// The element's text content, converted by GetXMLString().
    std::string GetElementStringValue(xercesc::DOMNode* node);
    /// The element's text content, converted by GetXMLBool().
    bool GetElementBoolValue(xercesc::DOMNode* node);
    /// The element's text content, converted by GetXMLUInt().
    unsigned int GetElementUIntValue(xercesc::DOMNode* node);
    /// The element's text content, converted by GetXMLUInt64().
    unsigned long long GetElementUInt64Value(xercesc::DOMNode* node);
    /// The element's text content, converted by GetXMLDateTime().
    time_t GetElementDateTimeValue(xercesc::DOMNode* node);

    /// The node's value (an attribute's text), converted by GetXMLString().
    std::string GetAttributeStringValue(xercesc::DOMNode* node);
    /// The node's value (an attribute's text), converted by GetXMLBool().
    bool GetAttributeBoolValue(xercesc::DOMNode* node);
    /// The node's value (an attribute's text), converted by GetXMLUInt().
    unsigned int GetAttributeUIntValue(xercesc::DOMNode* node);
    /// The node's value (an attribute's text), converted by GetXMLUInt64().
    unsigned long long GetAttributeUInt64Value(xercesc::DOMNode* node);
    /// @}

    /// @name Field matchers
    /// When the node's qualified name equals name exactly (case and prefix significant; a null
    /// node has the empty name), read the value into out and return true. Otherwise return
    /// false and leave out untouched. The result says the name matched, not that the value was
    /// valid; if the reader throws, out keeps its old value.
    /// @{

    /// A string element field, read by GetElementStringValue().
    bool ParseFromElementValue(xercesc::DOMNode* node, const std::string& name, std::string& out);
    /// A boolean element field, read by GetElementBoolValue().
    bool ParseFromElementValue(xercesc::DOMNode* node, const std::string& name, bool& out);
    /// An unsigned int element field, read by GetElementUIntValue().
    bool ParseFromElementValue(xercesc::DOMNode* node, const std::string& name, unsigned int& out);
    /// An unsigned 64-bit element field, read by GetElementUInt64Value().
    bool ParseFromElementValue(xercesc::DOMNode* node, const std::string& name,
                               unsigned long long& out);
    /// A date-time field: seconds since 1970 as GetXMLDateTime reads them.
    bool ParseFromElementValue(xercesc::DOMNode* node, const std::string& name, long& out);

    /// A string attribute field, read by GetAttributeStringValue().
    bool ParseFromAttributeValue(xercesc::DOMNode* node, const std::string& name, std::string& out);
    /// A boolean attribute field, read by GetAttributeBoolValue().
    bool ParseFromAttributeValue(xercesc::DOMNode* node, const std::string& name, bool& out);
    /// An unsigned int attribute field, read by GetAttributeUIntValue().
    bool ParseFromAttributeValue(xercesc::DOMNode* node, const std::string& name,
                                 unsigned int& out);
    /// An unsigned 64-bit attribute field, read by GetAttributeUInt64Value().
    bool ParseFromAttributeValue(xercesc::DOMNode* node, const std::string& name,
                                 unsigned long long& out);
    /// @}

    /// @name Element builders
    /// Each AddElement appends a new element as the last child of parent (a sibling of the same
    /// name is never reused) and returns it, owned by parent's document. DOM exceptions (an
    /// invalid name, a parent that may not hold an element) leave the call. A skipped call adds
    /// nothing, returns null and writes no log line.
    /// @{

    /// An empty element.
    xercesc::DOMNode* AddElement(xercesc::DOMNode* parent, const std::string& name);
    /// An element holding one text node, also when text is empty.
    xercesc::DOMElement* AddElement(xercesc::DOMNode* parent, const std::string& name,
                                    const char* text);
    /// Skipped when text is empty and addEmpty is false.
    xercesc::DOMElement* AddElement(xercesc::DOMNode* parent, const std::string& name,
                                    const std::string& text, bool addEmpty);
    /// "true" or "false"; always added.
    xercesc::DOMElement* AddElement(xercesc::DOMNode* parent, const std::string& name, bool value);
    /// Skipped when value equals defaultValue.
    xercesc::DOMElement* AddElement(xercesc::DOMNode* parent, const std::string& name, bool value,
                                    bool defaultValue);
    /// Plain decimal text; always added.
    xercesc::DOMElement* AddElement(xercesc::DOMNode* parent, const std::string& name,
                                    unsigned int value);
    /// Plain decimal text; always added.
    xercesc::DOMElement* AddElement(xercesc::DOMNode* parent, const std::string& name,
                                    unsigned long long value);
    /// @}

    /// @name Attribute builders
    /// Each AddAttribute sets (or replaces) the attribute name of the element node. Never throws
    /// for DOM errors: any failure is logged as "Failed to add attribute [name] value [value]"
    /// and nothing is set.
    /// @{

    /// The text value as given.
    void AddAttribute(xercesc::DOMNode* node, const std::string& name, const char* value);
    /// Skipped when value is empty and addEmpty is false.
    void AddAttribute(xercesc::DOMNode* node, const std::string& name, const std::string& value,
                      bool addEmpty);
    /// "true" or "false"; always set.
    void AddAttribute(xercesc::DOMNode* node, const std::string& name, bool value);
    /// Decimal text; always set.
    void AddAttribute(xercesc::DOMNode* node, const std::string& name, unsigned int value);
    /// Decimal text; always set.
    void AddAttribute(xercesc::DOMNode* node, const std::string& name, unsigned long long value);
    /// @}

private:
    TqDebug m_debug;
};
