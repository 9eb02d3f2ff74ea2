// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
#pragma once

#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_strPath; }
    std::string File(const std::string& name) const { return m_strPath + "/" + name; }

private:
    std::string m_strPath;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadFileText(const std::string& path);
// Writes `bytes` to path, replacing what was there; throws when it cannot.
void WriteFileText(const std::string& path, const std::string& bytes);
