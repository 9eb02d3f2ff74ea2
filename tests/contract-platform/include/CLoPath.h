// Path helpers of the file utilities.
#pragma once

#include <cstdint>
#include <string>

#include "CLoError.h"

class CLoPath {
public:
    // Whether something exists at the path (links followed).
    static bool Exists(const char* path);
};

// Appends "/" and `name` to `base` (no second "/" after one that ends base). flags: unused.
CLoError LoPathAppend(std::string& base, const char* name, uint32_t flags);
