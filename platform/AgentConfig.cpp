#include "AgentConfig.h"

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstdlib>

namespace vsplatform {

namespace {

std::string ConfigPath() {
    const char* path = std::getenv(kAgentConfigVariable);
    return path != nullptr && *path != '\0' ? path : kDefaultAgentConfigPath;
}

}  // namespace

bool ReadAgentSetting(const char* section, const char* name, std::string& value) {
    if (section == nullptr || name == nullptr) {
        return false;
    }
    boost::property_tree::ptree tree;
    try {
        boost::property_tree::ini_parser::read_ini(ConfigPath(), tree);
    } catch (const boost::property_tree::ptree_error&) {
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
