// JXPI_CommClient: where the agent keeps the job results of a physical machine.
//
// Contract:
//  - getJobResultsDirectory(machine) is "[Platform] JobResultsRoot" of the agent's
//    configuration file (see JXPlatformInfo.h; /var/lib/vsagent/jobresults when absent or
//    empty) with the machine name appended as one path component. It is returned only when
//    that directory exists; otherwise, and for a machine name that is not a single path
//    component (null, empty, ".", "..", or containing "/"), the result is null. Nothing is
//    created. A directory that does not exist is reported with one Error record naming it and
//    the configuration file read, or, when none could be read, why, VSAGENT_CONFIG and the
//    default path.
//  - The text stays valid until the next call on this object or its destruction; the caller
//    copies it and never frees it.
#pragma once

#include <string>

#include "VSPlatformExport.h"

class VSPLATFORM_EXPORT JXPI_CommClient {
public:
    JXPI_CommClient() = default;
    ~JXPI_CommClient() = default;
    JXPI_CommClient(const JXPI_CommClient&) = delete;
    JXPI_CommClient& operator=(const JXPI_CommClient&) = delete;

    const char* getJobResultsDirectory(const char* machine);

private:
    std::string m_strJobResultsDirectory;
};
