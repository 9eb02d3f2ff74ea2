#include "CLoDirectory.h"

#include <fnmatch.h>
#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "LoFailure.h"

namespace fs = std::filesystem;

namespace {

// A failure from a std::filesystem error code (whose values are errno values here).
CLoError FromCode(const std::error_code& code, const char* what, const char* path) {
    return CLoErrorFactory::FromErrno(code.value(), what, path);
}

bool IsDirectory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

CLoDirectory::CLoDirectory() = default;

CLoDirectory::~CLoDirectory() = default;

CLoError CLoDirectory::Open(const char* path, const char* pattern, bool includeHidden) {
    m_pDir.reset(path != nullptr ? ::opendir(path) : nullptr);
    if (!m_pDir) {
        return CLoErrorFactory::FromErrno(path != nullptr ? errno : EINVAL, "opendir", path);
    }
    m_strPattern = pattern != nullptr ? pattern : "*";
    m_bIncludeHidden = includeHidden;
    m_bHaveLast = false;
    return CLoError();
}

bool CLoDirectory::Wanted(const char* name) const {
    return (m_bIncludeHidden || name[0] != '.') && ::fnmatch(m_strPattern.c_str(), name, 0) == 0;
}

CLoError CLoDirectory::GetEntry(SLoDirEntry* entry, bool& end) {
    end = false;
    while (m_pDir) {
        errno = 0;
        const dirent* next = ::readdir(m_pDir.get());
        if (next == nullptr && errno != 0) {
            end = true;
            return CLoErrorFactory::FromLastErrno("readdir", nullptr);
        }
        if (next == nullptr) {
            break;
        }
        if (Wanted(next->d_name)) {
            m_strLast = next->d_name;
            m_bHaveLast = true;
            entry->m_strName.Assign(m_strLast.data(), m_strLast.size());
            return CLoError();
        }
    }
    end = true;  // the last name once more, so the finishing call carries a real entry
    if (!m_bHaveLast) {
        return CLoErrorFactory::FromErrno(ENOENT, "readdir", nullptr);
    }
    entry->m_strName.Assign(m_strLast.data(), m_strLast.size());
    return CLoError();
}

CLoError CLoDirectory::Close() {
    if (!m_pDir) {
        return CLoErrorFactory::FromErrno(EBADF, "closedir", nullptr);
    }
    m_pDir.reset();
    return CLoError();
}

CLoError CLoDirectory::Create(const char* path, bool createParents) {
    if (path == nullptr) {
        return CLoErrorFactory::FromErrno(EINVAL, "mkdir", path);
    }
    const std::string target(path);
    // With parents, every prefix up to a "/" first; a directory already there counts as made.
    size_t slash = createParents ? target.find('/', 1) : std::string::npos;
    for (;; slash = target.find('/', slash + 1)) {
        const std::string step = target.substr(0, slash);
        if (::mkdir(step.c_str(), 0755) != 0) {
            const int error = errno;
            if (error != EEXIST || !IsDirectory(step)) {
                return CLoErrorFactory::FromErrno(error == EEXIST ? ENOTDIR : error, "mkdir", path);
            }
        }
        if (slash == std::string::npos) {
            return CLoError();
        }
    }
}

CLoError CLoDirectory::Remove(const char* path, bool removeContents, bool keepDirectory) {
    std::error_code code;
    if (path == nullptr || !fs::is_directory(fs::symlink_status(path, code))) {
        return CLoErrorFactory::FromErrno(ENOTDIR, "remove", path);
    }
    if (removeContents) {
        for (fs::directory_iterator it(path, code), done; !code && it != done; it.increment(code)) {
            fs::remove_all(it->path(), code);
        }
    }
    if (!code && !keepDirectory) {
        fs::remove(path, code);
    }
    return code ? FromCode(code, "remove", path) : CLoError();
}
