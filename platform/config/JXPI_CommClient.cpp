#include "JXPI_CommClient.h"

#include <sys/stat.h>

#include <cstring>

#include "AgentConfig.h"
#include "CLoPath.h"
#include "TqDebug.h"

namespace {

constexpr const char* kDefaultJobResultsRoot = "/var/lib/vsagent/jobresults";
constexpr const char* kGetJobResultsLabel =
    "const char* JXPI_CommClient::getJobResultsDirectory(const char*)";

bool IsSingleComponent(const char* name) {
    return name != nullptr && *name != '\0' && std::strcmp(name, ".") != 0 &&
           std::strcmp(name, "..") != 0 && std::strchr(name, '/') == nullptr;
}

}  // namespace

const char* JXPI_CommClient::getJobResultsDirectory(const char* machine) {
    if (!IsSingleComponent(machine)) {
        return nullptr;
    }
    std::string path;
    if (!vsplatform::ReadAgentSetting("Platform", "JobResultsRoot", path) || path.empty()) {
        path = kDefaultJobResultsRoot;
    }
    LoPathAppend(path, machine, 0);
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        // The cache's Init fails on this without a word of its own: say what was looked for.
        TqDebug(nullptr).Error(kGetJobResultsLabel,
                               "No job-results directory [%s] for machine [%s] (%s); create it, "
                               "or set [Platform] JobResultsRoot",
                               path.c_str(), machine, vsplatform::AgentConfigSource().c_str());
        return nullptr;
    }
    m_strJobResultsDirectory = path;
    return m_strJobResultsDirectory.c_str();
}
