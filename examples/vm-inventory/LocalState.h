// What the example keeps on this machine: the password file it reads and the state directory
// where it writes the agent configuration that places the GUID cache. None of it is needed to
// learn the library; all of it must hold against another user of the same machine.
#pragma once

#include <optional>
#include <string>

#include "Failure.h"

// The first line of a file of this user's own that no one else may read or write.
std::optional<Failure> ReadPasswordFile(const std::string& path, std::string& password);

// Where the example keeps its state, or empty when the environment names no place of this
// user's own.
std::string DefaultStateDir();

// Points VSAGENT_CONFIG at a configuration of the example's own under `stateDir`, unless the
// caller named one already.
std::optional<Failure> PrepareAgentConfiguration(const std::string& stateDir);
