// Path helpers of the file utilities.
//
// Contract:
//  - CLoPath::Exists(path) is true when something exists at the path (a symbolic link counts
//    through its target, so a dangling link does not exist). Null or empty paths do not exist.
//  - LoPathAppend(base, name, flags) extends `base` in place by the component `name`, with one
//    "/" between them (none is added when base is empty or already ends with "/"). The name is
//    taken as given: it is the caller's business that it is a single component. flags is
//    reserved and must be 0; other values, and a null name, are refused with EINVAL and leave
//    base unchanged.
#pragma once

#include <cstdint>
#include <string>

#include "CLoError.h"
#include "VSPlatformExport.h"

class VSPLATFORM_EXPORT CLoPath {
public:
    static bool Exists(const char* path);
};

VSPLATFORM_EXPORT CLoError LoPathAppend(std::string& base, const char* name, uint32_t flags);
