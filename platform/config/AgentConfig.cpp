#include "AgentConfig.h"

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "CLoError.h"
#include "CLoFile.h"

namespace vsplatform {

namespace {

// Far above any real configuration; a larger file is not one, and reading it would only cost
// memory at every call.
constexpr unsigned long kMaxConfigSize = 1024UL * 1024;

enum class ConfigRead { Done, Missing, Unreadable, Malformed };

// The whole-file read opens with O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC and takes a regular file
// only: a FIFO planted at the path cannot hang the agent, nor a link send it to another file.
ConfigRead ReadConfig(boost::property_tree::ptree& tree) {
    char* buffer = nullptr;
    unsigned long size = 0;
    const CLoError read =
        CLoFile::ReadWholeFile(AgentConfigPath().c_str(), &buffer, size, kMaxConfigSize);
    if (read.IsError()) {
        return read.GetErrno() == ENOENT ? ConfigRead::Missing : ConfigRead::Unreadable;
    }
    const std::unique_ptr<char[]> owned(buffer);  // a new[] buffer that is ours to free
    std::istringstream text(std::string(owned.get(), size));
    try {
        boost::property_tree::ini_parser::read_ini(text, tree);
    } catch (const boost::property_tree::ptree_error&) {
        return ConfigRead::Malformed;
    }
    return ConfigRead::Done;
}

}  // namespace

std::string AgentConfigPath() {
    const char* path = std::getenv(kAgentConfigVariable);
    return path != nullptr && *path != '\0' ? path : kDefaultAgentConfigPath;
}

const char* AgentConfigFault() {
    boost::property_tree::ptree tree;
    switch (ReadConfig(tree)) {
        case ConfigRead::Done:
            return nullptr;
        case ConfigRead::Missing:
            return "does not exist";
        case ConfigRead::Unreadable:
            return "is not a regular file of at most 1 MiB that this process may read";
        case ConfigRead::Malformed:
            return "is not INI text (a line the parser cannot read, a duplicate name)";
    }
    return "cannot be read";
}

std::string AgentConfigSource() {
    const std::string path = AgentConfigPath();
    const char* fault = AgentConfigFault();
    if (fault == nullptr) {
        return "configuration [" + path + "]";
    }
    // A user who is not root usually cannot create the default file, so the variable is the
    // way out the text must name.
    const char* variable = std::getenv(kAgentConfigVariable);
    if (variable == nullptr || *variable == '\0') {
        return "no configuration: [" + path + "] " + fault + ", and " + kAgentConfigVariable +
               ", which would name another file, is not set";
    }
    return std::string("no configuration: [") + path + "], named by " + kAgentConfigVariable +
           ", " + fault + " (without " + kAgentConfigVariable + ": [" + kDefaultAgentConfigPath +
           "])";
}

bool ReadAgentSetting(const char* section, const char* name, std::string& value) {
    boost::property_tree::ptree tree;
    if (section == nullptr || name == nullptr || ReadConfig(tree) != ConfigRead::Done) {
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
