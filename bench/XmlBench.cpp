// Reading values out of a parsed document: CVSXMLParser's readers against XMLString::transcode
// / release plus the same conversions (std::stoull, strcasecmp, std::get_time and mktime).
//
// The document lists 25,000 VMs (908 KB); each gives four values, 100,000 per pass:
//     <vm sizeBytes="5000000123"><name>vm-00042</name><powered>true</powered>
//         <created>2020-01-02T03:04:05</created></vm>
//
// Parsing, by bytes a second: CVSXMLDocument::Parse of that list (xml_parse/vm_list), and of
// documents of the shapes whose cost inside Xerces grows with the square of their length, each at
// 64 KiB, 256 KiB and 1 MiB (xml_parse_<shape>/<size>). Whether the reader refuses such a text or
// reads it, its time per byte must stay within 2x of the list's and must not grow with the size.
#include <strings.h>

#include <cstdio>
#include <ctime>
#include <iomanip>
#include <memory>
#include <sstream>
#include <string>
#include <vector>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/util/XMLString.hpp>

#include "BenchMain.h"
#include "VSXMLDocument.h"
#include "VSXMLParser.h"

using xercesc::DOMNode;
using xercesc::XMLString;

namespace {

struct VmNodes {
    DOMNode* name;
    DOMNode* sizeBytes;  // the attribute node
    DOMNode* powered;
    DOMNode* created;
};

// The parser owns the document; the CVSXMLParser keeps Xerces initialised around both.
struct ParsedDocument {
    CVSXMLParser xml;
    std::unique_ptr<xercesc::XercesDOMParser> parser;
    std::vector<VmNodes> vms;
};

std::string DocumentText(size_t count) {
    std::string text = "<?xml version=\"1.0\"?>\n<vms>";
    char record[256];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(record, sizeof record,
                      "<vm sizeBytes=\"%llu\"><name>vm-%05zu</name><powered>%s</powered>"
                      "<created>2020-%02zu-%02zuT%02zu:04:05</created></vm>\n",
                      5000000000ULL + i, i, i % 3 == 0 ? "false" : "true", 1 + i % 12, 1 + i % 28,
                      i % 24);
        text += record;
    }
    return text + "</vms>\n";
}

// A Xerces string made once and released at the end of the scope.
class XmlName {
public:
    explicit XmlName(const char* text) : m_pText(XMLString::transcode(text)) {}
    ~XmlName() { XMLString::release(&m_pText); }
    XmlName(const XmlName&) = delete;
    XmlName& operator=(const XmlName&) = delete;
    const XMLCh* Get() const { return m_pText; }

private:
    XMLCh* m_pText;
};

DOMNode* Child(DOMNode* parent, const XmlName& name) {
    for (DOMNode* node = parent->getFirstChild(); node != nullptr; node = node->getNextSibling()) {
        if (node->getNodeType() == DOMNode::ELEMENT_NODE &&
            XMLString::equals(node->getNodeName(), name.Get())) {
            return node;
        }
    }
    return nullptr;
}

ParsedDocument& Document() {
    static ParsedDocument* document = [] {
        auto* d = new ParsedDocument;  // lives until exit: Xerces must outlive every node
        const std::string text = DocumentText(vsbench::Size(25000, 50));
        xercesc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()),
                                          text.size(), "vms.xml");
        d->parser = std::make_unique<xercesc::XercesDOMParser>();
        d->parser->parse(source);
        DOMNode* root = d->parser->getDocument()->getDocumentElement();
        const XmlName sizeName("sizeBytes"), name("name"), powered("powered"), created("created");
        for (DOMNode* vm = root->getFirstChild(); vm != nullptr; vm = vm->getNextSibling()) {
            if (vm->getNodeType() != DOMNode::ELEMENT_NODE) {
                continue;
            }
            auto* element = static_cast<xercesc::DOMElement*>(vm);
            d->vms.push_back({Child(vm, name), element->getAttributeNode(sizeName.Get()),
                              Child(vm, powered), Child(vm, created)});
        }
        return d;
    }();
    return *document;
}

struct Values {
    size_t nameBytes = 0;
    unsigned long long sizes = 0;
    size_t powered = 0;
    long long created = 0;
};

void Report(benchmark::State& state, const Values& values, size_t count) {
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(4 * count));
    // The sums show that both sides read the same values.
    state.counters["powered_per_pass"] =
        state.iterations() > 0 ? static_cast<double>(values.powered / state.iterations()) : 0.0;
    benchmark::DoNotOptimize(values.nameBytes + values.sizes + values.created);
}

// One pass over the document: the timed work, a function of its own for callgrind.
[[gnu::noinline]] void LibPass(CVSXMLParser& xml, const std::vector<VmNodes>& vms, Values& values) {
    for (const VmNodes& vm : vms) {
        values.nameBytes += xml.GetElementStringValue(vm.name).size();
        values.sizes += xml.GetAttributeUInt64Value(vm.sizeBytes);
        values.powered += xml.GetElementBoolValue(vm.powered) ? 1 : 0;
        values.created += xml.GetElementDateTimeValue(vm.created);
    }
}

void Lib(benchmark::State& state) {
    ParsedDocument& d = Document();
    Values values;
    for (auto _ : state) {
        LibPass(d.xml, d.vms, values);
    }
    Report(state, values, d.vms.size());
}

std::string Local(const XMLCh* text) {
    char* local = XMLString::transcode(text);
    std::string result(local);
    XMLString::release(&local);
    return result;
}

[[gnu::noinline]] void RawPass(const std::vector<VmNodes>& vms, Values& values) {
    for (const VmNodes& vm : vms) {
        values.nameBytes += Local(vm.name->getTextContent()).size();
        values.sizes += std::stoull(Local(vm.sizeBytes->getNodeValue()), nullptr, 10);
        values.powered += strcasecmp(Local(vm.powered->getTextContent()).c_str(), "true") == 0;
        std::tm fields{};
        std::istringstream stream(Local(vm.created->getTextContent()));
        stream >> std::get_time(&fields, "%Y-%m-%dT%H:%M:%S");
        values.created += mktime(&fields);
    }
}

void Raw(benchmark::State& state) {
    ParsedDocument& d = Document();
    Values values;
    for (auto _ : state) {
        RawPass(d.vms, values);
    }
    Report(state, values, d.vms.size());
}

// The shapes, each filled to about `size` bytes:
//  - attributes: one element with size/12 attributes;
//  - depth: elements nested size/7 deep;
//  - prefixes: an element declaring size/26 prefixes bound to one namespace, then elements using
//    them;
//  - long_uri: one namespace URI of size/2 characters, then elements in that namespace;
//  - attlist: a DOCTYPE of size/50 attribute-list declarations for one element, parsed with
//    Doctype::ReadInternalSubset.
std::string Attributes(size_t size) {
    std::string text = "<r";
    for (size_t i = 0; text.size() + 2 < size; ++i) {
        text += " a" + std::to_string(i) + "=\"v\"";
    }
    return text + "/>";
}

std::string Depth(size_t size) {
    const size_t levels = size / 7;
    std::string text;
    text.reserve(size);
    for (size_t i = 0; i < levels; ++i) {
        text += "<a>";
    }
    for (size_t i = 0; i < levels; ++i) {
        text += "</a>";
    }
    return text;
}

std::string Prefixes(size_t size) {
    std::string text = "<r";
    size_t count = 0;
    for (; text.size() < size / 2; ++count) {
        text += " xmlns:p" + std::to_string(count) + "=\"urn:x\"";
    }
    text += ">";
    for (size_t i = 0; text.size() + 4 < size; ++i) {
        text += "<p" + std::to_string(i % count) + ":e/>";
    }
    return text + "</r>";
}

std::string LongUri(size_t size) {
    std::string text = "<r xmlns=\"urn:" + std::string(size / 2, 'u') + "\">";
    while (text.size() + 4 < size) {
        text += "<e/>";
    }
    return text + "</r>";
}

std::string AttributeLists(size_t size) {
    std::string text = "<!DOCTYPE r [";
    for (size_t i = 0; text.size() + 6 < size; ++i) {
        text += "<!ATTLIST r a" + std::to_string(i) + " CDATA \"v\">";
    }
    return text + "]><r/>";
}

void ParseBench(benchmark::State& state, const std::string& text, CVSXMLDocument::Doctype doctype) {
    CVSXMLDocument document;
    int64_t accepted = 0;
    for (auto _ : state) {
        accepted += document.Parse(text, doctype) ? 1 : 0;
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
    state.counters["accepted"] =
        state.iterations() > 0
            ? static_cast<double>(accepted) / static_cast<double>(state.iterations())
            : 0.0;
}

void RegisterParse(const std::string& name, std::string text, CVSXMLDocument::Doctype doctype) {
    vsbench::Configure(benchmark::RegisterBenchmark(name.c_str(), [text = std::move(text), doctype](
                                                                      benchmark::State& state) {
        ParseBench(state, text, doctype);
    }))->Unit(benchmark::kMillisecond);
}

void RegisterParsing() {
    using Doctype = CVSXMLDocument::Doctype;
    RegisterParse("xml_parse/vm_list", DocumentText(vsbench::Size(25000, 50)), Doctype::Refuse);
    const struct {
        const char* name;
        std::string (*make)(size_t);
        Doctype doctype;
    } shapes[] = {
        {"attributes", Attributes, Doctype::Refuse},
        {"depth", Depth, Doctype::Refuse},
        {"prefixes", Prefixes, Doctype::Refuse},
        {"long_uri", LongUri, Doctype::Refuse},
        {"attlist", AttributeLists, Doctype::ReadInternalSubset},
    };
    for (const auto& shape : shapes) {
        for (const auto& [label, size] : {std::pair<const char*, size_t>{"64KiB", 64U << 10},
                                          {"256KiB", 256U << 10},
                                          {"1MiB", 1U << 20}}) {
            RegisterParse(std::string("xml_parse_") + shape.name + "/" + label,
                          shape.make(vsbench::Size(size, 4096)), shape.doctype);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    vsbench::ParseSmoke(argc, argv);
    using vsbench::Configure;
    Configure(benchmark::RegisterBenchmark("xml_read/lib", Lib))->Unit(benchmark::kMillisecond);
    Configure(benchmark::RegisterBenchmark("xml_read/raw", Raw))->Unit(benchmark::kMillisecond);
    RegisterParsing();
    return vsbench::Run(argc, argv);
}
