// CLoDirectory: directory listing, creation and removal of the file utilities.
//  - Open(path, pattern, includeHidden) lists the names matching the fnmatch(3) pattern;
//    includeHidden false leaves out names that begin with a dot.
//  - GetEntry fills the entry with the next name. The call that finds no more sets `end` and
//    delivers the previous name again; with no previous name it fails.
//  - Create(path, createParents) makes the directory (and with createParents its missing
//    parents), 0755 less the umask; a directory already there is a success.
//  - Remove(path, removeContents, keepDirectory) removes the directory the path names (a link or
//    anything else fails with ENOTDIR). removeContents empties it first (links are removed, not
//    followed); keepDirectory keeps it, emptied.
#pragma once

#include <dirent.h>

#include <memory>
#include <string>

#include "CLoError.h"
#include "CLoString.h"

struct SLoDirEntry {
    CLoString m_strName;
};

class CLoDirectory {
public:
    CLoDirectory();
    ~CLoDirectory();
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

    bool Wanted(const char* name) const;

    std::unique_ptr<DIR, DirCloser> m_pDir;
    std::string m_strPattern;
    bool m_bIncludeHidden = false;
    std::string m_strLast;
    bool m_bHaveLast = false;
};
