// The inventory model of the example, and its XML: reading the host's documents, parsed by
// CVSXMLDocument, with the field matchers of CVSXMLParser, and writing the report with its
// builders.
#pragma once

#include <string>
#include <vector>

#include "VSXMLParser.h"

struct VmRecord {
    std::string id;
    std::string name;
    unsigned int memoryMB = 0;
    unsigned long long diskBytes = 0;
    bool isTemplate = false;
    long created = 0;  // seconds since 1970
    std::string host;
    std::string datastore;
    std::vector<std::string> tags;
    bool placementFromCache = false;
};

// Reads one page of <vms total=".."><vm id=".." template=".."><name/>..</vm></vms>, appending
// its VMs to `vms`. False with a sentence in `error` for a document that CVSXMLDocument refuses
// (not well-formed, or needing anything from outside its text) or that is not a VM list.
bool ParseVmPage(CVSXMLParser& xml, const std::string& text, std::vector<VmRecord>& vms,
                 unsigned& total, std::string& error);

// Reads <placement><host/><datastore/></placement> into the record.
bool ParsePlacement(CVSXMLParser& xml, const std::string& text, VmRecord& vm, std::string& error);

// The report as an XML document, its text escaped as Printable() does (XML 1.0 cannot carry
// control characters at all); empty when a string holds a character no XML may hold.
std::string XmlReport(CVSXMLParser& xml, const std::string& source,
                      const std::vector<VmRecord>& vms);

// The report as a table for a terminal, its text escaped as Printable() does.
std::string TableReport(const std::string& source, const std::vector<VmRecord>& vms);
