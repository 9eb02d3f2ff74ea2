#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <boost/json.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "RunCommand.h"
#include "TempDir.h"
#include "VSSupportVersion.h"

using ::testing::HasSubstr;

namespace {

class CacheTool : public ::testing::Test {
protected:
    TempDir root;
    std::string config = root.File("agent.ini");
    std::string cacheDir = root.File("jobresults/host01/_VM_GUID_CACHE_");

    void SetUp() override {
        std::filesystem::create_directories(cacheDir);
        WriteConfig(600);
        // What root may act on, whatever the umask the tests run under.
        ::chmod(config.c_str(), 0644);
        for (const char* dir :
             {"jobresults", "jobresults/host01", "jobresults/host01/_VM_GUID_CACHE_"}) {
            ::chmod(root.File(dir).c_str(), 0755);
        }
    }

    void WriteConfig(unsigned expiry) {
        std::ofstream(config) << "[Platform]\nPhysicalMachine=host01\nJobResultsRoot="
                              << root.File("jobresults")
                              << "\n[VirtualServer]\nnVMGuidCacheTime=" << expiry << "\n";
    }

    // A record file as the cache writes it, aged by `age` seconds.
    void Plant(const std::string& key, const std::string& content, long age) {
        std::ofstream(cacheDir + "/" + key) << content;
        Age(key, age);
    }

    // The entry's own times (a symbolic link's, not its target's).
    void Age(const std::string& key, long age) {
        stamped = std::time(nullptr);
        const time_t when = stamped - age;
        const struct timeval times[2] = {{when, 0}, {when, 0}};
        ::lutimes((cacheDir + "/" + key).c_str(), times);
    }

    time_t stamped = 0;  // the clock when the last entry was aged

    bool Exists(const std::string& key) {
        return std::filesystem::exists(std::filesystem::symlink_status(cacheDir + "/" + key));
    }

    // Parsed strictly: Boost.JSON refuses text that is not UTF-8.
    static boost::json::value Json(const CommandResult& result) {
        boost::json::error_code error;
        boost::json::value value = boost::json::parse(result.out, error);
        EXPECT_FALSE(error) << result.out << result.err;
        return value;
    }

    static std::vector<std::string> Keys(const boost::json::value& entries) {
        std::vector<std::string> keys;
        for (const auto& entry : entries.as_array()) {
            keys.emplace_back(entry.at("key").as_string());
        }
        return keys;
    }

    CommandResult Tool(const std::string& arguments) {
        return RunCommand(Quote(VSGUIDCACHE) + " --config " + Quote(config) + " " + arguments);
    }
};

// The first group of each match of `pattern` in `text`.
std::set<std::string> Matches(const std::string& text, const char* pattern) {
    std::set<std::string> found;
    const std::regex re(pattern);
    for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it) {
        found.insert((*it)[1].str());
    }
    return found;
}

// The machine's name when the configuration names none.
std::string HostName() {
    char name[256] = {};
    ::gethostname(name, sizeof(name) - 1);
    return name;
}

}  // namespace

TEST_F(CacheTool, ListShowsFieldsAgeAndStateWithoutChangingAnything) {
    Plant("vm-c\x1b[2J",
          "id-3"
          "0x17"
          "host-03"
          "0x17"
          "\x1b]0;pwned\x07\\",
          30);
    Plant("vm-a",
          "id-1"
          "0x17"
          "host-01"
          "0x17"
          "/ds/a",
          30);
    Plant("vm-b",
          "id-2"
          "0x17"
          "host-02"
          "0x17"
          "/ds/b",
          7200);
    const CommandResult table = Tool("list");
    ASSERT_EQ(table.exitCode, 0) << table.err;
    EXPECT_THAT(table.out, HasSubstr("vm-a"));
    EXPECT_THAT(table.out, ::testing::ContainsRegex("vm-a +id-1 +host-01 +/ds/a +[0-9]+s +live"));
    EXPECT_THAT(table.out, ::testing::ContainsRegex("vm-b +id-2 +host-02 +/ds/b +2h +expired"));
    // A terminal acts on control bytes: a person sees them escaped, unambiguously.
    EXPECT_THAT(table.out, HasSubstr("\nvm-c\\x1b[2J "));
    EXPECT_THAT(table.out, HasSubstr(" \\x1b]0;pwned\\x07\\\\ "));
    EXPECT_EQ(table.out.find_first_of("\x1b\x07"), std::string::npos);
    EXPECT_THAT(table.out, HasSubstr("3 entries"));

    const CommandResult json = Tool("list --json");
    ASSERT_EQ(json.exitCode, 0);
    EXPECT_THAT(json.out, HasSubstr("\"expirySeconds\":600"));
    EXPECT_THAT(json.out, HasSubstr("{\"key\":\"vm-b\",\"first\":\"id-2\",\"second\":\"host-02\","
                                    "\"third\":\"/ds/b\",\"ageSeconds\":"));
    // The tool runs some moments after the file was stamped, more of them on a loaded machine.
    const time_t waited = std::time(nullptr) - stamped;
    EXPECT_THAT(Json(json).at("entries").at(1).at("ageSeconds").as_int64(),
                ::testing::AllOf(::testing::Ge(7200), ::testing::Le(7200 + waited)));
    EXPECT_EQ(Json(json).at("entries").at(2).at("third"), "\x1b]0;pwned\x07\\");
    EXPECT_TRUE(Exists("vm-b")) << "listing must not sweep";
    EXPECT_EQ(Tool("get " + Quote("vm-c\x1b[2J")).out, "id-3\nhost-03\n\\x1b]0;pwned\\x07\\\\\n");
}

// A record is what a lookup answers from: a regular file, not followed through a link, read
// without waiting for a writer and no further than the record's bound.
TEST_F(CacheTool, ListTakesAsRecordsWhatALookupReads) {
    const std::string fields = "a0x17b0x17";
    Plant("at-bound", fields + std::string(65536 - fields.size(), 'c'), 30);
    Plant("past-bound", fields + std::string(65537 - fields.size(), 'c'), 30);
    std::filesystem::create_symlink(cacheDir + "/at-bound", cacheDir + "/link");
    ASSERT_EQ(::mkfifo((cacheDir + "/fifo").c_str(), 0600), 0);
    const boost::json::value listed = Json(Tool("--json list"));
    std::map<std::string, bool> records;
    for (const auto& entry : listed.at("entries").as_array()) {
        records[std::string(entry.at("key").as_string())] = entry.at("record").as_bool();
    }
    EXPECT_EQ(records,
              (std::map<std::string, bool>{
                  {"at-bound", true}, {"fifo", false}, {"link", false}, {"past-bound", false}}));
}

TEST_F(CacheTool, GetPutInvalidateWithScriptableExitCodes) {
    EXPECT_EQ(Tool("put vm-c id-3 host-03 /ds/c").exitCode, 0);
    const CommandResult got = Tool("get vm-c");
    EXPECT_EQ(got.exitCode, 0);
    EXPECT_EQ(got.out, "id-3\nhost-03\n/ds/c\n");
    EXPECT_EQ(Tool("--json get vm-c").out,
              "{\"key\":\"vm-c\",\"first\":\"id-3\",\"second\":\"host-03\",\"third\":\"/ds/c\"}\n");

    const CommandResult missing = Tool("get vm-none");
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_EQ(missing.err, "vsguidcache: no record under 'vm-none'\n");
    // A record this user may not read (root made the directory 0750) is no missing record.
    const bool asRoot = ::geteuid() == 0;
    ASSERT_EQ(::chmod(root.Path().c_str(), 0755) | ::chmod(cacheDir.c_str(), asRoot ? 0750 : 0), 0);
    const CommandResult unread = RunCommand(
        std::string(asRoot ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "") +
        Quote(VSGUIDCACHE) + " --config " + Quote(config) + " get vm-c");
    ::chmod(cacheDir.c_str(), 0755);
    EXPECT_EQ(unread.exitCode, 6);
    // The tool's one line; in a coverage build the other user's process cannot write the
    // profile files, and the profiling runtime says so in lines of its own after it.
    const std::string line = "vsguidcache: cannot read the record under 'vm-c' (" + cacheDir +
                             "/vm-c): " + std::strerror(EACCES) + "\n";
    EXPECT_EQ(unread.err.substr(0, line.size()), line);
    std::istringstream after(unread.err.substr(std::min(line.size(), unread.err.size())));
    for (std::string other; std::getline(after, other);) {
        EXPECT_EQ(other.rfind("profiling:", 0), 0u) << other;
    }
    for (const auto& [arguments, rule] : std::vector<std::pair<std::string, std::string>>{
             {"../escape a b c", "the key must not contain '/'"},
             {"'' a b c", "the key must not be empty, '.' or '..'"},
             {std::string(256, 'k') + " a b c", "the key is longer than 255 bytes"},
             {"vm-d a0x17b c d", "FIRST contains the separator \"0x17\""},
             {"vm-d a b0x17c d", "SECOND contains the separator \"0x17\""},
             {"vm-d a b " + std::string(65536, 'x'), "the record would take 65546 bytes"}}) {
        const CommandResult refused = Tool("put " + arguments);
        EXPECT_EQ(refused.exitCode, 4) << rule;
        EXPECT_THAT(refused.err, ::testing::StartsWith("vsguidcache: record not stored: " + rule));
    }
    EXPECT_FALSE(std::filesystem::exists(root.File("jobresults/host01/escape")));

    EXPECT_EQ(Tool("invalidate vm-c").exitCode, 0);
    EXPECT_FALSE(Exists("vm-c"));
    EXPECT_EQ(Tool("invalidate vm-c").exitCode, 0) << "invalidating twice is not an error";
    const CommandResult unsafe = Tool("invalidate ..");
    EXPECT_EQ(unsafe.exitCode, 4);
    EXPECT_THAT(unsafe.err, HasSubstr("'..' is not a valid key"));
    std::filesystem::create_directory(cacheDir + "/vm-dir");  // an entry no deletion removes
    const CommandResult stays = Tool("invalidate vm-dir");
    EXPECT_EQ(stays.exitCode, 4);
    EXPECT_THAT(stays.err, HasSubstr("the record under 'vm-dir' could not be removed"));
    EXPECT_EQ(Tool("frobnicate").exitCode, 1);
}

TEST_F(CacheTool, SweepDryRunShowsWhatWouldGoThenSweepRemovesIt) {
    Plant("fresh",
          "a"
          "0x17"
          "b"
          "0x17"
          "c",
          10);
    Plant("old",
          "d"
          "0x17"
          "e"
          "0x17"
          "f",
          601);
    std::filesystem::create_symlink(root.File("nowhere"), cacheDir + "/dangling");
    Age("dangling", 7200);
    std::filesystem::create_directory(cacheDir + "/subdir");  // no sweep deletes a directory
    Age("subdir", 7200);
    const std::vector<std::string> old{"dangling", "old"};
    const CommandResult dry = Tool("sweep --dry-run");
    ASSERT_EQ(dry.exitCode, 0) << dry.err;
    EXPECT_THAT(dry.out, HasSubstr("old"));
    EXPECT_THAT(dry.out, ::testing::Not(HasSubstr("fresh")));
    EXPECT_EQ(Keys(Json(Tool("--json sweep --dry-run")).at("wouldRemove")), old);
    EXPECT_TRUE(Exists("old") && Exists("dangling"));

    const CommandResult sweep = Tool("--json sweep");
    ASSERT_EQ(sweep.exitCode, 0) << sweep.err;
    EXPECT_EQ(Keys(Json(sweep).at("removed")), old);
    EXPECT_FALSE(Exists("old") || Exists("dangling"));
    EXPECT_TRUE(Exists("fresh") && Exists("subdir"));
}

TEST_F(CacheTool, JsonIsUtf8WhateverBytesTheCacheHolds) {
    ASSERT_ANY_THROW(boost::json::parse("\"caf\xe9\"")) << "the checks below need a strict reader";
    Plant("vm-\xff", "id0x17host0x17caf\xe9", 7200);
    const boost::json::value list = Json(Tool("--json list")).at("entries").at(0);
    const boost::json::value dry = Json(Tool("--json sweep --dry-run")).at("wouldRemove").at(0);
    Age("vm-\xff", 0);  // a lookup answers from a live record only
    for (const auto& entry : {list, dry, Json(Tool("--json get " + Quote("vm-\xff")))}) {
        EXPECT_EQ(entry.at("key"), "vm-\u00ff");
        EXPECT_EQ(entry.at("first"), "id");
        EXPECT_EQ(entry.at("third"), "caf\u00e9");
        EXPECT_EQ(entry.at("latin1"), boost::json::array({"key", "third"}));
    }
}

TEST_F(CacheTool, NoCacheHereIsExitThree) {
    // Before the cache's first use: the tool's own line, the library's log kept off the terminal.
    std::filesystem::remove(cacheDir);
    for (const char* command : {"list", "sweep --dry-run", "sweep"}) {
        const CommandResult r = RunCommand("env -u TQDEBUG_FILE " + Quote(VSGUIDCACHE) +
                                           " --config " + Quote(config) + " " + command);
        EXPECT_EQ(r.exitCode, 3) << command;
        EXPECT_EQ(r.err, "vsguidcache: no cache yet at " + cacheDir + "\n") << command;
    }
    EXPECT_FALSE(std::filesystem::exists(cacheDir)) << "reading must not create the cache";
    std::ofstream(cacheDir) << "a file where the cache belongs";  // its errno, not a guess
    EXPECT_EQ(Tool("list").err, "vsguidcache: cannot list the cache directory " + cacheDir + ": " +
                                    std::strerror(ENOTDIR) + "\n");
    std::filesystem::remove(cacheDir);
    // No configuration at all, on a machine without the default job-results root.
    const std::string log = root.File("log"), none = root.File("none.ini");
    const std::string lost = "VSAGENT_CONFIG=" + Quote(none) + " " + Quote(VSGUIDCACHE) + " list";
    const CommandResult bare = RunCommand("env -u TQDEBUG_FILE " + lost);
    EXPECT_EQ(bare.exitCode, 3);
    if (!std::filesystem::exists("/var/lib/vsagent/jobresults")) {
        EXPECT_EQ(bare.err, "vsguidcache: no cache here: the configuration file " + none +
                                " does not exist (name one with --config or VSAGENT_CONFIG), and "
                                "machine '" +
                                HostName() +
                                "' has no job-results directory under the "
                                "default root\n");
        // A file that is there but not read sends the cache to the default root too.
        std::ofstream(none) << "[Platform\n";
        EXPECT_THAT(RunCommand("env -u TQDEBUG_FILE " + lost).err,
                    HasSubstr("the configuration file " + none + " is not INI text"));
        std::filesystem::remove(none);
        EXPECT_THAT(RunCommand("env -u TQDEBUG_FILE " + lost + " --verbose").err,
                    HasSubstr("JXPI_CommClient::getJobResultsDirectory"));
        EXPECT_EQ(RunCommand("TQDEBUG_FILE=" + Quote(log) + " " + lost).err, bare.err);
        EXPECT_THAT(ReadFileText(log), HasSubstr("JXPI_CommClient::getJobResultsDirectory"));
    }
    std::filesystem::create_directory(cacheDir);
    ::chmod(cacheDir.c_str(), 0755);
    WriteConfig(0);
    EXPECT_EQ(Tool("put k a b c").exitCode, 3);
    EXPECT_EQ(Tool("sweep --dry-run").exitCode, 3) << "the sweep would remove nothing";
    EXPECT_TRUE(std::filesystem::exists(cacheDir))
        << "the tool must not act on a switched-off cache";
    WriteConfig(600);
    std::filesystem::remove_all(root.File("jobresults"));
    EXPECT_EQ(Tool("get k").exitCode, 3);
    EXPECT_EQ(Tool("list").exitCode, 3);
}

TEST_F(CacheTool, RefusesDirectoryNamesThatAreNotPlainNames) {
    Plant("../job", "", 7200);  // in the job-results directory that "." would make the cache
    for (const std::string name : {".", "..", "../..", ""}) {
        for (const char* command :
             {"list", "sweep --dry-run", "sweep", "get k", "put k a b c", "invalidate k"}) {
            const CommandResult result = Tool("--dir-name " + Quote(name) + " " + command);
            EXPECT_EQ(result.exitCode, 3) << command << " " << name;
            EXPECT_EQ(result.out, "") << command << " " << name;
            EXPECT_THAT(result.err, HasSubstr("not a plain directory name"));
        }
    }
    EXPECT_TRUE(Exists("../job"));
}

// Each way a user other than root could have changed what root acts on, made and undone.
TEST_F(CacheTool, AsRootActsOnlyOnWhatRootAloneCanChange) {
    const bool asRoot = ::geteuid() == 0;
    const std::string machine = root.File("jobresults/host01"), real = root.File("real.ini");
    const std::string jobs = root.File("jobresults");
    const struct {
        std::string path;
        mode_t mode;
        bool givenAway;
        std::string reason;
    } cases[] = {
        {config, 0666, false, config + " is writable by group or others (mode 0666)"},
        {config, 0644, true, config + " is owned by uid 65534, not by root"},
        {root.Path(), 0777, false, root.Path() + " is writable by group or others (mode 0777)"},
        {jobs, 0757, false, jobs + " is writable by group or others (mode 0757)"},
        {jobs, 0755, true, jobs + " is owned by uid 65534, not by root"},
        {machine, 0775, false, machine + " is writable by group or others (mode 0775)"},
        {cacheDir, 0757, false, cacheDir + " is writable by group or others (mode 0757)"},
        {cacheDir, 0755, true, cacheDir + " is owned by uid 65534, not by root"},
    };
    for (const auto& c : cases) {
        if (c.givenAway && !asRoot) {
            continue;  // only root can give a file away
        }
        struct stat was {};
        ASSERT_EQ(::stat(c.path.c_str(), &was), 0);
        ASSERT_EQ(
            ::chmod(c.path.c_str(), c.mode) | ::chown(c.path.c_str(), c.givenAway ? 65534 : -1, -1),
            0);
        for (const char* command :
             {"list", "sweep --dry-run", "sweep", "get k", "invalidate k", "put k a b c"}) {
            const CommandResult r = Tool(command);
            if (asRoot) {
                EXPECT_EQ(r.exitCode, 5) << command << ": " << c.reason;
                EXPECT_EQ(r.err, "vsguidcache: refusing to run as root: " + c.reason + "\n");
            } else {
                EXPECT_NE(r.exitCode, 5) << "only root's runs are at stake";
            }
        }
        EXPECT_EQ(Exists("k"), !asRoot) << c.reason;
        EXPECT_EQ(
            ::chmod(c.path.c_str(), was.st_mode & 07777) | ::chown(c.path.c_str(), was.st_uid, -1),
            0);
    }
    EXPECT_EQ(Tool("list").exitCode, 0) << "every change undone";
    std::filesystem::rename(config, real);
    std::filesystem::create_symlink(real, config);
    const CommandResult linked = Tool("list");
    if (asRoot) {
        EXPECT_EQ(linked.err,
                  "vsguidcache: refusing to run as root: " + config + " is a symbolic link\n");
    } else {
        EXPECT_NE(linked.exitCode, 5);
    }
    // A link on the way is followed when root's, in a sticky folder; a user's there is not.
    const std::string via = root.File("via");
    std::filesystem::create_symlink(root.Path(), via);
    ASSERT_EQ(::chmod(root.Path().c_str(), 01777), 0);
    const std::string viaList =
        Quote(VSGUIDCACHE) + " --config " + Quote(via + "/real.ini") + " list";
    EXPECT_EQ(RunCommand(viaList).exitCode, 0);
    if (asRoot) {
        ASSERT_EQ(::lchown(via.c_str(), 65534, 65534), 0);
        EXPECT_EQ(RunCommand(viaList).err, "vsguidcache: refusing to run as root: " + via +
                                               " is owned by uid 65534, not by root\n");
    }
}

// Root appends the log's records to TQDEBUG_FILE, or creates it: through a link in a user's
// folder, that would be a file of the user's choosing.
TEST_F(CacheTool, AsRootTheLogFileIsJudgedLikeTheConfiguration) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root's runs are at stake";
    }
    ASSERT_EQ(::chmod(root.Path().c_str(), 0755), 0);
    const std::string user = std::filesystem::canonical(root.Path()).string() + "/user";
    std::filesystem::create_directory(user);
    std::filesystem::create_symlink(root.Path(), user + "/link");
    ASSERT_EQ(
        ::lchown((user + "/link").c_str(), 65534, 65534) | ::chown(user.c_str(), 65534, 65534), 0);
    const std::string before = ReadFileText(config);
    for (const std::string& log : {user + "/link/agent.ini", user + "/link/new.log"}) {
        const CommandResult r = RunCommand("TQDEBUG_FILE=" + Quote(log) + " " + Quote(VSGUIDCACHE) +
                                           " --config " + Quote(config) + " get vm-none");
        EXPECT_EQ(r.exitCode, 5) << log;
        EXPECT_EQ(r.err, "vsguidcache: refusing to run as root: the log file TQDEBUG_FILE names: " +
                             user + " is owned by uid 65534, not by root\n");
    }
    EXPECT_EQ(ReadFileText(config), before);
    EXPECT_FALSE(std::filesystem::exists(root.File("new.log")));
}

// A user who owns a folder above the configuration's swaps the configuration's folder, as fast
// as he can, with one whose configuration aims the cache at a root-owned file that the sweep
// would delete.
TEST_F(CacheTool, AsRootAUserSwappingAboveTheConfigurationChangesNothing) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root's runs are at stake";
    }
    ASSERT_EQ(::chmod(root.Path().c_str(), 0755), 0);  // root's, so that only the user is at fault
    const std::string user = std::filesystem::canonical(root.Path()).string() + "/user";
    const std::string bait = root.File("prey/host01/_VM_GUID_CACHE_/precious");
    const std::string real = user + "/real", swap = user + "/swap";  // no allocation after fork
    std::filesystem::create_directories(real);
    std::filesystem::create_directories(swap);
    std::filesystem::create_directories(std::filesystem::path(bait).parent_path());
    config = real + "/agent.ini";
    WriteConfig(600);
    std::ofstream(swap + "/agent.ini")
        << "[Platform]\nPhysicalMachine=host01\nJobResultsRoot=" << root.File("prey")
        << "\n[VirtualServer]\nnVMGuidCacheTime=600\n";
    std::ofstream(bait) << "a0x17b0x17c";
    const struct timespec twoDaysAgo[2] = {{std::time(nullptr) - 2 * 86400, 0},
                                           {std::time(nullptr) - 2 * 86400, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, bait.c_str(), twoDaysAgo, 0), 0);
    ASSERT_EQ(::chown(user.c_str(), 65534, 65534), 0);
    int swapping[2];
    ASSERT_EQ(::pipe(swapping), 0);
    const pid_t swapper = ::fork();
    ASSERT_GE(swapper, 0);
    if (swapper == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const bool dropped = ::setgid(65534) == 0 && ::setuid(65534) == 0;
        for (long i = 0;
             dropped && i < 100000000 &&
             ::renameat2(AT_FDCWD, real.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE) == 0;
             ++i) {
            if (i == 0) {
                (void)!::write(swapping[1], "s", 1);  // the runs start once a swap has worked
            }
        }
        ::_exit(0);
    }
    char started = 0;
    ::close(swapping[1]);
    const bool swaps = ::read(swapping[0], &started, 1) == 1;
    std::vector<CommandResult> runs;
    for (int run = 0; swaps && run < 20; ++run) {
        runs.push_back(Tool("sweep"));
    }
    ::kill(swapper, SIGKILL);
    ::waitpid(swapper, nullptr, 0);
    ::close(swapping[0]);
    ASSERT_TRUE(swaps) << "the unprivileged swapper could not swap";
    EXPECT_TRUE(std::filesystem::exists(bait));
    for (const CommandResult& r : runs) {
        EXPECT_EQ(r.exitCode, 5);
        EXPECT_EQ(r.err, "vsguidcache: refusing to run as root: " + user +
                             " is owned by uid 65534, not by root\n");
    }
}

// The sample configuration the tools package ships is one the platform reads whole: with its
// folder and expiry changed, the tool finds the machine's cache and its expiry through it.
TEST_F(CacheTool, TheShippedSampleConfigurationIsOneTheToolReads) {
    std::string sample = ReadFileText(VSGUIDCACHE_SAMPLE);
    for (const auto& [setting, value] :
         {std::pair<std::string, std::string>{"\nJobResultsRoot=", root.File("jobresults")},
          {"\nnVMGuidCacheTime=", "600"}}) {
        const size_t at = sample.find(setting);
        ASSERT_NE(at, std::string::npos) << setting;
        sample.replace(at + setting.size(), sample.find('\n', at + 1) - at - setting.size(), value);
    }
    std::ofstream(config) << sample;
    const std::string machine = root.File("jobresults/" + HostName());
    std::filesystem::create_directories(machine);
    ::chmod(machine.c_str(), 0755);
    EXPECT_EQ(Tool("put vm-1 a b c").exitCode, 0);
    const boost::json::value listed = Json(Tool("--json list"));
    EXPECT_EQ(listed.at("directory").as_string(), machine + "/_VM_GUID_CACHE_");
    EXPECT_EQ(listed.at("expirySeconds"), 600);
    EXPECT_EQ(Keys(listed.at("entries")), std::vector<std::string>{"vm-1"});
}

TEST(ProgramVersion, BothProgramsAnswerWithTheProjectVersion) {
    for (const auto& [program, name] :
         {std::pair{VSGUIDCACHE, "vsguidcache"}, {VM_INVENTORY, "vm-inventory"}}) {
        const CommandResult r = RunCommand(Quote(program) + " --version");
        EXPECT_EQ(r.exitCode, 0) << name;
        EXPECT_EQ(r.out, std::string(name) + " " VSSUPPORT_VERSION_STRING "\n");
    }
}

// The manual page names every command, long option and exit status the tool offers, and no
// others; the statuses come from the tool's one table, as its --help shows them.
TEST(CacheToolManual, NamesWhatTheToolOffers) {
    std::ifstream file(VSGUIDCACHE_MAN);
    const std::string source{std::istreambuf_iterator<char>(file), {}};
    const std::string page = std::regex_replace(source, std::regex(R"(\\-)"), "-");
    const size_t at = page.find(".SH COMMANDS");
    ASSERT_NE(at, std::string::npos) << VSGUIDCACHE_MAN;
    const std::string help = RunCommand(Quote(VSGUIDCACHE) + " --help").out;
    EXPECT_THAT(help, ::testing::ContainsRegex(R"(--config TEXT +agent configuration file )"
                                               R"(\(default: \$VSAGENT_CONFIG, else )"
                                               R"(/etc/vsagent/agent\.ini\))"));
    const std::set<std::string> commands =
        Matches(help.substr(help.find("Subcommands:")), R"(\n  ([a-z]+) )");
    std::string helps = help;
    for (const auto& command : commands) {
        helps += RunCommand(Quote(VSGUIDCACHE) + " " + command + " --help").out;
    }
    EXPECT_EQ(Matches(page.substr(at, page.find("\n.SH", at) - at), R"(\n\.TP\n\.B[IR]? ([a-z]+))"),
              commands);
    EXPECT_EQ(Matches(page, "--([a-z][a-z-]*)"), Matches(helps, "--([a-z][a-z-]*)"));
    const size_t exits = page.find(".SH EXIT STATUS");
    ASSERT_NE(exits, std::string::npos) << VSGUIDCACHE_MAN;
    const std::set<std::string> statuses =
        Matches(help.substr(help.find("Exit codes:")), R"(\n  ([0-9]+)  )");
    EXPECT_EQ(
        Matches(page.substr(exits, page.find("\n.SH", exits) - exits), R"(\n\.TP\n\.B ([0-9]+)\n)"),
        statuses);
}
