#include "Inventory.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <sstream>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufFormatTarget.hpp>

#include "Printable.h"
#include "VSXMLDocument.h"

using namespace xercesc;

namespace {

// The library's reader parses the text (nothing outside it is ever loaded); a failure becomes
// one sentence with its position, for the one line the program prints.
bool ReadDocument(CVSXMLDocument& document, const std::string& text, std::string& error) {
    if (document.Parse(text)) {
        return true;
    }
    error = "line " + std::to_string(document.ErrorLine()) + ", column " +
            std::to_string(document.ErrorColumn()) + ": " + document.ErrorMessage();
    return false;
}

// Every attribute and child element of a <vm> goes past every matcher; each takes its own.
void ReadVm(CVSXMLParser& xml, DOMElement* element, VmRecord& vm) {
    DOMNamedNodeMap* attributes = element->getAttributes();
    for (XMLSize_t i = 0; i < attributes->getLength(); ++i) {
        DOMNode* attribute = attributes->item(i);
        xml.ParseFromAttributeValue(attribute, "id", vm.id) ||
            xml.ParseFromAttributeValue(attribute, "template", vm.isTemplate);
    }
    for (DOMNode* child = element->getFirstChild(); child; child = child->getNextSibling()) {
        if (child->getNodeType() != DOMNode::ELEMENT_NODE) {
            continue;
        }
        xml.ParseFromElementValue(child, "name", vm.name) ||
            xml.ParseFromElementValue(child, "memoryMB", vm.memoryMB) ||
            xml.ParseFromElementValue(child, "diskBytes", vm.diskBytes) ||
            xml.ParseFromElementValue(child, "created", vm.created);
    }
}

// Local time, in the report's form or in the XML form that the date-time reader takes back.
std::string FormatTime(long seconds, const char* format) {
    const time_t t = seconds;
    struct tm local;
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

std::string Join(const std::vector<std::string>& items, const char* separator) {
    std::string out;
    for (const auto& item : items) {
        out += (out.empty() ? "" : separator) + Printable(item);
    }
    return out;
}

std::string Serialise(DOMDocument* document) {
    DOMImplementation* impl = document->getImplementation();
    std::unique_ptr<DOMLSSerializer, void (*)(DOMLSSerializer*)> writer(
        impl->createLSSerializer(), [](DOMLSSerializer* w) { w->release(); });
    std::unique_ptr<DOMLSOutput, void (*)(DOMLSOutput*)> output(
        impl->createLSOutput(), [](DOMLSOutput* o) { o->release(); });
    writer->getDomConfig()->setParameter(XMLUni::fgDOMWRTFormatPrettyPrint, true);
    MemBufFormatTarget target;
    output->setByteStream(&target);
    output->setEncoding(u"UTF-8");
    try {
        writer->write(document, output.get());
    } catch (const DOMLSException&) {
        return {};  // a character no XML document may hold, such as U+FFFF in a tag
    }
    return std::string(reinterpret_cast<const char*>(target.getRawBuffer()), target.getLen());
}

}  // namespace

bool ParseVmPage(CVSXMLParser& xml, const std::string& text, std::vector<VmRecord>& vms,
                 unsigned& total, std::string& error) {
    CVSXMLDocument document;
    if (!ReadDocument(document, text, error)) {
        return false;
    }
    DOMElement* root = document.Root();
    if (xml.GetNodeName(root) != "vms") {
        error = "the document is not a VM list";
        return false;
    }
    DOMAttr* count = root->getAttributeNode(u"total");
    total = count != nullptr ? xml.GetAttributeUIntValue(count) : 0;
    for (DOMNode* child = root->getFirstChild(); child; child = child->getNextSibling()) {
        if (child->getNodeType() == DOMNode::ELEMENT_NODE && xml.GetNodeName(child) == "vm") {
            VmRecord vm;
            ReadVm(xml, static_cast<DOMElement*>(child), vm);
            vms.push_back(std::move(vm));
        }
    }
    return true;
}

bool ParsePlacement(CVSXMLParser& xml, const std::string& text, VmRecord& vm, std::string& error) {
    CVSXMLDocument document;
    if (!ReadDocument(document, text, error)) {
        return false;
    }
    DOMElement* root = document.Root();
    if (xml.GetNodeName(root) != "placement") {
        error = "the document is not a placement";
        return false;
    }
    for (DOMNode* child = root->getFirstChild(); child; child = child->getNextSibling()) {
        xml.ParseFromElementValue(child, "host", vm.host) ||
            xml.ParseFromElementValue(child, "datastore", vm.datastore);
    }
    return true;
}

std::string XmlReport(CVSXMLParser& xml, const std::string& source,
                      const std::vector<VmRecord>& vms) {
    DOMImplementation* impl = DOMImplementationRegistry::getDOMImplementation(u"LS");
    std::unique_ptr<DOMDocument, void (*)(DOMDocument*)> document(
        impl->createDocument(nullptr, u"inventory", nullptr), [](DOMDocument* d) { d->release(); });
    DOMElement* root = document->getDocumentElement();
    xml.AddAttribute(root, "source", Printable(source), false);
    xml.AddAttribute(root, "count", static_cast<unsigned int>(vms.size()));
    for (const VmRecord& vm : vms) {
        DOMNode* node = xml.AddElement(root, "vm");
        xml.AddAttribute(node, "id", Printable(vm.id), false);
        xml.AddAttribute(node, "placementFromCache", vm.placementFromCache);
        xml.AddElement(node, "name", Printable(vm.name), true);
        xml.AddElement(node, "template", vm.isTemplate, false);  // written only when true
        xml.AddElement(node, "memoryMB", vm.memoryMB);
        xml.AddElement(node, "diskBytes", vm.diskBytes);
        xml.AddElement(node, "created", FormatTime(vm.created, "%Y-%m-%dT%H:%M:%S"), false);
        xml.AddElement(node, "host", Printable(vm.host), false);
        xml.AddElement(node, "datastore", Printable(vm.datastore), false);
        DOMNode* tags = xml.AddElement(node, "tags");
        for (const std::string& tag : vm.tags) {
            xml.AddElement(tags, "tag", Printable(tag), false);
        }
    }
    return Serialise(document.get());
}

std::string TableReport(const std::string& source, const std::vector<VmRecord>& vms) {
    std::ostringstream out;
    char line[512];
    std::snprintf(line, sizeof line, "%-9s %-10s %8s %8s %-16s %-7s %-27s %s\n", "ID", "NAME",
                  "MEMORY", "DISK", "CREATED", "HOST", "DATASTORE", "TAGS");
    out << line;
    size_t fromCache = 0;
    for (const VmRecord& vm : vms) {
        const std::string name = Printable(vm.name) + (vm.isTemplate ? "*" : "");
        std::snprintf(line, sizeof line, "%-9s %-10s %5u MB %5llu GB %-16s %-7s %-27s %s\n",
                      Printable(vm.id).c_str(), name.c_str(), vm.memoryMB, vm.diskBytes >> 30,
                      FormatTime(vm.created, "%Y-%m-%d %H:%M").c_str(), Printable(vm.host).c_str(),
                      Printable(vm.datastore).c_str(), Join(vm.tags, ",").c_str());
        out << line;
        fromCache += vm.placementFromCache ? 1 : 0;
    }
    out << "\n"
        << vms.size() << " VMs from " << Printable(source) << " (* template); placement of "
        << fromCache << " answered from the GUID cache, " << vms.size() - fromCache
        << " asked of the host.\n";
    return out.str();
}
