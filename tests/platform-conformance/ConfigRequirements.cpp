// CFG-1 to CFG-3 and JSON-1. The configuration has no writer in the interface, so only what an
// absent setting or an unknown machine gives is checked: a present value comes from wherever
// the platform keeps it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <type_traits>

#include "Helpers.h"
#include "JXPI_CommClient.h"
#include "JXPlatformInfo.h"
#include "JxJson.h"

namespace {

// As CVSJsonParser derives from the base.
class JsonHelper : public JxJson {
public:
    int Converted() const { return m_nConverted; }

private:
    int m_nConverted = 0;
};

}  // namespace

TEST(Requirement, CFG_1_AbsentNumberLeavesTheValue) {
    JXPlatformInfo info;
    for (const char* section : {"VirtualServer", "VSConformanceNoSuchSection"}) {
        unsigned long value = 4242424242UL;  // the default the caller stored first
        info.getNumber(section, "nVSConformanceNoSuchValue", &value);
        EXPECT_EQ(value, 4242424242UL) << section;
    }
}

TEST(Requirement, CFG_2_PhysicalMachineNeverNull) {
    JXPlatformInfo info;
    EXPECT_NE(info.getPhysicalMachine(), nullptr);
    EXPECT_NE(info.getPhysicalMachine(), nullptr) << "on the second call";
    JXPlatformInfo another;
    EXPECT_NE(another.getPhysicalMachine(), nullptr);
}

TEST(Requirement, CFG_3_NoJobResultsDirectoryIsNull) {
    conformance::SilencedStderr quiet;  // the platform may report the missing directory
    JXPI_CommClient client;
    const std::string machine = "vsconformance-no-such-machine-" + std::to_string(::getpid());
    EXPECT_EQ(client.getJobResultsDirectory(machine.c_str()), nullptr);
}

TEST(Requirement, JSON_1_JsonBaseDerivesAndConstructs) {
    // The compiler does the checking: a base that cannot be derived from publicly, or whose
    // derived class cannot be default-constructed and destroyed, fails the build.
    static_assert(std::is_default_constructible<JsonHelper>::value, "not constructible");
    static_assert(std::is_destructible<JsonHelper>::value, "not destructible");
    const JsonHelper helper;
    EXPECT_EQ(helper.Converted(), 0);
}
