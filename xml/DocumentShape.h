// What a document may hold where Xerces' cost grows faster than the text, watched from the
// parser's callbacks before the DOM builder does the work. Internal to vssupport: not installed.
//
// Xerces' DOM builder compares every attribute it adds to an element with those already there,
// looks every element's namespace up through all open elements and their declarations, and
// hashes and compares a name's whole namespace URI each time the name is used. None of it is
// visible in the text's length: a flat element of many attributes, a deep nest, a long URI named by
// many short elements each cost the square of their length. The scanner's own work on a start tag
// is linear (it checks duplicates by hashing), so the callbacks are early enough: each one that
// would start quadratic work first checks the shape against CVSXMLDocument's limits, and the
// URI characters compared again for what is within them are charged against a budget per byte
// of text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <xercesc/framework/XMLAttr.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/util/RefVectorOf.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "VSXMLDocument.h"

namespace vsxml {

class DocumentShape {
public:
    explicit DocumentShape(size_t textSize) {
        constexpr uint64_t limit = CVSXMLDocument::kRepeatedWorkLimit;
        const uint64_t size = textSize;
        m_nWorkBudget = size > kUnbounded / limit ? kUnbounded : size * limit;
    }

    // Checks an element about to be built; an empty result means it is within the limits. The
    // scanner has already looked its names up through what was open, which the depth and the
    // declarations in scope bound.
    std::string Open(const xercesc::XMLScanner& scanner, unsigned int uriId,
                     const xercesc::RefVectorOf<xercesc::XMLAttr>& attributes, XMLSize_t count,
                     bool isEmpty) {
        if (count > CVSXMLDocument::kAttributeLimit) {
            return "an element has more than " + std::to_string(CVSXMLDocument::kAttributeLimit) +
                   " attributes, which is refused";
        }
        if (m_nDepth >= CVSXMLDocument::kDepthLimit) {
            return "elements nest more than " + std::to_string(CVSXMLDocument::kDepthLimit) +
                   " deep, which is refused";
        }
        uint64_t work = UriLength(scanner, uriId);
        uint32_t declarations = 0;
        for (XMLSize_t i = 0; i < count; ++i) {
            const xercesc::XMLAttr* attribute = attributes.elementAt(i);
            const unsigned int id = attribute->getURIId();
            if (id == scanner.getXMLNSNamespaceId() || IsDefaultDeclaration(*attribute)) {
                ++declarations;
            }
            work += UriLength(scanner, id);
        }
        m_nInScope += declarations;
        if (m_nInScope > CVSXMLDocument::kNamespaceLimit) {
            return "more than " + std::to_string(CVSXMLDocument::kNamespaceLimit) +
                   " namespace declarations are in scope at once, which is refused";
        }
        if (!isEmpty) {
            m_declarations.push_back(declarations);
            ++m_nDepth;
        } else {
            m_nInScope -= declarations;
        }
        return Charge(work);
    }

    void Close() {
        if (m_nDepth > 0) {
            --m_nDepth;
            m_nInScope -= m_declarations.back();
            m_declarations.pop_back();
        }
    }

    // An element type's defaults become its template element, whose every default the builder
    // compares with those added before it.
    static std::string AttributeList(XMLSize_t defaults) {
        if (defaults <= CVSXMLDocument::kAttributeLimit) {
            return {};
        }
        return "an element type declares more than " +
               std::to_string(CVSXMLDocument::kAttributeLimit) + " attributes, which is refused";
    }

private:
    static constexpr uint64_t kUnbounded = std::numeric_limits<uint64_t>::max();
    static constexpr uint32_t kUnknown = std::numeric_limits<uint32_t>::max();

    static bool IsDefaultDeclaration(const xercesc::XMLAttr& attribute) {
        const XMLCh* prefix = attribute.getPrefix();
        return (prefix == nullptr || *prefix == 0) &&
               xercesc::XMLString::equals(attribute.getName(), xercesc::XMLUni::fgXMLNSString);
    }

    // Every name in a namespace makes the DOM builder hash and compare its URI again. Lengths
    // are kept by the scanner's URI id, so that each URI is measured once.
    uint64_t UriLength(const xercesc::XMLScanner& scanner, unsigned int id) {
        if (id == scanner.getEmptyNamespaceId()) {
            return 0;
        }
        if (id >= m_uriLengths.size()) {
            m_uriLengths.resize(id + 1, kUnknown);
        }
        if (m_uriLengths[id] == kUnknown) {
            m_uriLengths[id] =
                static_cast<uint32_t>(xercesc::XMLString::stringLen(scanner.getURIText(id)));
        }
        return m_uriLengths[id];
    }

    std::string Charge(uint64_t work) {
        m_nWork = work > kUnbounded - m_nWork ? kUnbounded : m_nWork + work;
        if (m_nWork <= m_nWorkBudget) {
            return {};
        }
        return "the names of the document use namespace URIs of more than " +
               std::to_string(CVSXMLDocument::kRepeatedWorkLimit) +
               " characters per byte of its text in all, which is refused (each use compares "
               "the whole URI again)";
    }

    uint64_t m_nWorkBudget = 0;
    uint64_t m_nWork = 0;
    uint32_t m_nDepth = 0;
    uint64_t m_nInScope = 0;
    // The declarations each open element made, innermost last.
    std::vector<uint32_t> m_declarations;
    std::vector<uint32_t> m_uriLengths;
};

}  // namespace vsxml
