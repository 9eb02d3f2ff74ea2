#include "RunCommand.h"

#include <sys/wait.h>

#include <cstdio>

#include "TempDir.h"

std::string Quote(const std::string& argument) {
    std::string out = "'";
    for (char c : argument) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

CommandResult RunCommand(const std::string& command) {
    TempDir dir;
    const std::string errFile = dir.File("stderr");
    CommandResult result;
    FILE* pipe = ::popen((command + " 2>" + Quote(errFile)).c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.out.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.err = ReadFileText(errFile);
    return result;
}
