#include "ConfigFile.h"

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "CacheFiles.h"

namespace vsguidcache {
namespace {

// Far above any real configuration; a larger file is not one.
constexpr size_t kMaxConfigSize = size_t{1} << 20;

}  // namespace

std::string ConfigPath() {
    const char* named = std::getenv(kConfigVariable);
    return named != nullptr && *named != '\0' ? named : kDefaultConfigPath;
}

const char* ConfigFault() {
    std::string text;
    if (const int error = vsgc::ReadBoundedPosix(ConfigPath(), kMaxConfigSize, text)) {
        return error == ENOENT
                   ? "does not exist"
                   : "is not a regular file of at most 1 MiB that this process may read";
    }
    std::istringstream stream(text);
    boost::property_tree::ptree tree;
    try {
        boost::property_tree::ini_parser::read_ini(stream, tree);
    } catch (const boost::property_tree::ptree_error&) {
        return "is not INI text (a line the parser cannot read, a duplicate name)";
    }
    return nullptr;
}

}  // namespace vsguidcache
