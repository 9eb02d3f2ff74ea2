// JXPlatformInfo: facts about this machine from the agent's configuration, the INI file named
// by VSAGENT_CONFIG (/etc/vsagent/agent.ini when unset or empty), read at every call.
//  - getPhysicalMachine(): [Platform] PhysicalMachine, else the host name. Never null; valid
//    until the next call on the object.
//  - getNumber(): stores [section] valueName when it is an unsigned decimal number; otherwise
//    false and *value untouched.
#pragma once

#include <string>

class JXPlatformInfo {
public:
    JXPlatformInfo();
    ~JXPlatformInfo();
    JXPlatformInfo(const JXPlatformInfo&) = delete;
    JXPlatformInfo& operator=(const JXPlatformInfo&) = delete;

    const char* getPhysicalMachine();
    bool getNumber(const char* section, const char* valueName, unsigned long* value);

private:
    std::string m_strPhysicalMachine;
};
