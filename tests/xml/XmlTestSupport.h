// Shared helpers of the XML tests.
//
// Test documents parsed from XML text with Xerces' own DOM parser, so that the helper works on
// real DOM nodes. Xerces must stay initialised (a CVSXMLParser alive) while an XmlTestDoc
// lives.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>

// ASCII test texts only: a plain widening and narrowing keeps the tests independent of the
// transcoding under test.
inline std::u16string X(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

inline std::string Narrow(const XMLCh* text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text) {
        out += static_cast<char>(*text);
    }
    return out;
}

class XmlTestDoc {
public:
    explicit XmlTestDoc(const std::string& text)
        : m_pParser(std::make_unique<xercesc::XercesDOMParser>()) {
        m_pParser->setDoNamespaces(true);
        xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()),
                                          text.size(), "test");
        m_pParser->parse(source);
        EXPECT_EQ(m_pParser->getErrorCount(), 0u) << text;
    }

    xercesc::DOMDocument* Document() const { return m_pParser->getDocument(); }
    xercesc::DOMElement* Root() const { return Document()->getDocumentElement(); }

    // The first element of that qualified name, in document order.
    xercesc::DOMElement* Element(const std::string& name) const {
        auto* node = Document()->getElementsByTagName(X(name).c_str())->item(0);
        EXPECT_NE(node, nullptr) << name;
        return static_cast<xercesc::DOMElement*>(node);
    }

    xercesc::DOMAttr* Attribute(const std::string& element, const std::string& name) const {
        auto* attr = Element(element)->getAttributeNode(X(name).c_str());
        EXPECT_NE(attr, nullptr) << element << "/@" << name;
        return attr;
    }

private:
    std::unique_ptr<xercesc::XercesDOMParser> m_pParser;
};

// The children of a node as "name" or "name=text" (text nodes as "#text=..."), in order.
inline std::vector<std::string> Children(xercesc::DOMNode* parent) {
    std::vector<std::string> out;
    for (auto* c = parent->getFirstChild(); c != nullptr; c = c->getNextSibling()) {
        std::string entry = Narrow(c->getNodeName());
        if (c->getFirstChild() != nullptr || c->getNodeType() == xercesc::DOMNode::TEXT_NODE) {
            entry += "=" + Narrow(c->getTextContent());
        }
        out.push_back(entry);
    }
    return out;
}

// Sets the process's local zone for one test and puts the previous one back.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        const char* old = getenv("TZ");
        m_bHadZone = old != nullptr;
        m_strOld = m_bHadZone ? old : "";
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (m_bHadZone) {
            setenv("TZ", m_strOld.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool m_bHadZone;
    std::string m_strOld;
};
