#include "RootTrust.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "TempDir.h"

using ::testing::EndsWith;
using namespace vsguidcache;

namespace {

// The walk to <temp>/jobs/cache, with the trusted uid a test may pass.
TEST(RootTrust, TheWalkTrustsTheGivenUidAndRefusesOthersWithTheirReason) {
    const uid_t me = ::geteuid();
    struct Case {
        const char* name;
        std::function<void(const std::string& jobs, const std::string& cache)> change;
        uid_t trusted;
        std::string reason;  // how the refusal ends; empty: trusted
    };
    // Without root nothing can be given away, so another uid is the trusted one instead.
    const uid_t other = me == 0 ? 4242 : me + 1;
    const std::string otherOwned = me == 0 ? "/cache is owned by uid 4242, not by root"
                                           : " is owned by uid " + std::to_string(me) +
                                                 ", not by uid " + std::to_string(other);
    const Case cases[] = {
        {"own", [](auto&, auto&) {}, me, ""},
        {"group-writable", [](auto& jobs, auto&) { ::chmod(jobs.c_str(), 0775); }, me,
         "/jobs is writable by group or others (mode 0775)"},
        {"other-writable", [](auto&, auto& cache) { ::chmod(cache.c_str(), 0757); }, me,
         "/cache is writable by group or others (mode 0757)"},
        {"sticky cache, still writable", [](auto&, auto& cache) { ::chmod(cache.c_str(), 01777); },
         me, "/cache is writable by group or others (mode 1777)"},
        {"symlinked",
         [](auto& jobs, auto&) {
             ASSERT_EQ(::rename(jobs.c_str(), (jobs + ".real").c_str()), 0);
             ASSERT_EQ(::symlink((jobs + ".real").c_str(), jobs.c_str()), 0);
         },
         me, "/jobs is a symbolic link"},
        {"another owner",
         [me](auto&, auto& cache) {
             if (me == 0) {
                 ASSERT_EQ(::chown(cache.c_str(), 4242, static_cast<gid_t>(-1)), 0);
             }
         },
         me == 0 ? 0 : other, otherOwned},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string jobs = dir.File("jobs");
        const std::string cache = jobs + "/cache";
        ASSERT_EQ(::mkdir(jobs.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(cache.c_str(), 0755), 0);
        ::chmod(jobs.c_str(), 0755);  // whatever the umask
        ::chmod(cache.c_str(), 0755);
        c.change(jobs, cache);
        CacheLocation where;
        where.directory = cache;
        const std::string reason = UntrustedDirectory(where, c.trusted);
        if (c.reason.empty()) {
            EXPECT_EQ(reason, "");
        } else {
            EXPECT_THAT(reason, EndsWith(c.reason));
        }
    }
}

TEST(RootTrust, NoCacheDirectoryIsNothingToRefuse) {
    EXPECT_EQ(UntrustedDirectory(CacheLocation{}, ::geteuid()), "");
}

}  // namespace
