// What the library's cache objects and the operator's tool share of the cache directory beyond
// its rules (GuidCacheRules.h): where the directory is, from the platform's configuration, and
// how a record's text decodes. One copy, compiled into the library and into the tool, so that
// the tool never needs a cache object to read a record or to find the directory. Internal:
// not installed.
#pragma once

#include <cstdint>
#include <string>

namespace vsgc {

// Why a location has no directory.
enum class LocationFault {
    None,
    UnsafeName,    // the directory name is not a single file name
    NoMachine,     // the configuration sets the machine's name empty, or the host has none
    NoJobResults,  // the machine has no job-results directory
};

struct CacheLocation {
    std::string machine;
    std::string directory;  // empty when there is a fault
    uint64_t expiry = 0;    // seconds; 0: caching is switched off
    LocationFault fault = LocationFault::None;
};

// The cache directory named `dirName` and the expiry, as the platform's configuration gives
// them now. Nothing is created or changed.
CacheLocation Locate(const std::string& dirName);

// Sets an output only when its separator is found: a record without the first separator
// leaves all three untouched, one without the second leaves second and third untouched. The
// record may be one of the outputs.
void DecodeRecord(const std::string& record, std::string& first, std::string& second,
                  std::string& third);

}  // namespace vsgc
