// The agent's configuration as the platform reads it (internal: not installed): the INI file
// named by VSAGENT_CONFIG, /etc/vsagent/agent.ini when that is unset or empty. "[Section]"
// lines, "name=value" lines, blank lines and ";" or "#" comment lines; names and values are
// trimmed of blanks and compared case-sensitively; the first of a repeated name counts. The
// file is read at every call.
#pragma once

#include <string>

namespace contract_platform {

// The value of [section] name; false, `value` untouched, when the file, the section or the
// name is missing.
bool ReadAgentSetting(const char* section, const char* name, std::string& value);

}  // namespace contract_platform
