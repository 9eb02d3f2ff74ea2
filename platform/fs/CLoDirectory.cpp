#include "CLoDirectory.h"
#include "FsFailure.h"
#include "UniqueFd.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

using vsplatform::DirCloser;
using vsplatform::EmptyPathFailure;
using vsplatform::FsFailure;
using vsplatform::IsEmptyPath;
using vsplatform::LastFsFailure;
using vsplatform::UniqueFd;

constexpr mode_t kDirectoryMode = 0750;

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

// Removing nothing still tells the caller whether the path names a directory itself; a link to
// one is not.
CLoError CheckIsDirectory(const std::string& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) {
        return LastFsFailure("remove directory", path);
    }
    return S_ISDIR(info.st_mode) ? CLoError() : FsFailure(ENOTDIR, "remove directory", path);
}

// Each level of the removal holds one directory open; the bound keeps a deep tree from using up
// the process's descriptors or its stack. Cache and job directories are a level or two deep.
constexpr int kMaxRemoveDepth = 64;

constexpr int kOpenDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool IsDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Where a directory lives: its device, and whether it is the root of a mount, which is all that
// tells a bind mount of the same file system apart (kernels before 5.8 do not say; the device
// still tells other file systems apart there).
struct Placement {
    dev_t device = 0;
    bool mountRoot = false;
};

bool PlacementOf(int fd, Placement& placement) {
    struct statx info {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &info) != 0) {
        return false;
    }
    placement.device = makedev(info.stx_dev_major, info.stx_dev_minor);
    placement.mountRoot = (info.stx_attributes_mask & info.stx_attributes &
                           static_cast<uint64_t>(STATX_ATTR_MOUNT_ROOT)) != 0;
    return true;
}

// Empties a tree through descriptors only: every entry is reached from the directory that was
// opened above it, so renaming a directory on the way, or putting a link in its place, cannot
// lead the removal out of the tree. It goes on past what it cannot remove and keeps the first
// error, so that a success means the tree is empty.
class TreeRemover {
public:
    explicit TreeRemover(dev_t device) : m_device(device) {}

    // Empties the open directory `fd` at `path` (the path only names it in errors).
    void Empty(UniqueFd& fd, const std::string& path, int depth) {
        std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd.Get()));
        if (!dir) {
            Note(errno, path);
            return;
        }
        fd.Release();  // the stream owns it now
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(dir.get());
            if (entry == nullptr) {
                if (errno != 0) {
                    Note(errno, path);
                }
                return;
            }
            if (!IsDotOrDotDot(entry->d_name)) {
                RemoveEntry(::dirfd(dir.get()), path, entry->d_name, depth);
            }
        }
    }

    const CLoError& Result() const { return m_first; }

private:
    // unlinkat removes a link or a file itself and refuses a directory with EISDIR. An entry
    // already gone counts as removed.
    void RemoveEntry(int parent, const std::string& path, const char* name, int depth) {
        if (::unlinkat(parent, name, 0) == 0 || errno == ENOENT) {
            return;
        }
        const int error = errno;
        if (error != EISDIR) {
            Note(error, path + "/" + name);
        } else if (depth >= kMaxRemoveDepth) {
            Note(ELOOP, path + "/" + name, "deeper than the removal goes");
        } else {
            RemoveDirectory(parent, path + "/" + name, name, depth);
        }
    }

    // Opens the directory without following a link, so one put in its place since the unlinkat
    // fails here (ENOTDIR). A mount point stays whole: its contents belong to another tree.
    void RemoveDirectory(int parent, const std::string& path, const char* name, int depth) {
        UniqueFd fd(::openat(parent, name, kOpenDirectoryFlags));
        Placement placement;
        if (fd.Get() < 0 || !PlacementOf(fd.Get(), placement)) {
            Note(errno, path);
            return;
        }
        if (placement.device != m_device || placement.mountRoot) {
            Note(EXDEV, path, "a mount point: left as it is");
            return;
        }
        Empty(fd, path, depth + 1);
        if (::unlinkat(parent, name, AT_REMOVEDIR) != 0 && errno != ENOENT) {
            Note(errno, path);
        }
    }

    // Takes errno as an argument, read before the text is built.
    void Note(int error, const std::string& path, const char* note = nullptr) {
        if (!m_first.IsError()) {
            m_first = FsFailure(error, "remove", path, note);
        }
    }

    dev_t m_device;
    CLoError m_first;
};

}  // namespace

CLoError CLoDirectory::Open(const char* path, const char* pattern, bool includeHidden) {
    Close();
    if (IsEmptyPath(path)) {
        return EmptyPathFailure("list");
    }
    DIR* dir = ::opendir(path);
    if (dir == nullptr) {
        return LastFsFailure("list", path);
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
                m_readError = FsFailure(error, "read directory", nullptr);
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
        return m_readError.IsError() ? m_readError : FsFailure(ENOENT, "no entry left", nullptr);
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
        return FsFailure(EBADF, "close listing", nullptr);
    }
    m_pDir.reset();
    return CLoError();
}

CLoError CLoDirectory::Create(const char* path, bool createParents) {
    if (IsEmptyPath(path)) {
        return EmptyPathFailure("create directory");
    }
    const std::string target(path);
    if (!createParents) {
        return ::mkdir(path, kDirectoryMode) == 0 ? CLoError()
                                                  : LastFsFailure("create directory", path);
    }
    // Every prefix that ends before a "/" is a parent; the root and repeated slashes are
    // skipped by the empty-prefix and existing-directory cases.
    for (size_t slash = target.find('/', 1); slash != std::string::npos;
         slash = target.find('/', slash + 1)) {
        if (const int error = MakeOne(target.substr(0, slash)); error != 0) {
            return FsFailure(error, "create directory", target.substr(0, slash));
        }
    }
    const int error = MakeOne(target);
    return error == 0 ? CLoError() : FsFailure(error, "create directory", target);
}

CLoError CLoDirectory::Remove(const char* path, bool removeContents, bool keepDirectory) {
    if (IsEmptyPath(path)) {
        return EmptyPathFailure("remove directory");
    }
    const std::string target(path);
    // An empty directory goes by rmdir alone, which needs no right to list it (a folder of mode
    // 0300 is its owner's to remove). rmdir takes only an empty directory and no link, so
    // nothing else can go this way, and the path is safe to use for it.
    if (!keepDirectory) {
        if (::rmdir(path) == 0) {
            return CLoError();
        }
        const int rmdirError = errno;
        if (!removeContents || rmdirError == ENOENT || rmdirError == ENOTDIR) {
            return FsFailure(rmdirError, "remove directory", target);
        }
    } else if (!removeContents) {
        return CheckIsDirectory(target);
    }
    // The contents are reached through this descriptor, never through the path again: a link
    // put in the directory's place afterwards leads nowhere. O_NOFOLLOW also refuses a link to a
    // directory at the path itself (ENOTDIR): its target's contents are not ours to remove.
    UniqueFd top(::open(path, kOpenDirectoryFlags));
    Placement placement;
    if (top.Get() < 0 || !PlacementOf(top.Get(), placement)) {
        return LastFsFailure("remove directory", target);
    }
    TreeRemover remover(placement.device);
    remover.Empty(top, target, 0);
    if (remover.Result().IsError()) {
        return remover.Result();
    }
    if (keepDirectory || ::rmdir(path) == 0) {
        return CLoError();
    }
    const int rmdirError = errno;
    return FsFailure(rmdirError, "remove directory", target);
}
