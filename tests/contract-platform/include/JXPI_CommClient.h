// JXPI_CommClient: where the agent keeps a machine's job results: [Platform] JobResultsRoot of
// the agent's configuration (see JXPlatformInfo.h; /var/lib/vsagent/jobresults when absent or
// empty) with the machine's name appended. Null unless that directory exists; null for a name
// that is not one path component. Valid until the next call on the object.
#pragma once

#include <string>

class JXPI_CommClient {
public:
    JXPI_CommClient();
    ~JXPI_CommClient();
    JXPI_CommClient(const JXPI_CommClient&) = delete;
    JXPI_CommClient& operator=(const JXPI_CommClient&) = delete;

    const char* getJobResultsDirectory(const char* machine);

private:
    std::string m_strDirectory;
};
