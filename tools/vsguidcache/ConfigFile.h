// The agent's configuration file as the tool names and judges it. The convention is the tool's
// own, as its manual page states it: the file VSAGENT_CONFIG names, else /etc/vsagent/agent.ini;
// an INI file, read only when it is a regular file of at most 1 MiB and no symbolic link. The
// platform's interface says neither which file it reads nor whether it could, so the tool works
// both out itself, for root's checks and for its messages.
#pragma once

#include <string>

namespace vsguidcache {

constexpr const char* kConfigVariable = "VSAGENT_CONFIG";
constexpr const char* kDefaultConfigPath = "/etc/vsagent/agent.ini";

// The file a read takes now: $VSAGENT_CONFIG, or the default when that is unset or empty.
std::string ConfigPath();

// Why no setting can come from that file now, for a message after its path; null when it reads.
const char* ConfigFault();

}  // namespace vsguidcache
