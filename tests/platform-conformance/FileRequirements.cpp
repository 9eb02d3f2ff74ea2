// FS-1 to FS-9: the file utilities as the GUID cache uses them, in a scratch directory. What a
// call did is read back with POSIX calls of this program, never through the platform.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "CLoDirectory.h"
#include "CLoError.h"
#include "CLoFile.h"
#include "CLoPath.h"
#include "Helpers.h"
#include "TempDir.h"

using conformance::EveryByte;

namespace {

constexpr int kRecordFlags = 578;  // O_RDWR | O_CREAT | O_TRUNC, as the records are written

bool EntryExists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

void SetModified(const std::string& path, long modified) {
    const struct timespec times[2] = {{1000000000, 0}, {modified, 0}};  // access, modification
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

void MakeLink(const std::string& target, const std::string& link) {
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0) << link;
}

void MakeDirectory(const std::string& path) {
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path;
}

size_t OpenDescriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// Every name a listing of `path` delivers, as the sweep walks it.
struct Listing {
    bool opened = false;
    bool ended = false;  // by the end flag or an error, not by the bound on calls
    std::vector<std::string> names;
};

Listing ListAsTheSweepDoes(const std::string& path) {
    Listing result;
    CLoDirectory listing;
    result.opened = !listing.Open(path.c_str(), "*", true).IsError();
    if (!result.opened) {
        return result;
    }
    SLoDirEntry entry;
    bool end = false;
    for (int calls = 0; calls < 100 && !result.ended; ++calls) {
        if (listing.GetEntry(&entry, end).IsError()) {
            result.ended = true;
            break;
        }
        const char* name = entry.m_strName.c_str();
        result.names.push_back(name != nullptr ? name : "<null>");
        result.ended = end;
    }
    listing.Close();
    return result;
}

void ExpectListedExactly(const Listing& listing, std::set<std::string> expected) {
    ASSERT_TRUE(listing.opened);
    EXPECT_TRUE(listing.ended) << "the listing never ended";
    std::set<std::string> seen;
    for (const std::string& name : listing.names) {
        if (name != "." && name != "..") {
            EXPECT_EQ(expected.count(name), 1u) << "not an entry of the directory: " << name;
            seen.insert(name);
        }
    }
    EXPECT_EQ(seen, expected);
}

}  // namespace

TEST(Requirement, FS_1_ErrorExactlyWhenFailed) {
    TempDir dir;
    WriteFileText(dir.File("file"), "x");
    const std::string missing = dir.File("missing");
    CLoFile file;
    CLoFile created;
    CLoDirectory listing;
    char* raw = nullptr;
    unsigned long size = 0;
    long first = 0;
    long second = 0;
    long third = 0;
    const std::pair<const char*, CLoError> failures[] = {
        {"Open in a missing directory", file.Open((missing + "/f").c_str(), kRecordFlags, 0)},
        {"ReadWholeFile of a missing file", CLoFile::ReadWholeFile(missing.c_str(), &raw, size)},
        {"GetTimes of a missing path", CLoFile::GetTimes(missing.c_str(), &first, &second, &third)},
        {"listing a missing directory", listing.Open(missing.c_str(), "*", true)},
        {"listing the empty path", listing.Open("", "*", true)},
        {"Create below a file", CLoDirectory::Create(dir.File("file/sub").c_str(), true)},
    };
    std::unique_ptr<char[]> owned(raw);
    for (const auto& [what, result] : failures) {
        EXPECT_TRUE(result.IsError()) << what;
    }
    const std::pair<const char*, CLoError> successes[] = {
        {"Open of a new file", created.Open(dir.File("new").c_str(), kRecordFlags, 0)},
        {"GetTimes of a file",
         CLoFile::GetTimes(dir.File("file").c_str(), &first, &second, &third)},
        {"listing a directory", listing.Open(dir.Path().c_str(), "*", true)},
        {"Create of a directory", CLoDirectory::Create(dir.File("sub").c_str(), true)},
    };
    for (const auto& [what, result] : successes) {
        EXPECT_FALSE(result.IsError()) << what;
    }
    // The library keeps results in one variable, assigned step after step.
    CLoError kept(failures[0].second);
    EXPECT_TRUE(kept.IsError());
    kept = successes[0].second;
    EXPECT_FALSE(kept.IsError());
    kept = failures[1].second;
    EXPECT_TRUE(kept.IsError());
}

TEST(Requirement, FS_2_OpenTakesLinuxFlagsAndWriteWritesAll) {
    TempDir dir;
    const std::string path = dir.File("record");
    const std::string bytes = EveryByte(300);
    {
        CLoFile file;
        ASSERT_FALSE(file.Open(path.c_str(), kRecordFlags, 0).IsError());
        unsigned int written = 0;
        EXPECT_FALSE(
            file.Write(bytes.data(), static_cast<unsigned>(bytes.size()), &written).IsError());
        EXPECT_EQ(written, bytes.size());
        EXPECT_FALSE(file.Close().IsError());
    }
    EXPECT_EQ(ReadFileText(path), bytes);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0600u, 0600u) << "the owner may not read and write what it wrote";
    {
        CLoFile file;  // an existing file is truncated
        ASSERT_FALSE(file.Open(path.c_str(), kRecordFlags, 0).IsError());
        unsigned int written = 0;
        file.Write("x", 1, &written);
        file.Close();
    }
    EXPECT_EQ(ReadFileText(path), "x");
    {
        CLoFile file;  // a temporary file is claimed with O_EXCL
        EXPECT_TRUE(file.Open(path.c_str(), kRecordFlags | O_EXCL, 0).IsError());
        EXPECT_EQ(ReadFileText(path), "x");
        EXPECT_FALSE(file.Open(dir.File("fresh").c_str(), kRecordFlags | O_EXCL, 0).IsError());
    }
    const size_t before = OpenDescriptors();
    for (int i = 0; i < 64; ++i) {
        CLoFile file;  // left open: its destructor closes it
        file.Open(dir.File("open-" + std::to_string(i)).c_str(), kRecordFlags, 0);
    }
    EXPECT_EQ(OpenDescriptors(), before) << "destroyed file objects left descriptors open";
}

TEST(Requirement, FS_3_ReadWholeFileGivesATerminatedCopy) {
    TempDir dir;
    const std::string bytes = EveryByte(4) + std::string(3u << 20, 'r') + EveryByte(1);
    WriteFileText(dir.File("record"), bytes);
    char* raw = nullptr;
    unsigned long size = 0;
    const CLoError result = CLoFile::ReadWholeFile(dir.File("record").c_str(), &raw, size);
    const std::unique_ptr<char[]> buffer(raw);  // freed as the library frees it: delete[]
    ASSERT_FALSE(result.IsError());
    ASSERT_NE(raw, nullptr);
    ASSERT_EQ(size, bytes.size());
    EXPECT_EQ(std::string(raw, size), bytes);
    EXPECT_EQ(raw[size], '\0') << "no NUL after the file's bytes";

    WriteFileText(dir.File("empty"), "");
    char* emptyRaw = nullptr;
    unsigned long emptySize = 1;
    const CLoError emptyResult =
        CLoFile::ReadWholeFile(dir.File("empty").c_str(), &emptyRaw, emptySize);
    const std::unique_ptr<char[]> emptyBuffer(emptyRaw);
    EXPECT_FALSE(emptyResult.IsError());
    EXPECT_EQ(emptySize, 0u);
    EXPECT_TRUE(emptyRaw == nullptr || emptyRaw[0] == '\0');
}

TEST(Requirement, FS_4_ThirdTimeIsTheEntrysOwnModificationTime) {
    TempDir dir;
    WriteFileText(dir.File("record"), "r");
    MakeLink("no-such-target", dir.File("dangling"));
    MakeLink(dir.File("record"), dir.File("link"));
    MakeDirectory(dir.File("sub"));
    const std::pair<std::string, long> entries[] = {{"record", 1234567890},
                                                    {"dangling", 1111111111},
                                                    {"link", 1222222222},
                                                    {"sub", 1333333333}};
    for (const auto& [name, modified] : entries) {
        SetModified(dir.File(name), modified);
    }
    for (const auto& [name, modified] : entries) {
        long first = -1;
        long second = -1;
        long third = -1;
        EXPECT_FALSE(CLoFile::GetTimes(dir.File(name).c_str(), &first, &second, &third).IsError())
            << name;
        EXPECT_EQ(third, modified) << name;
    }
}

TEST(Requirement, FS_5_ListingDeliversRealEntriesToItsEnd) {
    TempDir dir;
    for (const char* name : {"vm-1", ".vsgc-tmp.1.0", "with blank", "caf\xc3\xa9"}) {
        WriteFileText(dir.File(name), "r");
    }
    MakeDirectory(dir.File("sub"));
    MakeLink("no-such-target", dir.File("dangling"));
    ExpectListedExactly(ListAsTheSweepDoes(dir.Path()),
                        {"vm-1", ".vsgc-tmp.1.0", "with blank", "caf\xc3\xa9", "sub", "dangling"});
    ExpectListedExactly(ListAsTheSweepDoes(dir.File("sub")), {});
    WriteFileText(dir.File("sub/only"), "r");
    ExpectListedExactly(ListAsTheSweepDoes(dir.File("sub")), {"only"});
    EXPECT_FALSE(ListAsTheSweepDoes("").opened);
    EXPECT_FALSE(ListAsTheSweepDoes(dir.File("missing")).opened);
}

TEST(Requirement, FS_6_CreateMakesAUsableDirectoryExistsSeesIt) {
    TempDir dir;
    const std::string cache = dir.File("_VM_GUID_CACHE_");
    EXPECT_FALSE(CLoPath::Exists(cache.c_str()));
    CLoDirectory::Create(cache.c_str(), true);
    struct stat info {};
    ASSERT_EQ(::lstat(cache.c_str(), &info), 0) << "no directory was made";
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0700u, 0700u) << "its owner may not create files in it";
    EXPECT_TRUE(CLoPath::Exists(cache.c_str()));
    WriteFileText(cache + "/vm-1", "r");
    EXPECT_TRUE(CLoPath::Exists((cache + "/vm-1").c_str()));
    EXPECT_FALSE(CLoPath::Exists((cache + "/vm-2").c_str()));
    EXPECT_FALSE(CLoPath::Exists(""));
}

TEST(Requirement, FS_7_RemoveTakesTheTreeAndFollowsNoLink) {
    TempDir dir;
    MakeDirectory(dir.File("outside"));
    WriteFileText(dir.File("outside/keep"), "keep");
    const std::string cache = dir.File("cache");
    MakeDirectory(cache);
    WriteFileText(cache + "/vm-1", "r");
    WriteFileText(cache + "/.vsgc-tmp.1.0", "r");
    MakeDirectory(cache + "/sub");
    MakeDirectory(cache + "/sub/deeper");
    WriteFileText(cache + "/sub/deeper/x", "x");
    MakeLink(dir.File("outside"), cache + "/to-directory");
    MakeLink(dir.File("outside/keep"), cache + "/to-file");
    CLoDirectory::Remove(cache.c_str(), true, false);
    EXPECT_FALSE(EntryExists(cache)) << "the directory stayed";
    EXPECT_EQ(ReadFileText(dir.File("outside/keep")), "keep") << "a link inside was followed";

    MakeLink(dir.File("outside"), dir.File("link-to-directory"));
    CLoDirectory::Remove(dir.File("link-to-directory").c_str(), true, false);
    EXPECT_EQ(ReadFileText(dir.File("outside/keep")), "keep") << "the path, a link, was followed";
}

TEST(Requirement, FS_8_DeleteRemovesTheEntryNeverItsTarget) {
    TempDir dir;
    WriteFileText(dir.File("record"), "r");
    WriteFileText(dir.File("target"), "target");
    MakeLink(dir.File("target"), dir.File("link"));
    MakeLink("no-such-target", dir.File("dangling"));
    for (const char* name : {"record", "link", "dangling"}) {
        CLoFile::Delete(dir.File(name).c_str(), false);
        EXPECT_FALSE(EntryExists(dir.File(name))) << name;
    }
    EXPECT_EQ(ReadFileText(dir.File("target")), "target");
}

TEST(Requirement, FS_9_PathAppendPutsOneSeparator) {
    for (const char* name :
         {"_VM_GUID_CACHE_", "vm-42", ".vsgc-tmp.7.0", "a b", "caf\xc3\xa9\xff"}) {
        for (const char* base : {"/var/lib/vsagent/jobresults/host01", "relative"}) {
            std::string path = base;
            LoPathAppend(path, name, 0);
            EXPECT_EQ(path, std::string(base) + "/" + name);
        }
    }
}
