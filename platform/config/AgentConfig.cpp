#include "AgentConfig.h"

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "CLoFile.h"

namespace vsplatform {

namespace {

// Far above any real configuration; a larger file is not one, and reading it would only cost
// memory at every call.
constexpr unsigned long kMaxConfigSize = 1024UL * 1024;

// The whole-file read opens with O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC and takes a regular file
// only: a FIFO planted at the path cannot hang the agent, nor a link send it to another file.
bool ReadConfig(boost::property_tree::ptree& tree) {
    char* buffer = nullptr;
    unsigned long size = 0;
    if (CLoFile::ReadWholeFile(AgentConfigPath().c_str(), &buffer, size, kMaxConfigSize)
            .IsError()) {
        return false;
    }
    const std::unique_ptr<char[]> owned(buffer);  // a new[] buffer that is ours to free
    std::istringstream text(std::string(owned.get(), size));
    try {
        boost::property_tree::ini_parser::read_ini(text, tree);
    } catch (const boost::property_tree::ptree_error&) {
        return false;
    }
    return true;
}

}  // namespace

std::string AgentConfigPath() {
    const char* path = std::getenv(kAgentConfigVariable);
    return path != nullptr && *path != '\0' ? path : kDefaultAgentConfigPath;
}

bool ReadAgentSetting(const char* section, const char* name, std::string& value) {
    boost::property_tree::ptree tree;
    if (section == nullptr || name == nullptr || !ReadConfig(tree)) {
        return false;
    }
    // find() rather than get(): a dotted section or name must not be taken for a path.
    const auto sectionIt = tree.find(section);
    if (sectionIt == tree.not_found()) {
        return false;
    }
    const auto nameIt = sectionIt->second.find(name);
    if (nameIt == sectionIt->second.not_found()) {
        return false;
    }
    value = nameIt->second.data();
    return true;
}

}  // namespace vsplatform
