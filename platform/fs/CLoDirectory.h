// CLoDirectory: directory listing, creation and removal of the file utilities; SLoDirEntry:
// one entry of a listing.
//
// Contract:
//  - Open(path, pattern, includeHidden) starts a listing of the entries whose names match the
//    fnmatch(3) pattern ("*" matches every name, "." and ".." included). With includeHidden
//    false, names that begin with a dot are left out. A null or empty path, or a directory
//    that cannot be opened, fails. Opening again restarts the listing.
//  - GetEntry(entry, end) fills `entry` with the next entry. It sets `end` on the call that
//    delivers the last entry, so every call that succeeds delivers a real entry name of this
//    directory, the call that sets `end` included. A listing that has nothing to deliver (no
//    matching entry, not open, or already finished) fails with ENOENT and sets `end`. A read
//    error ends the listing: the entry read before it is still delivered, and the following
//    call fails with that error and sets `end`.
//  - Close() ends the listing; closing a listing that is not open is an error (EBADF). The
//    destructor closes a listing that is still open.
//  - Create(path, createParents) makes the directory with mode 0750 (the umask applies). With
//    createParents, missing parents are made too and an existing directory is a success; an
//    existing entry that is not a directory fails (ENOTDIR or EEXIST).
//  - Remove(path, removeContents, keepDirectory): the path must name a directory itself; a
//    symbolic link (to a directory or not) or any other entry fails with ENOTDIR and nothing is
//    removed. With removeContents, everything inside is removed first, through descriptors of
//    the directories opened on the way down: a directory swapped for a link meanwhile never
//    leads the removal elsewhere, and symbolic links are removed, never followed. A directory
//    inside on another file system, or a mount point (a bind mount included), is left as it is
//    with EXDEV; one more than 64 levels below the path is left with ELOOP (each level holds
//    one descriptor, so the bound keeps a deep tree from using up descriptors or stack). An
//    entry that vanishes meanwhile counts as removed. The removal goes on past an entry it
//    cannot remove; the first such error is the result and the directory itself then stays.
//    Otherwise the directory is removed unless keepDirectory. Without removeContents, only an
//    empty directory can go. An empty directory to be removed goes by rmdir(2) alone, without
//    being opened, so one the caller may not list (mode 0300) goes as rmdir would take it;
//    Remove(path, false, true) removes nothing and only checks that the path names a
//    directory. Emptying a directory (removeContents) needs the right to list it.
#pragma once

#include <dirent.h>

#include <memory>
#include <string>

#include "CLoError.h"
#include "CLoString.h"
#include "VSPlatformExport.h"

struct VSPLATFORM_EXPORT SLoDirEntry {
    CLoString m_strName;
};

class VSPLATFORM_EXPORT CLoDirectory {
public:
    CLoDirectory() = default;
    ~CLoDirectory() = default;
    CLoDirectory(const CLoDirectory&) = delete;
    CLoDirectory& operator=(const CLoDirectory&) = delete;

    CLoError Open(const char* path, const char* pattern, bool includeHidden);
    CLoError GetEntry(SLoDirEntry* entry, bool& end);
    CLoError Close();

    static CLoError Create(const char* path, bool createParents);
    static CLoError Remove(const char* path, bool removeContents, bool keepDirectory);

private:
    struct DirCloser {
        void operator()(DIR* dir) const { ::closedir(dir); }
    };

    void ReadAhead();

    std::unique_ptr<DIR, DirCloser> m_pDir;
    std::string m_strPattern;
    bool m_bIncludeHidden = false;
    bool m_bHaveNext = false;  // m_strNext holds the entry the next GetEntry delivers
    CLoString m_strNext;
    CLoError m_readError;  // a read error met while reading ahead, reported after m_strNext
};
