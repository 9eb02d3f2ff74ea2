// The safe reader: Xerces' DOM parser with everything that reaches outside the text switched
// off, and with its document-handler callbacks overridden to watch what the tree grows by.
//
// Xerces bounds only the number of entity expansions in content, and only through its security
// manager. What the tree grows by otherwise (an attribute default copied into every element that
// omits it, the internal subset replayed by parameter entities, the copies of entity expansions
// that Entity nodes hand out later) is charged against a budget of kGrowthLimit characters per
// byte of text as the callbacks report it, before the parser's own handler builds the nodes. A
// callback that finds the budget spent, or a DOCTYPE where none is allowed, keeps the problem and
// throws ParseStopped, which unwinds through the scanner (its state is held by janitors) to
// ParseText; the parser and its partial tree are then thrown away. Xerces expands entity
// references in attribute defaults without counting them and without a callback, so those
// expansions are bounded before they happen: no attribute list may follow an entity whose full
// replacement text is long (EntityCosts). Where Xerces stops or skips quietly (a NUL character,
// an undecodable byte after the document element), endDocument compares what was read with the
// text itself. What the DOM builder does at a cost that grows faster than the text (many
// attributes on one element, a deep nest, many namespace declarations, long URIs used again and
// again) is checked by DocumentShape in the same callbacks, before the builder starts on it. The
// builder makes an element type's template of defaults anew at the end of each of its attribute
// lists, copying the last one; the templates are built once each instead, when the internal
// subset ends and every list is known (endIntSubset), which gives the same tree.
#include "VSXMLDocument.h"
#include "DocumentShape.h"
#include "XercesText.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <xercesc/dom/DOMException.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/XMLAttDefList.hpp>
#include <xercesc/framework/XMLAttr.hpp>
#include <xercesc/internal/ReaderMgr.hpp>
#include <xercesc/internal/XMLReader.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/validators/DTD/DTDAttDef.hpp>
#include <xercesc/validators/DTD/DTDElementDecl.hpp>
#include <xercesc/validators/DTD/DTDEntityDecl.hpp>

using vsxml::ToLocal;
using xercesc::DOMDocument;
using xercesc::DOMElement;
using xercesc::DOMException;
using xercesc::DTDAttDef;
using xercesc::DTDElementDecl;
using xercesc::DTDEntityDecl;
using xercesc::ErrorHandler;
using xercesc::InputSource;
using xercesc::Locator;
using xercesc::MemBufInputSource;
using xercesc::RefVectorOf;
using xercesc::SAXException;
using xercesc::SAXParseException;
using xercesc::SecurityManager;
using xercesc::XercesDOMParser;
using xercesc::XMLAttDefList;
using xercesc::XMLAttr;
using xercesc::XMLElementDecl;
using xercesc::XMLEntityDecl;
using xercesc::XMLEntityResolver;
using xercesc::XMLException;
using xercesc::XMLNotationDecl;
using xercesc::XMLPlatformUtils;
using xercesc::XMLReader;
using xercesc::XMLResourceIdentifier;
using xercesc::XMLString;

namespace {

// The first problem of one parse, from Xerces or from our own refusals. Errors that Xerces can
// go on after count as much as fatal ones: the tree they leave is not the author's document.
class FirstProblem : public ErrorHandler {
public:
    void warning(const SAXParseException&) override {}
    void error(const SAXParseException& e) override { Keep(e); }
    void fatalError(const SAXParseException& e) override { Keep(e); }
    void resetErrors() override {
        m_bFound = false;
        m_strMessage.clear();
        m_nLine = 0;
        m_nColumn = 0;
    }

    void Keep(const SAXParseException& e) {
        Keep(ToLocal(e.getMessage()), e.getLineNumber(), e.getColumnNumber());
    }
    void Keep(const std::string& message, uint64_t line, uint64_t column) {
        if (!m_bFound) {
            m_bFound = true;
            m_strMessage = message;
            m_nLine = line;
            m_nColumn = column;
        }
    }

    bool Found() const { return m_bFound; }
    const std::string& Message() const { return m_strMessage; }
    uint64_t Line() const { return m_nLine; }
    uint64_t Column() const { return m_nColumn; }

private:
    bool m_bFound = false;
    std::string m_strMessage;
    uint64_t m_nLine = 0;
    uint64_t m_nColumn = 0;
};

// Asked for every external entity, DTD or schema; answers none. With default resolution off,
// Xerces then opens nothing itself and fails the reference as an entity it cannot open.
class RefuseEverything : public XMLEntityResolver {
public:
    InputSource* resolveEntity(XMLResourceIdentifier*) override { return nullptr; }
};

// Thrown from a callback once the problem is kept: it ends the parse there.
struct ParseStopped {};

using Doctype = CVSXMLDocument::Doctype;

constexpr uint64_t kUnbounded = std::numeric_limits<uint64_t>::max();

// What every node costs besides its own text: the tree's fixed names ("#text", "#comment",
// "#cdata-section") and its bookkeeping. Rounded up, so that a tree of many small nodes is
// charged at least what a walk over its names and values finds.
constexpr uint64_t kNodeCharge = 16;

uint64_t Add(uint64_t a, uint64_t b) {
    return a > kUnbounded - b ? kUnbounded : a + b;
}

uint64_t Length(const XMLCh* text) {
    return XMLString::stringLen(text);
}

// The full replacement length of each general entity declared so far: its value with every
// reference in it expanded, plus one for the expansion itself, which costs work even when it adds
// nothing. A reference to a name not declared yet could later reach anything, so it makes the
// cost unbounded. Only the first declaration of a name counts, as in Xerces.
class EntityCosts {
public:
    void Declare(const DTDEntityDecl& entity) {
        std::u16string name(entity.getName());
        if (m_costs.count(name) != 0) {
            return;
        }
        const uint64_t cost = entity.isExternal() || entity.getValue() == nullptr
                                  ? 1
                                  : CostOf(entity.getValue(), entity.getValueLen());
        m_nLongest = std::max(m_nLongest, cost);
        m_costs.emplace(std::move(name), cost);
    }
    uint64_t Longest() const { return m_nLongest; }

private:
    static bool IsPredefined(const std::u16string& name) {
        return name == u"amp" || name == u"lt" || name == u"gt" || name == u"apos" ||
               name == u"quot";
    }

    // Character references were replaced when the value was read; what still starts with '&' and
    // not "&#" is an entity reference, expanded again wherever the entity is.
    uint64_t CostOf(const XMLCh* value, XMLSize_t length) const {
        const std::u16string text(value, length);
        uint64_t cost = Add(1, length);
        for (size_t at = text.find(u'&'); at != std::u16string::npos; at = text.find(u'&', at)) {
            const size_t end = text.find(u';', at);
            if (end == std::u16string::npos) {
                break;  // not a reference; Xerces refuses it when the entity is expanded
            }
            const std::u16string name = text.substr(at + 1, end - at - 1);
            at = end;
            if (!name.empty() && name[0] == u'#') {
                continue;
            }
            const auto found = m_costs.find(name);
            if (found != m_costs.end()) {
                cost = Add(cost, found->second);
            } else if (!IsPredefined(name)) {
                return kUnbounded;
            }
        }
        return cost;
    }

    std::unordered_map<std::u16string, uint64_t> m_costs;
    uint64_t m_nLongest = 0;
};

// What the parser is given pointers to. HardenedParser derives from it first, so it is built
// before the parser and outlives it.
struct ParserAids {
    FirstProblem m_problems;
    RefuseEverything m_resolver;
    SecurityManager m_security;
};

// Xerces' DOM parser set up to read the text it is given and nothing else, and to stop once the
// tree it builds grows past its budget. One per document.
class HardenedParser : private ParserAids, public XercesDOMParser {
public:
    explicit HardenedParser(Doctype doctype);

    // A problem that leaves Xerces as an exception rather than through the error handler is
    // kept like any other; exhaustion (OutOfMemoryException, std::bad_alloc) passes on.
    void ParseText(const std::string& text);
    const FirstProblem& Problems() const { return m_problems; }

    void startElement(const XMLElementDecl& elemDecl, const unsigned int urlId,
                      const XMLCh* const elemPrefix, const RefVectorOf<XMLAttr>& attrList,
                      const XMLSize_t attrCount, const bool isEmpty, const bool isRoot) override;
    void docCharacters(const XMLCh* const chars, const XMLSize_t length,
                       const bool cdataSection) override;
    void ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length,
                             const bool cdataSection) override;
    void docComment(const XMLCh* const comment) override;
    void docPI(const XMLCh* const target, const XMLCh* const data) override;
    void startEntityReference(const XMLEntityDecl& entDecl) override;
    void endEntityReference(const XMLEntityDecl& entDecl) override;
    void endElement(const XMLElementDecl& elemDecl, const unsigned int urlId, const bool isRoot,
                    const XMLCh* const elemPrefix) override;
    void endDocument() override;

    void doctypeDecl(const DTDElementDecl& root, const XMLCh* const publicId,
                     const XMLCh* const systemId, const bool hasIntSubset,
                     const bool hasExtSubset) override;
    void doctypeComment(const XMLCh* const comment) override;
    void doctypePI(const XMLCh* const target, const XMLCh* const data) override;
    void doctypeWhitespace(const XMLCh* const chars, const XMLSize_t length) override;
    void elementDecl(const DTDElementDecl& decl, const bool isIgnored) override;
    void startAttList(const DTDElementDecl& elemDecl) override;
    void attDef(const DTDElementDecl& elemDecl, const DTDAttDef& attDef,
                const bool ignoring) override;
    void endAttList(const DTDElementDecl& elemDecl) override;
    void endIntSubset() override;
    void entityDecl(const DTDEntityDecl& entityDecl, const bool isPEDecl,
                    const bool isIgnored) override;
    void notationDecl(const XMLNotationDecl& notDecl, const bool isIgnored) override;

private:
    [[noreturn]] void Stop(const std::string& message);
    void Charge(uint64_t characters);
    void ChargeCopy(uint64_t characters);
    void ChargeSubset();
    void Refuse(const std::string& problem);
    bool ReadToTheEnd() const;

    Doctype m_doctype;
    const std::string* m_pText = nullptr;
    uint64_t m_nBudget = 0;
    // Kept apart: an expansion's size is what its nodes cost, not the copies of the entities
    // nested in it (those are charged once each, by themselves).
    uint64_t m_nNodes = 0;
    uint64_t m_nCopies = 0;
    XMLSize_t m_nSubsetCharged = 0;
    EntityCosts m_entityCosts;
    vsxml::DocumentShape m_shape{0};
    // The element types whose attribute lists ended, in the order of their first list.
    std::vector<const DTDElementDecl*> m_pendingTemplates;
    std::unordered_set<const DTDElementDecl*> m_templated;
    // What the nodes had cost when each open entity reference began.
    std::vector<uint64_t> m_openReferences;
    // What each entity's Entity node will copy: the children of its last reference.
    std::unordered_map<const XMLEntityDecl*, uint64_t> m_entityCopies;
};

HardenedParser::HardenedParser(Doctype doctype) : m_doctype(doctype) {
    setErrorHandler(&m_problems);
    setXMLEntityResolver(&m_resolver);
    setDisableDefaultEntityResolution(true);
    setLoadExternalDTD(false);
    setValidationScheme(Val_Never);
    setDoSchema(false);
    setLoadSchema(false);
    setDoXInclude(false);
    setDoNamespaces(true);
    setCalculateSrcOfs(true);
    m_security.setEntityExpansionLimit(CVSXMLDocument::kEntityExpansionLimit);
    setSecurityManager(&m_security);
}

void HardenedParser::ParseText(const std::string& text) {
    m_pText = &text;
    m_shape = vsxml::DocumentShape(text.size());
    const uint64_t limit = CVSXMLDocument::kGrowthLimit;
    m_nBudget = text.size() > kUnbounded / limit ? kUnbounded : text.size() * limit;
    MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()), text.size(),
                             "document");
    try {
        parse(source);
    } catch (const ParseStopped&) {
        // the problem is kept
    } catch (const SAXParseException& e) {
        m_problems.Keep(e);
    } catch (const SAXException& e) {
        m_problems.Keep(ToLocal(e.getMessage()), 0, 0);
    } catch (const XMLException& e) {
        m_problems.Keep(ToLocal(e.getMessage()), 0, 0);
    } catch (const DOMException& e) {
        m_problems.Keep(ToLocal(e.getMessage()), 0, 0);
    }
}

void HardenedParser::Stop(const std::string& message) {
    const Locator* at = getScanner()->getLocator();
    m_problems.Keep(message, at->getLineNumber(), at->getColumnNumber());
    throw ParseStopped();
}

void HardenedParser::Refuse(const std::string& problem) {
    if (!problem.empty()) {
        Stop(problem);
    }
}

// Called before the parser's own handler builds what is charged, so that the tree never grows
// past the budget.
void HardenedParser::Charge(uint64_t characters) {
    m_nNodes = Add(m_nNodes, characters);
    ChargeCopy(0);
}

void HardenedParser::ChargeCopy(uint64_t characters) {
    m_nCopies = Add(m_nCopies, characters);
    if (Add(m_nNodes, m_nCopies) > m_nBudget) {
        Stop("the document grows to more than " + std::to_string(CVSXMLDocument::kGrowthLimit) +
             " times its length (through entities or attribute defaults), which is refused");
    }
}

// The parser's handler writes each declaration of the internal subset out again for the
// DocumentType node; parameter entities can replay a declaration any number of times.
void HardenedParser::ChargeSubset() {
    const XMLSize_t length = fInternalSubset.getLen();
    const XMLSize_t added = length > m_nSubsetCharged ? length - m_nSubsetCharged : 0;
    m_nSubsetCharged = length;
    Charge(kNodeCharge + added);
}

// The attribute list holds the defaulted attributes too: this is where a default is copied.
void HardenedParser::startElement(const XMLElementDecl& elemDecl, const unsigned int urlId,
                                  const XMLCh* const elemPrefix,
                                  const RefVectorOf<XMLAttr>& attrList, const XMLSize_t attrCount,
                                  const bool isEmpty, const bool isRoot) {
    uint64_t characters = kNodeCharge + Length(elemDecl.getFullName());
    for (XMLSize_t i = 0; i < attrCount; ++i) {
        const XMLAttr* attribute = attrList.elementAt(i);
        characters = Add(characters, kNodeCharge + Length(attribute->getQName()) +
                                         Length(attribute->getValue()));
    }
    Refuse(m_shape.Open(*getScanner(), urlId, attrList, attrCount, isEmpty));
    Charge(characters);
    XercesDOMParser::startElement(elemDecl, urlId, elemPrefix, attrList, attrCount, isEmpty,
                                  isRoot);
}

void HardenedParser::endElement(const XMLElementDecl& elemDecl, const unsigned int urlId,
                                const bool isRoot, const XMLCh* const elemPrefix) {
    m_shape.Close();
    XercesDOMParser::endElement(elemDecl, urlId, isRoot, elemPrefix);
}

void HardenedParser::docCharacters(const XMLCh* const chars, const XMLSize_t length,
                                   const bool cdataSection) {
    Charge(Add(kNodeCharge, length));
    XercesDOMParser::docCharacters(chars, length, cdataSection);
}

void HardenedParser::ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length,
                                         const bool cdataSection) {
    Charge(Add(kNodeCharge, length));
    XercesDOMParser::ignorableWhitespace(chars, length, cdataSection);
}

void HardenedParser::docComment(const XMLCh* const comment) {
    Charge(kNodeCharge + Length(comment));
    XercesDOMParser::docComment(comment);
}

void HardenedParser::docPI(const XMLCh* const target, const XMLCh* const data) {
    Charge(kNodeCharge + Length(target) + Length(data));
    XercesDOMParser::docPI(target, data);
}

void HardenedParser::startEntityReference(const XMLEntityDecl& entDecl) {
    Charge(kNodeCharge + Length(entDecl.getName()));
    m_openReferences.push_back(m_nNodes);
    XercesDOMParser::startEntityReference(entDecl);
}

// The entity's Entity node copies the children of its last reference when it is first read,
// nested references included; only what goes beyond the copy already charged is charged again.
void HardenedParser::endEntityReference(const XMLEntityDecl& entDecl) {
    XercesDOMParser::endEntityReference(entDecl);
    if (m_openReferences.empty()) {
        return;
    }
    const uint64_t expansion = m_nNodes - m_openReferences.back();
    m_openReferences.pop_back();
    uint64_t& copy = m_entityCopies[&entDecl];
    if (expansion > copy) {
        const uint64_t added = expansion - copy;
        copy = expansion;
        ChargeCopy(added);
    }
}

// The byte-order mark is not counted in the reader's offset; which one Xerces took depends on
// what follows, so any that the text starts with will do.
size_t ByteOrderMark(const std::string& text) {
    for (const std::string& mark :
         {std::string("\x00\x00\xFE\xFF", 4), std::string("\xFF\xFE\x00\x00", 4),
          std::string("\xEF\xBB\xBF"), std::string("\xFE\xFF"), std::string("\xFF\xFE")}) {
        if (text.compare(0, mark.size(), mark) == 0) {
            return mark.size();
        }
    }
    return 0;
}

// Xerces takes a byte after the document element that its decoder cannot finish for the end of
// the text and reports the document complete; the rest stays unread.
bool HardenedParser::ReadToTheEnd() const {
    const XMLReader* reader = getScanner()->getReaderMgr()->getCurrentReader();
    if (reader == nullptr) {
        return true;
    }
    if (reader->charsLeftInBuffer() > 0) {
        return false;
    }
    try {
        const uint64_t read = getScanner()->getSrcOffset();
        const uint64_t size = m_pText->size();
        if (read == size) {
            return true;
        }
        const size_t mark = ByteOrderMark(*m_pText);
        return mark != 0 && read + mark == size;
    } catch (const XMLException&) {
        return true;  // an encoding without offsets: the characters left are all there is to see
    }
}

// XML has no NUL character, yet Xerces reads one quietly in two places: after the document
// element it takes it for the end of the text, and in the XML declaration it skips it. The
// character is found in the text's own code units: one byte in every encoding but UTF-16 and
// UCS-4 / UTF-32, where a zero byte is part of other characters.
size_t NulUnitSize(const XMLCh* encoding) {
    for (const char16_t* wide : {u"UTF-16", u"UCS-2", u"ISO-10646-UCS-2"}) {
        if (XMLString::startsWithI(encoding, wide)) {
            return 2;
        }
    }
    for (const char16_t* wide : {u"UTF-32", u"UCS-4", u"ISO-10646-UCS-4"}) {
        if (XMLString::startsWithI(encoding, wide)) {
            return 4;
        }
    }
    return 1;
}

size_t FindNul(const std::string& text, size_t unit, size_t from) {
    if (unit == 1) {
        return text.find('\0');
    }
    const std::string zero(unit, '\0');
    for (size_t at = from; at + unit <= text.size(); at += unit) {
        if (text.compare(at, unit, zero) == 0) {
            return at;
        }
    }
    return std::string::npos;
}

// The 1-based line and column of a byte of a text in single-byte units.
std::pair<uint64_t, uint64_t> PositionOf(const std::string& text, size_t at) {
    const size_t lineStart = at == 0 ? std::string::npos : text.rfind('\n', at - 1);
    const auto end = text.begin() + static_cast<std::ptrdiff_t>(at);
    return {1 + static_cast<uint64_t>(std::count(text.begin(), end, '\n')),
            at - (lineStart == std::string::npos ? 0 : lineStart + 1) + 1};
}

void HardenedParser::endDocument() {
    const XMLReader* reader = getScanner()->getReaderMgr()->getCurrentReader();
    const size_t unit = reader != nullptr ? NulUnitSize(reader->getEncodingStr()) : 1;
    const size_t nul = FindNul(*m_pText, unit, unit == 1 ? 0 : ByteOrderMark(*m_pText));
    const Locator* at = getScanner()->getLocator();
    // In wider units a NUL is reported where the parser stopped, which is where it ends the text.
    std::pair<uint64_t, uint64_t> position{at->getLineNumber(), at->getColumnNumber()};
    if (nul != std::string::npos) {
        if (unit == 1) {
            position = PositionOf(*m_pText, nul);
        }
        m_problems.Keep(
            "the text holds a NUL character, which is not XML (the parser would skip "
            "it or stop reading there)",
            position.first, position.second);
    } else if (!ReadToTheEnd()) {
        m_problems.Keep(
            "the parser stopped reading before the end of the text, at a byte that is "
            "not valid in its encoding",
            position.first, position.second);
    }
    XercesDOMParser::endDocument();
}

// Called before anything in the DOCTYPE is read. Xerces skips an external DTD it may not load and
// then lets references to the entities it would have declared vanish without a word; a document
// that needs its DTD is refused instead.
void HardenedParser::doctypeDecl(const DTDElementDecl& root, const XMLCh* const publicId,
                                 const XMLCh* const systemId, const bool hasIntSubset,
                                 const bool hasExtSubset) {
    if (m_doctype == Doctype::Refuse) {
        Stop(
            "the document has a DOCTYPE declaration, which is refused unless the caller asks "
            "for an internal subset to be read");
    }
    Charge(kNodeCharge + Length(root.getFullName()) + Length(publicId) + Length(systemId));
    XercesDOMParser::doctypeDecl(root, publicId, systemId, hasIntSubset, hasExtSubset);
    if (hasExtSubset) {
        const Locator* at = getScanner()->getLocator();
        m_problems.Keep(
            "the document names an external DTD '" + ToLocal(systemId) + "', which is never loaded",
            at->getLineNumber(), at->getColumnNumber());
    }
}

void HardenedParser::doctypeComment(const XMLCh* const comment) {
    XercesDOMParser::doctypeComment(comment);
    ChargeSubset();
}

void HardenedParser::doctypePI(const XMLCh* const target, const XMLCh* const data) {
    XercesDOMParser::doctypePI(target, data);
    ChargeSubset();
}

void HardenedParser::doctypeWhitespace(const XMLCh* const chars, const XMLSize_t length) {
    XercesDOMParser::doctypeWhitespace(chars, length);
    ChargeSubset();
}

void HardenedParser::elementDecl(const DTDElementDecl& decl, const bool isIgnored) {
    XercesDOMParser::elementDecl(decl, isIgnored);
    ChargeSubset();
}

// Called before the list's defaults are read: Xerces expands the entity references in a default
// without counting them, so a list may follow only entities whose expansion is short.
void HardenedParser::startAttList(const DTDElementDecl& elemDecl) {
    if (m_entityCosts.Longest() > CVSXMLDocument::kAttributeDefaultEntityLimit) {
        Stop(
            "an attribute-list declaration follows an entity whose replacement text is longer "
            "than " +
            std::to_string(CVSXMLDocument::kAttributeDefaultEntityLimit) +
            " characters, which is refused (its defaults could copy that text without bound)");
    }
    XercesDOMParser::startAttList(elemDecl);
    ChargeSubset();
}

void HardenedParser::attDef(const DTDElementDecl& elemDecl, const DTDAttDef& attDef,
                            const bool ignoring) {
    XercesDOMParser::attDef(elemDecl, attDef, ignoring);
    ChargeSubset();
}

// Xerces' own handler would close the declaration in the subset's text and build the element
// type's template of defaults; the template waits for endIntSubset.
void HardenedParser::endAttList(const DTDElementDecl& elemDecl) {
    if (elemDecl.hasAttDefs()) {
        Refuse(vsxml::DocumentShape::AttributeList(elemDecl.getAttDefList().getAttDefCount()));
        if (m_templated.insert(&elemDecl).second) {
            m_pendingTemplates.push_back(&elemDecl);
        }
    }
    fInternalSubset.append(xercesc::chCloseAngle);  // only an internal subset is ever read
    ChargeSubset();
}

// Once the subset is read, the handler builds each template without writing to the subset's
// text; a template holds every default its element type has.
void HardenedParser::endIntSubset() {
    XercesDOMParser::endIntSubset();
    for (const DTDElementDecl* elemDecl : m_pendingTemplates) {
        uint64_t characters = kNodeCharge + Length(elemDecl->getFullName());
        const XMLAttDefList& defaults = elemDecl->getAttDefList();
        for (XMLSize_t i = 0; i < defaults.getAttDefCount(); ++i) {
            const xercesc::XMLAttDef& attribute = defaults.getAttDef(i);
            characters = Add(characters, kNodeCharge + Length(attribute.getFullName()) +
                                             Length(attribute.getValue()));
        }
        Charge(characters);
        XercesDOMParser::endAttList(*elemDecl);
    }
}

void HardenedParser::entityDecl(const DTDEntityDecl& entityDecl, const bool isPEDecl,
                                const bool isIgnored) {
    XercesDOMParser::entityDecl(entityDecl, isPEDecl, isIgnored);
    if (!isPEDecl && !isIgnored) {
        m_entityCosts.Declare(entityDecl);
    }
    ChargeSubset();
}

void HardenedParser::notationDecl(const XMLNotationDecl& notDecl, const bool isIgnored) {
    XercesDOMParser::notationDecl(notDecl, isIgnored);
    ChargeSubset();
}

}  // namespace

CVSXMLDocument::CXercesUse::CXercesUse() {
    XMLPlatformUtils::Initialize();
}

CVSXMLDocument::CXercesUse::~CXercesUse() {
    XMLPlatformUtils::Terminate();
}

void CVSXMLDocument::CDocumentRelease::operator()(DOMDocument* document) const {
    document->release();
}

CVSXMLDocument::CVSXMLDocument() = default;
CVSXMLDocument::~CVSXMLDocument() = default;

bool CVSXMLDocument::Parse(const std::string& text) {
    return Parse(text, Doctype::Refuse);
}

// The old tree goes first, so that a failure, an exception included, never leaves it readable
// as if it were the new one.
bool CVSXMLDocument::Parse(const std::string& text, Doctype doctype) {
    Clear();
    HardenedParser parser(doctype);
    parser.ParseText(text);
    const FirstProblem& problem = parser.Problems();
    if (problem.Found()) {
        m_strErrorMessage = problem.Message();
        m_nErrorLine = problem.Line();
        m_nErrorColumn = problem.Column();
        return false;
    }
    m_pDocument.reset(parser.adoptDocument());
    return true;
}

DOMDocument* CVSXMLDocument::Document() const {
    return m_pDocument.get();
}

DOMElement* CVSXMLDocument::Root() const {
    return m_pDocument != nullptr ? m_pDocument->getDocumentElement() : nullptr;
}

const std::string& CVSXMLDocument::ErrorMessage() const {
    return m_strErrorMessage;
}

uint64_t CVSXMLDocument::ErrorLine() const {
    return m_nErrorLine;
}

uint64_t CVSXMLDocument::ErrorColumn() const {
    return m_nErrorColumn;
}

void CVSXMLDocument::Clear() {
    m_pDocument.reset();
    m_strErrorMessage.clear();
    m_nErrorLine = 0;
    m_nErrorColumn = 0;
}
