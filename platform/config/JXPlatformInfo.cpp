#include "JXPlatformInfo.h"

#include <limits.h>
#include <unistd.h>

#include <charconv>

#include "AgentConfig.h"

namespace {

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0) {
        return std::string();
    }
    return name;
}

}  // namespace

const char* JXPlatformInfo::getPhysicalMachine() {
    if (!vsplatform::ReadAgentSetting("Platform", "PhysicalMachine", m_strPhysicalMachine)) {
        m_strPhysicalMachine = HostName();
    }
    return m_strPhysicalMachine.c_str();
}

bool JXPlatformInfo::getNumber(const char* section, const char* valueName, unsigned long* value) {
    std::string text;
    if (value == nullptr || !vsplatform::ReadAgentSetting(section, valueName, text)) {
        return false;
    }
    // from_chars takes no sign, no blanks and no base prefix for an unsigned type, and reports
    // overflow; the whole text must be used.
    unsigned long number = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, number);
    if (text.empty() || error != std::errc() || stop != end) {
        return false;
    }
    *value = number;
    return true;
}
