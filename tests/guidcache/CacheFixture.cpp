#include "CacheFixture.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

CacheFixture::CacheFixture()
    : m_strRoot(m_tmp.File("jobresults")),
      m_strMachineDir(m_strRoot + "/host01"),
      m_strCacheDir(m_strMachineDir + "/_VM_GUID_CACHE_") {
    fs::create_directories(m_strMachineDir);
    WriteConfig("");
}

CacheFixture::~CacheFixture() {
    ::unsetenv("VSAGENT_CONFIG");
}

void CacheFixture::WriteConfig(const std::string& virtualServerLines, const std::string& machine) {
    const std::string path = m_tmp.File("agent.ini");
    Plant(path, "[Platform]\nPhysicalMachine=" + machine + "\nJobResultsRoot=" + m_strRoot +
                    "\n[VirtualServer]\n" + virtualServerLines + "\n");
    ::setenv("VSAGENT_CONFIG", path.c_str(), 1);
}

void CacheFixture::Plant(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

void CacheFixture::Stamp(const std::string& path, time_t when) {
    const timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::vector<std::string> CacheFixture::Entries(const std::string& directory) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        names.push_back(it->path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::map<std::string, std::string> CacheFixture::Snapshot() const {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(m_tmp.Path())) {
        tree[entry.path()] = entry.is_directory() ? "<dir>" : ReadFileText(entry.path());
    }
    return tree;
}
