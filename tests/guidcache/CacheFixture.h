// A job-results root and an agent configuration of its own for each test, in a temporary
// directory, with helpers to plant, stamp and list files.
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

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
