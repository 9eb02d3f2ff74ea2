#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "CLoDirectory.h"
#include "CLoFile.h"
#include "TempDir.h"

namespace {

// Every file utility words its errors alike: the operation, the path or "(empty path)", a note
// where the errno alone would mislead, then the system's message.
TEST(CLoError, TextNamesTheOperationThePathAndWhy) {
    TempDir tmp;
    char* buffer = nullptr;
    unsigned long size = 0;
    CLoFile file;
    const std::string missing = tmp.File("missing");
    const std::pair<CLoError, std::string> cases[] = {
        {CLoFile::ReadWholeFile(nullptr, &buffer, size), "read (empty path): No such file"},
        {CLoFile::Rename("x", ""), "rename (empty path): No such file"},
        {CLoFile::ReadWholeFile(tmp.Path().c_str(), &buffer, size),
         "read " + tmp.Path() + " (not a regular file): Invalid argument"},
        {file.Close(), "close: Bad file descriptor"},
        {CLoDirectory::Create(nullptr, true), "create directory (empty path): No such file"},
        {CLoDirectory::Remove(missing.c_str(), false, false),
         "remove directory " + missing + ": No such file"},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(error.GetText().rfind(text, 0), 0u) << error.GetText();
    }
}

}  // namespace
