#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "CLoDirectory.h"
#include "InChild.h"
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

size_t CountEntries(const std::string& path) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(path), {}));
}

// Entries planted to lead a removal astray: it stays in its tree and reports what it left.
TEST(CLoDirectory, RemovalStaysInItsTreeWhateverIsPlanted) {
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

}  // namespace
