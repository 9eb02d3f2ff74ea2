#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "CLoFile.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

void Plant(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// Writes whole (NUL bytes too), reads back with a closing NUL, creates what no one else may
// read, and acts on a link itself, never through it: open, read, times and delete; a missing
// file is deleted only when the caller allows it to be missing.
TEST(CLoFile, ActsOnTheFileItselfNeverThroughALink) {
    TempDir tmp;
    const std::string path = tmp.File("f");
    CLoFile file;
    ASSERT_FALSE(file.Open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0).IsError());
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
    EXPECT_TRUE(file.Open(tmp.File("link").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0).IsError())
        << "no-follow";

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

// A file that claims more than the limit, or grows past it while it is read, is refused whole.
TEST(CLoFile, ReadWholeFileStopsAtTheLimit) {
    TempDir tmp;
    // A sparse file claims a terabyte it does not hold; a /proc file grows past the limit.
    Plant(tmp.File("sparse"), "");
    ASSERT_EQ(::truncate(tmp.File("sparse").c_str(), 1L << 40), 0);
    char* buffer = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(CLoFile::ReadWholeFile(tmp.File("sparse").c_str(), &buffer, size).GetErrno(), EFBIG);
    EXPECT_EQ(CLoFile::ReadWholeFile("/proc/self/status", &buffer, size, 100).GetErrno(), EFBIG);
    EXPECT_EQ(buffer, nullptr);
}

}  // namespace
