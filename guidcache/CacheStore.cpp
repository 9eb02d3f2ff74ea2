#include "CacheStore.h"

#include "CLoPath.h"
#include "GuidCacheRules.h"
#include "JXPI_CommClient.h"
#include "JXPlatformInfo.h"

#include <utility>

namespace vsgc {

CacheLocation Locate(const std::string& dirName) {
    CacheLocation where;
    if (!IsSafeName(dirName)) {
        where.fault = LocationFault::UnsafeName;
        return where;
    }
    JXPlatformInfo info;
    where.machine = info.getPhysicalMachine();
    unsigned long expiry = kDefaultCacheTime;
    info.getNumber(kConfigSection, kConfigCacheTime, &expiry);
    where.expiry = expiry;
    if (where.machine.empty()) {
        where.fault = LocationFault::NoMachine;
        return where;
    }
    JXPI_CommClient client;
    const char* jobResults = client.getJobResultsDirectory(where.machine.c_str());
    if (jobResults == nullptr) {
        where.fault = LocationFault::NoJobResults;
        return where;
    }
    where.directory = jobResults;
    LoPathAppend(where.directory, dirName.c_str(), 0);
    return where;
}

void DecodeRecord(const std::string& record, std::string& first, std::string& second,
                  std::string& third) {
    const size_t firstEnd = record.find(kSeparator);
    if (firstEnd == std::string::npos) {
        return;
    }
    // Every part is cut out before any output is assigned: an output may be the record.
    std::string head = record.substr(0, firstEnd);
    const size_t secondStart = firstEnd + kSeparatorLength;
    const size_t secondEnd = record.find(kSeparator, secondStart);
    if (secondEnd != std::string::npos) {
        std::string middle = record.substr(secondStart, secondEnd - secondStart);
        third = record.substr(secondEnd + kSeparatorLength);
        second = std::move(middle);
    }
    first = std::move(head);
}

}  // namespace vsgc
