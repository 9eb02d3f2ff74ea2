#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstring>

#include "AgentIni.h"
#include "CLoPath.h"
#include "JXPI_CommClient.h"
#include "JXPlatformInfo.h"

using contract_platform::ReadAgentSetting;

JXPlatformInfo::JXPlatformInfo() = default;

JXPlatformInfo::~JXPlatformInfo() = default;

const char* JXPlatformInfo::getPhysicalMachine() {
    if (!ReadAgentSetting("Platform", "PhysicalMachine", m_strPhysicalMachine)) {
        char name[HOST_NAME_MAX + 1] = {};
        m_strPhysicalMachine = ::gethostname(name, sizeof(name) - 1) == 0 ? name : "";
    }
    return m_strPhysicalMachine.c_str();
}

bool JXPlatformInfo::getNumber(const char* section, const char* valueName, unsigned long* value) {
    std::string text;
    if (value == nullptr || !ReadAgentSetting(section, valueName, text) || text.empty()) {
        return false;
    }
    unsigned long number = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, number);
    if (error != std::errc() || stop != end) {
        return false;
    }
    *value = number;
    return true;
}

JXPI_CommClient::JXPI_CommClient() = default;

JXPI_CommClient::~JXPI_CommClient() = default;

const char* JXPI_CommClient::getJobResultsDirectory(const char* machine) {
    if (machine == nullptr || *machine == '\0' || std::strcmp(machine, ".") == 0 ||
        std::strcmp(machine, "..") == 0 || std::strchr(machine, '/') != nullptr) {
        return nullptr;
    }
    std::string path;
    if (!ReadAgentSetting("Platform", "JobResultsRoot", path) || path.empty()) {
        path = "/var/lib/vsagent/jobresults";
    }
    LoPathAppend(path, machine, 0);
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return nullptr;
    }
    m_strDirectory = path;
    return m_strDirectory.c_str();
}
