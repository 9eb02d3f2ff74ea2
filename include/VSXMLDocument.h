/// @class CVSXMLDocument
/// @brief The one way to turn XML text (a server's response, a stored document) into a
/// Xerces-C DOM tree for CVSXMLParser to read.
///
/// The document is read from its own text and from nothing else. Parse refuses, returning false:
///  - a DOCTYPE declaration of any kind, unless the caller asks for Doctype::ReadInternalSubset.
///    A server's REST response never carries one, and a DOCTYPE is where every attack on an XML
///    reader starts (outside entities, entity and attribute-default amplification). The parse
///    stops at the declaration, before anything it declares is read.
///  - a reference to an external entity, general or parameter. The entity is never opened, by
///    path or by URL: every request for an outside resource is refused, and Xerces does not fall
///    back to opening it itself. A document whose text depends on such an entity is not the
///    document its author meant, so it fails ("unable to open external entity '...'") rather
///    than reading with the reference left out. Declaring one without referring to it is fine.
///  - a DOCTYPE that names an external DTD (SYSTEM or PUBLIC). The DTD is never loaded, and
///    without it Xerces silently drops references to the entities it declares and leaves out its
///    attribute defaults, which would read differently from what the author meant.
///  - more than kEntityExpansionLimit entity expansions in one document. Every reference to an
///    entity declared in the document's own DOCTYPE counts, nested ones too, in content and in
///    attribute values; character references and the five predefined entities ("&amp;" ...) do
///    not. A "billion laughs" document fails at its 101st expansion, before it has grown.
///  - a document whose tree would hold more than kGrowthLimit times as many characters as the
///    text has bytes (element, attribute, entity and other node names and values, the internal
///    subset, the copies of entity expansions that the tree's Entity nodes hand out). The parse
///    stops when the growth passes the limit, not after it: an attribute default copied into
///    every element, or an entity expanded again and again, never grows the tree further.
///  - an attribute-list declaration that follows an entity whose full replacement text is longer
///    than kAttributeDefaultEntityLimit characters: Xerces expands entity references in an
///    attribute default without counting them, so such a default could copy that text without
///    bound before anything else sees it. Declaring the attribute lists first is fine.
///  - a document of a shape whose cost inside Xerces grows with the square of its length: an
///    element with more than kAttributeLimit attributes (defaults included), or an element type
///    declaring more defaults than that; elements nested more than kDepthLimit deep; more than
///    kNamespaceLimit namespace declarations in scope at once; names whose namespace URIs add up
///    to more than kRepeatedWorkLimit characters per byte of text, counted at every use of a
///    name in a namespace (the DOM builder compares the whole URI again each time). The parse
///    stops at the element or declaration that passes a limit, before the builder does that
///    work. An element type's attribute defaults are gathered into its template once, when the
///    internal subset ends, however many attribute-list declarations add to it.
///  - text that is not well-formed XML with namespaces (an unbound prefix included), also the
///    empty text; a NUL character anywhere (Xerces would take one after the document element for
///    the end of the text and drop what follows, and skip one in the XML declaration); and text
///    after the document element that Xerces stopped reading at a byte it could not decode.
///
/// Growth and time: whatever the text, with or without an internal subset, an accepted
/// document's tree holds at most kGrowthLimit characters per byte of text, and a parse, accepted
/// or refused, takes time linear in the length of the text, with two shapes not bounded yet:
/// many thousands of distinct names (Xerces' tree keeps every name in a table of fixed size and
/// searches a list of them per use), and one start tag holding thousands of namespace
/// declarations together with attributes that use them (Xerces searches the declarations for
/// each attribute before the tag is refused).
///
/// Never done: DTD or schema validation, schema loading (xsi:schemaLocation is just an
/// attribute), XInclude, network access of any kind.
///
/// The bytes are decoded as the XML declaration or a byte-order mark says, UTF-8 otherwise.
/// With Doctype::ReadInternalSubset, entities of the document's own DOCTYPE are expanded and its
/// attribute defaults applied; in the tree each reference is an EntityReference node holding its
/// expansion (Xerces' default), which getTextContent reads through.
///
/// Ownership: the object owns the document. Document(), Root() and every node reached from them
/// stay valid until the next Parse or the object's destruction; never release them. Both are
/// null before the first Parse and after a failed one, and never null after a successful one.
/// A failed parse keeps no partial tree.
///
/// Failures: Parse returns false and ErrorMessage(), ErrorLine() and ErrorColumn() describe the
/// first problem found: Xerces' message in the local code page (ours for the refusals above that
/// Xerces does not make itself) and the 1-based line and column where the parser noticed it (0
/// and 0 for the rare problem without a position). After a successful Parse the message is empty
/// and both numbers are 0. No exception leaves Parse for any text, however malformed or hostile.
/// What can still pass is exhaustion: std::bad_alloc, and xercesc::OutOfMemoryException
/// (Xerces' own allocations report running out of memory that way); the object then holds no
/// document.
///
/// Lifetime: each object holds one XMLPlatformUtils::Initialize() for its whole life, like
/// CVSXMLParser, so Xerces stays usable while it lives (also with no CVSXMLParser alive); its
/// document is released before that initialisation is given back. It takes no lock: use one
/// object from one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/dom/DOMElement.hpp>

#include "VSSupportExport.h"

class VSSUPPORT_EXPORT CVSXMLDocument {
public:
    /// Entity expansions allowed per document. Documents rarely use entities at all; this leaves
    /// room for a few declared abbreviations.
    static constexpr unsigned int kEntityExpansionLimit = 100;

    /// Characters an accepted document's tree may hold per byte of its text.
    static constexpr unsigned int kGrowthLimit = 100;

    /// The longest full replacement text of an entity that attribute-list declarations may
    /// follow. A reference costs at least three bytes ("&e;"), so however many references the
    /// defaults hold, they copy no more than kGrowthLimit characters per byte of text.
    static constexpr unsigned int kAttributeDefaultEntityLimit = 3 * kGrowthLimit;

    /// Attributes one element may hold, those given by defaults included, and attribute
    /// defaults one element type may declare. A REST response's elements carry a few dozen at
    /// most; Xerces compares each attribute it adds with those already there.
    static constexpr unsigned int kAttributeLimit = 128;

    /// How deep elements may nest. Responses nest a few dozen levels at most; Xerces looks each
    /// name's namespace up through every open element.
    static constexpr unsigned int kDepthLimit = 256;

    /// Namespace declarations (xmlns, xmlns:p) in scope at once, counted on every open element.
    /// An envelope declares a dozen or two; Xerces searches them all for each name's prefix.
    static constexpr unsigned int kNamespaceLimit = 128;

    /// Characters of namespace URI that the names of an accepted document may use per byte of
    /// its text, counted at every use of a name in a namespace. A response with long URIs on
    /// short elements uses about two per byte.
    static constexpr unsigned int kRepeatedWorkLimit = 8;

    /// What Parse does with a DOCTYPE declaration.
    enum class Doctype {
        /// Refuse the document (what Parse(text) does): a server's response has none.
        Refuse,
        /// Read an internal subset: its entities are expanded and its attribute defaults
        /// applied, within the limits above. An external DTD is still refused.
        ReadInternalSubset,
    };

    /// Takes the object's initialisation of Xerces; holds no document yet. Throws whatever
    /// XMLPlatformUtils::Initialize() throws.
    CVSXMLDocument();
    /// Releases the document, then gives the initialisation back.
    ~CVSXMLDocument();
    CVSXMLDocument(const CVSXMLDocument&) = delete;
    CVSXMLDocument& operator=(const CVSXMLDocument&) = delete;

    /// Releases the current document, then parses text. True when the text is a complete,
    /// well-formed document without a DOCTYPE that needed nothing from outside it.
    bool Parse(const std::string& text);
    /// As Parse(text), with the DOCTYPE handled as doctype says.
    bool Parse(const std::string& text, Doctype doctype);

    /// The parsed document, owned by this object; null before the first Parse and after a
    /// failed one.
    xercesc::DOMDocument* Document() const;
    /// The document element; null whenever Document() is.
    xercesc::DOMElement* Root() const;

    /// The first problem the last Parse found, in the local code page; empty before the first
    /// Parse and after a successful one.
    const std::string& ErrorMessage() const;
    /// The 1-based line of that problem; 0 when there is none or it has no position.
    uint64_t ErrorLine() const;
    /// The 1-based column of that problem; 0 when there is none or it has no position.
    uint64_t ErrorColumn() const;

private:
    // Gives the initialisation back when destroyed; declared first, so destroyed last.
    class CXercesUse {
    public:
        CXercesUse();
        ~CXercesUse();
        CXercesUse(const CXercesUse&) = delete;
        CXercesUse& operator=(const CXercesUse&) = delete;
    };

    struct CDocumentRelease {
        void operator()(xercesc::DOMDocument* document) const;
    };

    void Clear();

    CXercesUse m_xercesUse;
    std::unique_ptr<xercesc::DOMDocument, CDocumentRelease> m_pDocument;
    std::string m_strErrorMessage;
    uint64_t m_nErrorLine = 0;
    uint64_t m_nErrorColumn = 0;
};
