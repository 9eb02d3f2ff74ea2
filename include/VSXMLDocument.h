/// @class CVSXMLDocument
/// @brief The one way to turn XML text (a server's response, a stored document) into a
/// Xerces-C DOM tree for CVSXMLParser to read.
///
/// The document is read from its own text and from nothing else. Parse refuses, returning false:
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
///  - text that is not well-formed XML with namespaces (an unbound prefix included), also the
///    empty text.
///
/// Never done: DTD or schema validation, schema loading (xsi:schemaLocation is just an
/// attribute), XInclude, network access of any kind.
///
/// The bytes are decoded as the XML declaration or a byte-order mark says, UTF-8 otherwise.
/// Entities of the document's own DOCTYPE are expanded; in the tree each reference is an
/// EntityReference node holding its expansion (Xerces' default), which getTextContent reads
/// through.
///
/// Ownership: the object owns the document. Document(), Root() and every node reached from them
/// stay valid until the next Parse or the object's destruction; never release them. Both are
/// null before the first Parse and after a failed one, and never null after a successful one.
/// A failed parse keeps no partial tree.
///
/// Failures: Parse returns false and ErrorMessage(), ErrorLine() and ErrorColumn() describe the
/// first problem found: Xerces' message in the local code page (ours for an external DTD) and
/// the 1-based line and column where the parser noticed it (0 and 0 for the rare problem without
/// a position). After a successful Parse the message is empty and both numbers are 0. No
/// exception leaves Parse for any text, however malformed or hostile. What can still pass is
/// exhaustion: std::bad_alloc, and xercesc::OutOfMemoryException (Xerces' own allocations report
/// running out of memory that way); the object then holds no document.
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
    /// Entity expansions allowed per document. Responses rarely use entities at all; this leaves
    /// room for a few declared abbreviations, and since no replacement text is longer than the
    /// document, the expanded document stays within about a hundred times its length.
    static constexpr unsigned int kEntityExpansionLimit = 100;

    /// Takes the object's initialisation of Xerces; holds no document yet. Throws whatever
    /// XMLPlatformUtils::Initialize() throws.
    CVSXMLDocument();
    /// Releases the document, then gives the initialisation back.
    ~CVSXMLDocument();
    /// Not copyable: a copy would share or duplicate the tree; nothing needs either.
    CVSXMLDocument(const CVSXMLDocument&) = delete;
    /// Not copyable (see the copy constructor).
    CVSXMLDocument& operator=(const CVSXMLDocument&) = delete;

    /// Releases the current document, then parses text. True when the text is a complete,
    /// well-formed document that needed nothing from outside it.
    bool Parse(const std::string& text);

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
