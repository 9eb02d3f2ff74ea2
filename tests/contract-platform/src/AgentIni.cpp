#include "AgentIni.h"

#include <cstdlib>
#include <fstream>

namespace contract_platform {

namespace {

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string ConfigPath() {
    const char* path = std::getenv("VSAGENT_CONFIG");
    return path != nullptr && *path != '\0' ? path : "/etc/vsagent/agent.ini";
}

}  // namespace

bool ReadAgentSetting(const char* section, const char* name, std::string& value) {
    if (section == nullptr || name == nullptr) {
        return false;
    }
    std::ifstream file(ConfigPath());
    std::string current;
    for (std::string raw; std::getline(file, raw);) {
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (line[0] == '[' && line.back() == ']') {
            current = Trim(line.substr(1, line.size() - 2));
            continue;
        }
        const size_t equals = line.find('=');
        if (equals != std::string::npos && current == section &&
            Trim(line.substr(0, equals)) == name) {
            value = Trim(line.substr(equals + 1));
            return true;
        }
    }
    return false;
}

}  // namespace contract_platform
