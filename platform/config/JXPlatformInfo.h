// JXPlatformInfo: facts about the machine the agent runs on, from the agent's configuration
// file: the INI file named by $VSAGENT_CONFIG, /etc/vsagent/agent.ini when that is unset or
// empty ("[Section]" lines, "name=value" lines, ";" or "#" comment lines), read at every call.
//
// Contract:
//  - getPhysicalMachine() is "[Platform] PhysicalMachine", or the host name when the setting
//    is absent. Never null, possibly empty. The text stays valid until the next call on this
//    object or its destruction.
//  - getNumber(section, valueName, value) stores the setting "[section] valueName" through
//    `value` and returns true when it exists and is an unsigned decimal number that fits (only
//    digits, blanks around it trimmed). A missing file, section or name, or a value that is not
//    such a number, returns false and leaves *value untouched.
#pragma once

#include <string>

#include "VSPlatformExport.h"

class VSPLATFORM_EXPORT JXPlatformInfo {
public:
    JXPlatformInfo() = default;
    ~JXPlatformInfo() = default;
    JXPlatformInfo(const JXPlatformInfo&) = delete;
    JXPlatformInfo& operator=(const JXPlatformInfo&) = delete;

    const char* getPhysicalMachine();
    bool getNumber(const char* section, const char* valueName, unsigned long* value);

private:
    std::string m_strPhysicalMachine;
};
