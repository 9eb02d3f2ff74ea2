#include "VSXMLDocument.h"

#include <memory>

#include <xercesc/dom/DOMException.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
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

using xercesc::DOMDocument;
using xercesc::DOMElement;
using xercesc::DOMException;
using xercesc::DTDElementDecl;
using xercesc::ErrorHandler;
using xercesc::InputSource;
using xercesc::Locator;
using xercesc::MemBufInputSource;
using xercesc::SAXException;
using xercesc::SAXParseException;
using xercesc::SecurityManager;
using xercesc::XercesDOMParser;
using xercesc::XMLEntityResolver;
using xercesc::XMLException;
using xercesc::XMLPlatformUtils;
using xercesc::XMLResourceIdentifier;
using xercesc::XMLString;

namespace {

struct LocalTextRelease {
    void operator()(char* text) const { XMLString::release(&text); }
};

// In the local code page, as CVSXMLParser gives DOM strings.
std::string ToLocal(const XMLCh* text) {
    if (text == nullptr) {
        return std::string();
    }
    const std::unique_ptr<char, LocalTextRelease> local(XMLString::transcode(text));
    return local != nullptr ? std::string(local.get()) : std::string();
}

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

// What the parser is given pointers to. HardenedParser derives from it first, so it is built
// before the parser and outlives it.
struct ParserAids {
    FirstProblem m_problems;
    RefuseEverything m_resolver;
    SecurityManager m_security;
};

// Xerces' DOM parser set up to read the text it is given and nothing else. One per document.
class HardenedParser : private ParserAids, public XercesDOMParser {
public:
    HardenedParser();

    // A problem that leaves Xerces as an exception rather than through the error handler is
    // kept like any other; exhaustion (OutOfMemoryException, std::bad_alloc) passes on.
    void ParseText(const std::string& text);
    const FirstProblem& Problems() const { return m_problems; }

    void doctypeDecl(const DTDElementDecl& root, const XMLCh* const publicId,
                     const XMLCh* const systemId, const bool hasIntSubset,
                     const bool hasExtSubset) override;
};

HardenedParser::HardenedParser() {
    setErrorHandler(&m_problems);
    setXMLEntityResolver(&m_resolver);
    setDisableDefaultEntityResolution(true);
    setLoadExternalDTD(false);
    setValidationScheme(Val_Never);
    setDoSchema(false);
    setLoadSchema(false);
    setDoXInclude(false);
    setDoNamespaces(true);
    m_security.setEntityExpansionLimit(CVSXMLDocument::kEntityExpansionLimit);
    setSecurityManager(&m_security);
}

void HardenedParser::ParseText(const std::string& text) {
    MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()), text.size(),
                             "document");
    try {
        parse(source);
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

// Xerces skips an external DTD it may not load and then lets references to the entities it
// would have declared vanish without a word; a document that needs its DTD is refused instead.
void HardenedParser::doctypeDecl(const DTDElementDecl& root, const XMLCh* const publicId,
                                 const XMLCh* const systemId, const bool hasIntSubset,
                                 const bool hasExtSubset) {
    XercesDOMParser::doctypeDecl(root, publicId, systemId, hasIntSubset, hasExtSubset);
    if (hasExtSubset) {
        const Locator* at = getScanner()->getLocator();
        m_problems.Keep(
            "the document names an external DTD '" + ToLocal(systemId) + "', which is never loaded",
            at->getLineNumber(), at->getColumnNumber());
    }
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

// The old tree goes first, so that a failure, an exception included, never leaves it readable
// as if it were the new one.
bool CVSXMLDocument::Parse(const std::string& text) {
    Clear();
    HardenedParser parser;
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
