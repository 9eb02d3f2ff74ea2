// Runs a program through the shell as a user would, and collects what it says.
#pragma once

#include <string>

struct CommandResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// `command` is a shell command line; quote arguments with Quote().
CommandResult RunCommand(const std::string& command);
std::string Quote(const std::string& argument);
