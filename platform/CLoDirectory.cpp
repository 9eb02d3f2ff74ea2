#include "CLoDirectory.h"

#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

constexpr mode_t kDirectoryMode = 0750;

bool IsEmptyPath(const char* path) {
    return path == nullptr || *path == '\0';
}

bool IsDirectory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// mkdir that accepts a directory already there (made by us earlier or by another process at
// the same moment).
int MakeOne(const std::string& path) {
    if (::mkdir(path.c_str(), kDirectoryMode) == 0) {
        return 0;
    }
    const int error = errno;
    return error == EEXIST && IsDirectory(path) ? 0 : error;
}

CLoError RemoveContents(const std::string& path) {
    std::error_code error;
    for (std::filesystem::directory_iterator it(path, error), end; !error && it != end;
         it.increment(error)) {
        // remove_all removes a symbolic link itself and does not descend through it.
        std::filesystem::remove_all(it->path(), error);
    }
    return error ? CLoError::FromErrno(error.value(), "remove contents of " + path) : CLoError();
}

}  // namespace

CLoError CLoDirectory::Open(const char* path, const char* pattern, bool includeHidden) {
    Close();
    if (IsEmptyPath(path)) {
        return CLoError::FromErrno(ENOENT, "list (empty path)");
    }
    DIR* dir = ::opendir(path);
    if (dir == nullptr) {
        const int error = errno;
        return CLoError::FromErrno(error, std::string("list ") + path);
    }
    m_pDir.reset(dir);
    m_strPattern = pattern != nullptr ? pattern : "*";
    m_bIncludeHidden = includeHidden;
    m_readError = CLoError();
    ReadAhead();
    return CLoError();
}

// One entry is always read ahead, so that the call delivering the last entry can say so.
void CLoDirectory::ReadAhead() {
    m_bHaveNext = false;
    while (m_pDir) {
        errno = 0;
        const dirent* found = ::readdir(m_pDir.get());
        if (found == nullptr) {
            if (const int error = errno; error != 0) {
                m_readError = CLoError::FromErrno(error, "read directory");
            }
            return;
        }
        const char* name = found->d_name;
        if ((m_bIncludeHidden || name[0] != '.') && ::fnmatch(m_strPattern.c_str(), name, 0) == 0) {
            m_strNext = CLoString(name);
            m_bHaveNext = true;
            return;
        }
    }
}

CLoError CLoDirectory::GetEntry(SLoDirEntry* entry, bool& end) {
    if (!m_bHaveNext) {
        end = true;
        return m_readError.IsError() ? m_readError : CLoError::FromErrno(ENOENT, "no entry left");
    }
    entry->m_strName = std::move(m_strNext);
    ReadAhead();
    end = !m_bHaveNext && !m_readError.IsError();
    return CLoError();
}

CLoError CLoDirectory::Close() {
    m_bHaveNext = false;
    m_strNext.Clear();
    if (!m_pDir) {
        return CLoError::FromErrno(EBADF, "close listing");
    }
    m_pDir.reset();
    return CLoError();
}

CLoError CLoDirectory::Create(const char* path, bool createParents) {
    if (IsEmptyPath(path)) {
        return CLoError::FromErrno(ENOENT, "create directory (empty path)");
    }
    const std::string target(path);
    if (!createParents) {
        const int error = ::mkdir(path, kDirectoryMode) == 0 ? 0 : errno;
        return error == 0 ? CLoError() : CLoError::FromErrno(error, "create directory " + target);
    }
    // Every prefix that ends before a "/" is a parent; the root and repeated slashes are
    // skipped by the empty-prefix and existing-directory cases.
    for (size_t slash = target.find('/', 1); slash != std::string::npos;
         slash = target.find('/', slash + 1)) {
        if (const int error = MakeOne(target.substr(0, slash)); error != 0) {
            return CLoError::FromErrno(error, "create directory " + target.substr(0, slash));
        }
    }
    const int error = MakeOne(target);
    return error == 0 ? CLoError() : CLoError::FromErrno(error, "create directory " + target);
}

CLoError CLoDirectory::Remove(const char* path, bool removeContents, bool keepDirectory) {
    if (IsEmptyPath(path)) {
        return CLoError::FromErrno(ENOENT, "remove directory (empty path)");
    }
    struct stat info;
    const int error = ::lstat(path, &info) != 0 ? errno : S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    if (error != 0) {
        // Also refuses a link to a directory: its target's contents are not ours to remove.
        return CLoError::FromErrno(error, std::string("remove directory ") + path);
    }
    if (removeContents) {
        CLoError result = RemoveContents(path);
        if (result.IsError()) {
            return result;
        }
    }
    if (keepDirectory || ::rmdir(path) == 0) {
        return CLoError();
    }
    const int rmdirError = errno;
    return CLoError::FromErrno(rmdirError, std::string("remove directory ") + path);
}
