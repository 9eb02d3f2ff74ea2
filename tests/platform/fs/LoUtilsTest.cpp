#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <thread>

#include "CLoDirectory.h"
#include "CLoFile.h"
#include "InChild.h"
#include "JXPI_CommClient.h"
#include "JXPlatformInfo.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

void Plant(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// Every successful GetEntry, the one that sets the end flag included, must name a real entry.
std::multiset<std::string> ListAll(const std::string& path, bool includeHidden, bool& sawEnd) {
    CLoDirectory listing;
    SLoDirEntry entry;
    std::multiset<std::string> names;
    bool end = false;
    sawEnd = false;
    EXPECT_FALSE(listing.Open(path.c_str(), "*", includeHidden).IsError());
    while (!end && !listing.GetEntry(&entry, end).IsError()) {
        names.insert(entry.m_strName.c_str());
        sawEnd = sawEnd || end;
    }
    EXPECT_TRUE(listing.GetEntry(&entry, end).IsError()) << "nothing after the end";
    EXPECT_FALSE(listing.Close().IsError());
    return names;
}

TEST(CLoDirectory, ListingDeliversARealEntryWithTheEndFlag) {
    TempDir tmp;
    Plant(tmp.File("a"), "");
    Plant(tmp.File(".hidden"), "");
    fs::create_directory(tmp.File("sub"));
    bool sawEnd = false;
    EXPECT_EQ(ListAll(tmp.Path(), true, sawEnd),
              (std::multiset<std::string>{".", "..", ".hidden", "a", "sub"}));
    EXPECT_TRUE(sawEnd);
    EXPECT_EQ(ListAll(tmp.Path(), false, sawEnd), (std::multiset<std::string>{"a", "sub"}));
    EXPECT_TRUE(sawEnd);

    CLoDirectory listing;
    EXPECT_TRUE(listing.Open("", "*", true).IsError());
    EXPECT_TRUE(listing.Open(tmp.File("missing").c_str(), "*", true).IsError());
}

TEST(CLoDirectory, CreateAndRemoveStayWhereTheyAreTold) {
    TempDir tmp;
    const std::string deep = tmp.File("a/b/c");
    ASSERT_FALSE(CLoDirectory::Create(deep.c_str(), true).IsError());
    EXPECT_FALSE(CLoDirectory::Create(deep.c_str(), true).IsError()) << "existing is fine";
    EXPECT_TRUE(CLoDirectory::Create(deep.c_str(), false).IsError());
    Plant(tmp.File("file"), "f");
    EXPECT_TRUE(CLoDirectory::Create(tmp.File("file/x").c_str(), true).IsError());

    fs::create_directory(tmp.File("outside"));
    Plant(tmp.File("outside/precious"), "p");
    fs::create_directory_symlink(tmp.File("outside"), deep + "/link");
    Plant(deep + "/record", "r");
    EXPECT_TRUE(CLoDirectory::Remove(tmp.File("a").c_str(), false, false).IsError());
    EXPECT_FALSE(CLoDirectory::Remove(tmp.File("a").c_str(), true, false).IsError());
    EXPECT_FALSE(fs::exists(tmp.File("a")));
    EXPECT_TRUE(fs::exists(tmp.File("outside/precious"))) << "links are not followed";

    // An empty folder its owner may not list (0300) goes as rmdir takes it; a link never goes.
    // Root lists any folder, so the child becomes the folder's owner, 65534, first.
    const bool root = ::geteuid() == 0;
    ::chmod(tmp.Path().c_str(), 0755);
    const std::string box = tmp.File("box"), entry = box + "/entry";
    fs::create_directories(box + "/target");
    ::chmod(box.c_str(), 0700);
    const struct {
        bool link, removeContents, keepDirectory;
        int error;
    } cases[] = {{false, false, false, 0},     {false, true, false, 0},
                 {false, false, true, 0},      {true, false, false, ENOTDIR},
                 {true, true, false, ENOTDIR}, {true, false, true, ENOTDIR}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases));
        ASSERT_EQ(c.link ? ::symlink("target", entry.c_str()) : ::mkdir(entry.c_str(), 0300), 0);
        EXPECT_TRUE(!root || (::lchown(box.c_str(), 65534, 65534) == 0 &&
                              ::lchown(entry.c_str(), 65534, 65534) == 0));
        EXPECT_EQ(InChild([&] {
                      return root && (::setgid(65534) != 0 || ::setuid(65534) != 0)
                                 ? -1
                                 : CLoDirectory::Remove(entry.c_str(), c.removeContents,
                                                        c.keepDirectory)
                                       .GetErrno();
                  }),
                  c.error);
        EXPECT_EQ(fs::exists(fs::symlink_status(entry)), c.link || c.keepDirectory);
        fs::remove(entry);
        EXPECT_TRUE(fs::is_directory(box + "/target"));
    }
}

TEST(CLoFile, OperationsOnPosixCalls) {
    TempDir tmp;
    const std::string path = tmp.File("f");
    CLoFile file;
    ASSERT_FALSE(file.Open(path.c_str(), 578, 0).IsError());
    unsigned int written = 0;
    ASSERT_FALSE(file.Write("ab\0cd", 5, &written).IsError());
    EXPECT_EQ(written, 5u);
    EXPECT_FALSE(file.Close().IsError());
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::others_all, fs::perms::none);

    char* buffer = nullptr;
    unsigned long size = 0;
    ASSERT_FALSE(CLoFile::ReadWholeFile(path.c_str(), &buffer, size).IsError());
    EXPECT_EQ(std::string(buffer, size + 1), std::string("ab\0cd\0", 6));
    delete[] buffer;

    fs::create_symlink(path, tmp.File("link"));
    ASSERT_EQ(::mkfifo(tmp.File("fifo").c_str(), 0600), 0);
    fs::create_directory(tmp.File("dir"));
    for (const char* refused : {"link", "fifo", "dir"}) {
        SCOPED_TRACE(refused);
        EXPECT_TRUE(CLoFile::ReadWholeFile(tmp.File(refused).c_str(), &buffer, size).IsError());
        EXPECT_EQ(buffer, nullptr);
    }
    EXPECT_TRUE(file.Open(tmp.File("link").c_str(), 578, 0).IsError()) << "no-follow";

    long times[3] = {0, 0, 0};
    const timespec old[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, tmp.File("link").c_str(), old, AT_SYMLINK_NOFOLLOW), 0);
    ASSERT_FALSE(
        CLoFile::GetTimes(tmp.File("link").c_str(), &times[0], &times[1], &times[2]).IsError());
    EXPECT_EQ(times[2], 1000) << "the link's own modification time";

    EXPECT_TRUE(CLoFile::Delete(tmp.File("dir").c_str(), false).IsError());
    EXPECT_FALSE(CLoFile::Delete(tmp.File("link").c_str(), false).IsError());
    EXPECT_TRUE(fs::exists(path)) << "the link went, not its target";
    EXPECT_TRUE(CLoFile::Delete(tmp.File("link").c_str(), false).IsError());
    EXPECT_FALSE(CLoFile::Delete(tmp.File("link").c_str(), true).IsError());
}

// The file's size only sizes the first read: a file larger than any one read, and one whose
// size is reported as 0 while it has content (/proc), still come back whole.
TEST(CLoFile, ReadWholeFileReadsToTheEndWhateverTheSizeSays) {
    TempDir tmp;
    std::string large(200000, '\0');
    for (size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<char>(i * 7 % 251);
    }
    std::ofstream(tmp.File("large"), std::ios::binary) << large;
    std::ofstream(tmp.File("empty"), std::ios::binary).flush();

    char* buffer = nullptr;
    unsigned long size = 0;
    ASSERT_FALSE(CLoFile::ReadWholeFile(tmp.File("large").c_str(), &buffer, size).IsError());
    EXPECT_EQ(size, large.size());
    EXPECT_TRUE(std::string(buffer, size) == large);
    EXPECT_EQ(buffer[size], '\0');
    delete[] buffer;

    ASSERT_FALSE(CLoFile::ReadWholeFile(tmp.File("empty").c_str(), &buffer, size).IsError());
    EXPECT_EQ(size, 0u);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer[0], '\0');
    delete[] buffer;

    struct stat info;
    ASSERT_EQ(::stat("/proc/self/status", &info), 0);
    ASSERT_EQ(info.st_size, 0) << "the case this test is about";
    ASSERT_FALSE(CLoFile::ReadWholeFile("/proc/self/status", &buffer, size).IsError());
    EXPECT_EQ(std::string(buffer, size).rfind("Name:", 0), 0u);
    EXPECT_EQ(std::strlen(buffer), size);
    delete[] buffer;
}

size_t CountEntries(const std::string& path) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(path), {}));
}

// Entries planted to lead the file utilities astray: a removal stays in its tree and reports
// what it left, a read stops at its limit, and the configuration is a regular file or nothing.
TEST(LoUtils, PlantedEntriesLeadNowhere) {
    TempDir tmp;
    const std::string victim = tmp.File("victim"), tree = tmp.File("tree");
    fs::create_directories(victim);
    for (int i = 0; i < 50; ++i) {
        Plant(victim + "/" + std::to_string(i), "v");
    }
    // The directory being emptied and a link to the victim trade places all along.
    fs::create_directory(tree);
    fs::create_directory_symlink(victim, tmp.File("swap"));
    // Planted through a descriptor, whatever the name leads to, with the victim's own names.
    const std::unique_ptr<DIR, int (*)(DIR*)> treeDir(::opendir(tree.c_str()), ::closedir);
    ASSERT_TRUE(treeDir);
    std::atomic<int> swapsLeft{20000}, failedSwaps{0};
    std::thread swapper([&] {
        for (; swapsLeft > 0; --swapsLeft) {
            failedSwaps += ::renameat2(AT_FDCWD, tree.c_str(), AT_FDCWD, tmp.File("swap").c_str(),
                                       RENAME_EXCHANGE) != 0;
        }
    });
    while (swapsLeft > 0) {
        for (int i = 0; i < 20; ++i) {
            ::close(::openat(::dirfd(treeDir.get()), std::to_string(i).c_str(),
                             O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
        }
        CLoDirectory::Remove(tree.c_str(), true, true);
    }
    swapper.join();
    EXPECT_EQ(failedSwaps, 0);
    EXPECT_EQ(CountEntries(victim), 50u);

    // An entry that cannot go is reported, and the rest still goes. Root ignores permission
    // bits, so the child gives root up first.
    fs::create_directories(tree + "/locked");
    Plant(tree + "/locked/stays", "s");
    Plant(tree + "/free", "f");
    ::chmod(tmp.Path().c_str(), 0755);
    ::chmod(tree.c_str(), 0777);
    ::chmod((tree + "/locked").c_str(), 0555);
    EXPECT_EQ(InChild([&] {
                  return ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)
                             ? 0
                             : CLoDirectory::Remove(tree.c_str(), true, true).GetErrno();
              }),
              EACCES);
    EXPECT_FALSE(fs::exists(tree + "/free"));
    EXPECT_TRUE(fs::exists(tree + "/locked/stays"));
    ::chmod((tree + "/locked").c_str(), 0755);
    std::string deep = tree + "/deep";
    for (int level = 0; level < 70; ++level) {
        deep += "/d";
    }
    fs::create_directories(deep);
    EXPECT_EQ(CLoDirectory::Remove(tree.c_str(), true, false).GetErrno(), ELOOP);

    // A sparse file claims a terabyte it does not hold; a /proc file grows past the limit.
    Plant(tmp.File("sparse"), "");
    ASSERT_EQ(::truncate(tmp.File("sparse").c_str(), 1L << 40), 0);
    char* buffer = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(CLoFile::ReadWholeFile(tmp.File("sparse").c_str(), &buffer, size).GetErrno(), EFBIG);
    EXPECT_EQ(CLoFile::ReadWholeFile("/proc/self/status", &buffer, size, 100).GetErrno(), EFBIG);
    EXPECT_EQ(buffer, nullptr);

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

    // A bind mount inside is left whole; a private mount namespace keeps it from the machine.
    fs::create_directories(tree + "/mnt");
    const int mounted = InChild([&] {
        return ::unshare(CLONE_NEWNS) != 0 ||
                       ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                       ::mount(victim.c_str(), (tree + "/mnt").c_str(), nullptr, MS_BIND,
                               nullptr) != 0
                   ? 100
                   : CLoDirectory::Remove(tree.c_str(), true, false).GetErrno();
    });
    if (mounted == 100) {
        GTEST_SKIP() << "this process may not mount";
    }
    EXPECT_EQ(mounted, EXDEV);
    EXPECT_EQ(CountEntries(victim), 50u);
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
    ::unsetenv("VSAGENT_CONFIG");
}

}  // namespace
