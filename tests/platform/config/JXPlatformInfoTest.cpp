#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "JXPI_CommClient.h"
#include "JXPlatformInfo.h"
#include "LogCapture.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

void Plant(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

TEST(JXPlatformInfo, ReadsTheConfigurationAtEveryCall) {
    TempDir tmp;
    const std::string config = tmp.File("agent.ini");
    ::setenv("VSAGENT_CONFIG", config.c_str(), 1);
    JXPlatformInfo info;
    JXPI_CommClient client;
    const struct {
        const char* value;
        unsigned long expected;  // 7 stands for "left untouched"
    } numbers[] = {{"600", 600}, {"0", 0},    {" 42 ", 42},
                   {"-5", 7},    {"+5", 7},   {"12abc", 7},
                   {"", 7},      {"0x10", 7}, {"99999999999999999999999", 7}};
    for (const auto& n : numbers) {
        SCOPED_TRACE(n.value);
        Plant(config, std::string("[VirtualServer]\nnVMGuidCacheTime=") + n.value + "\n");
        unsigned long value = 7;
        EXPECT_EQ(info.getNumber("VirtualServer", "nVMGuidCacheTime", &value), n.expected != 7);
        EXPECT_EQ(value, n.expected);
        EXPECT_FALSE(info.getNumber("VirtualServer", "other", &value));
        EXPECT_FALSE(info.getNumber("Other", "nVMGuidCacheTime", &value));
    }
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof(host) - 1), 0);
    EXPECT_STREQ(info.getPhysicalMachine(), host) << "no [Platform] section";

    fs::create_directories(tmp.File("root/host01"));
    Plant(config, "[Platform]\nPhysicalMachine=host01\nJobResultsRoot=" + tmp.File("root") + "\n");
    EXPECT_STREQ(info.getPhysicalMachine(), "host01");
    EXPECT_EQ(client.getJobResultsDirectory("host01"), tmp.File("root/host01"));
    for (const char* machine : {"host02", "", "..", "../root/host01"}) {
        EXPECT_EQ(client.getJobResultsDirectory(machine), nullptr) << machine;
    }
    Plant(config, "[Platform]\nPhysicalMachine=a\nPhysicalMachine=b\n");  // rejected file
    EXPECT_STREQ(info.getPhysicalMachine(), host);

    // With no configuration the record says why, and names the variable and the default path
    // (a user who is not root cannot create the default file: the variable is the way out).
    const struct {
        std::string file;
        const char* why;
    } unusable[] = {{tmp.File("missing.ini"), "does not exist"},
                    {tmp.File("root"), "is not a regular file"},
                    {config, "is not INI text"}};
    for (const auto& u : unusable) {
        ::setenv("VSAGENT_CONFIG", u.file.c_str(), 1);
        LogCapture log;
        EXPECT_EQ(client.getJobResultsDirectory("vssupport-test-no-such-host"), nullptr);
        ASSERT_EQ(log.Errors().size(), 1u) << u.file;
        EXPECT_THAT(log.Errors()[0].message,
                    ::testing::AllOf(::testing::HasSubstr("no configuration: [" + u.file +
                                                          "], named by VSAGENT_CONFIG, " + u.why),
                                     ::testing::HasSubstr("[/etc/vsagent/agent.ini]")));
    }
    ::unsetenv("VSAGENT_CONFIG");
}

// The configuration is a regular file of bounded size or nothing: a planted link, FIFO or
// oversized file is not read.
TEST(JXPlatformInfo, ReadsOnlyARegularConfigurationFile) {
    TempDir tmp;
    Plant(tmp.File("agent.ini"), "[Platform]\nPhysicalMachine=planted\n");
    Plant(tmp.File("big.ini"),
          "[Platform]\nPhysicalMachine=planted\n;" + std::string(1 << 20, 'x'));
    fs::create_symlink(tmp.File("agent.ini"), tmp.File("link.ini"));
    ASSERT_EQ(::mkfifo(tmp.File("fifo.ini").c_str(), 0600), 0);
    for (const char* config : {"agent.ini", "big.ini", "link.ini", "fifo.ini"}) {
        ::setenv("VSAGENT_CONFIG", tmp.File(config).c_str(), 1);
        EXPECT_EQ(JXPlatformInfo().getPhysicalMachine() == std::string("planted"),
                  config == std::string("agent.ini"))
            << config;
    }
    ::unsetenv("VSAGENT_CONFIG");
}

}  // namespace
