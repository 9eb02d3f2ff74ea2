// A job-results root and an agent configuration of its own for each test, in a temporary
// directory, with helpers to plant, stamp and list files.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "InChild.h"
#include "TempDir.h"

class CacheFixture : public ::testing::Test {
protected:
    CacheFixture();
    ~CacheFixture() override;

    // Writes the configuration for `machine` with these lines in [VirtualServer].
    void WriteConfig(const std::string& virtualServerLines, const std::string& machine = "host01");

    static void Plant(const std::string& path, const std::string& content);
    // Sets the access and modification time of the entry itself (links not followed).
    static void Stamp(const std::string& path, time_t when);
    // Names in a directory, sorted, without "." and ".."; empty when it cannot be listed.
    static std::vector<std::string> Entries(const std::string& directory);
    // Every path under the temporary directory with its content ("<dir>" for directories).
    std::map<std::string, std::string> Snapshot() const;

    TempDir m_tmp;
    const std::string m_strRoot;        // the job-results root
    const std::string m_strMachineDir;  // the root's directory of host01
    const std::string m_strCacheDir;    // the default cache directory of host01
};

// Each field derives from a tag naming the writer and iteration, with lengths that vary, so a
// torn, truncated or mixed record cannot pass for one that was written.
inline std::vector<std::string> Triple(int writer, int iteration) {
    const std::string tag = "w" + std::to_string(writer) + "i" + std::to_string(iteration) + "-";
    return {tag + std::string((iteration * 37 + writer * 11) % 3000, 'a'),
            "S" + tag + std::string(iteration * 53 % 200, 'b'),
            "T" + tag + "0x17" + std::string((iteration * 101 + writer) % 5000, 'c')};
}

inline bool IsWrittenTriple(const std::string& first, const std::string& second,
                            const std::string& third, int writers, int iterations) {
    int writer = -1, iteration = -1;
    if (std::sscanf(first.c_str(), "w%di%d-", &writer, &iteration) != 2 || writer < 0 ||
        writer >= writers || iteration < 0 || iteration >= iterations) {
        return false;
    }
    return Triple(writer, iteration) == std::vector<std::string>{first, second, third};
}
