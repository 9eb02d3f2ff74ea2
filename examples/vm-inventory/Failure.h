// How the program ends: each failure carries its exit code and the one line a person reads.
#pragma once

#include <string>

enum Exit { kOk = 0, kUsage = 1, kHost = 2, kDocument = 3, kCache = 4 };

struct Failure {
    Exit code;
    std::string message;
};
