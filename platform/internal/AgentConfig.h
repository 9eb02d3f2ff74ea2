// The agent's configuration file, as the platform stand-ins read it. Internal to vsplatform:
// not installed.
//
// Contract:
//  - The file is named by the environment variable VSAGENT_CONFIG, or is /etc/vsagent/agent.ini
//    when the variable is unset or empty. It is an INI file read with Boost.PropertyTree's INI
//    parser: "[Section]" lines, "name=value" lines, ";" or "#" comment lines; names and values
//    are trimmed of blanks and case-sensitive.
//  - The file is read at every call, never cached, so a change of the variable or of the file
//    shows at the next call.
//  - The file must be a regular file of at most 1 MiB, not a symbolic link; anything else at
//    the path (a link, a FIFO, a device, a larger file) counts as unreadable, without waiting
//    for a writer.
//  - AgentConfigPath() names the file the next read would take.
//  - AgentConfigFault() says why the file does not count ("does not exist", ...), null when it
//    reads; AgentConfigSource() says, for messages, where the settings come from: "configuration
//    [PATH]" when the file reads; otherwise "no configuration: ..." naming the file, why it does
//    not count, and VSAGENT_CONFIG (and, when the variable named the file, the default path).
//  - ReadAgentSetting gives the value of `name` in `section`. A missing or unreadable file, a
//    file the parser rejects (a line it cannot read, a duplicate section or name), or a missing
//    section or name gives false and leaves `value` untouched.
#pragma once

#include <string>

namespace vsplatform {

constexpr const char* kAgentConfigVariable = "VSAGENT_CONFIG";
constexpr const char* kDefaultAgentConfigPath = "/etc/vsagent/agent.ini";

bool ReadAgentSetting(const char* section, const char* name, std::string& value);

// The path of the configuration file read now (for messages).
std::string AgentConfigPath();

// Why no setting can come from the file now, for a message after its path; null when it reads.
const char* AgentConfigFault();

// Where the settings come from now (for messages).
std::string AgentConfigSource();

}  // namespace vsplatform
