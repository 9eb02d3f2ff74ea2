// CLoFile: a file of the file utilities, on POSIX calls.
//  - Open takes open(2) flags; the third argument is the mode of a created file, 0 for 0644
//    (the umask applies). The destructor closes a file still open.
//  - ReadWholeFile gives a new[] buffer with the file's bytes and a NUL, which the caller
//    frees with delete[]; size is the byte count.
//  - Delete unlinks the entry (a link itself, not its target); its flag is not used.
//  - GetTimes reports the entry's own access, status-change and modification times.
#pragma once

#include "CLoError.h"

class CLoFile {
public:
    CLoFile();
    ~CLoFile();
    CLoFile(const CLoFile&) = delete;
    CLoFile& operator=(const CLoFile&) = delete;

    CLoError Open(const char* path, int flags, int mode);
    CLoError Write(const void* data, unsigned int length, unsigned int* written);
    CLoError Close();

    static CLoError ReadWholeFile(const char* path, char** buffer, unsigned long& size);
    static CLoError Delete(const char* path, bool flag);
    static CLoError GetTimes(const char* path, long* accessTime, long* changeTime,
                             long* modifyTime);

private:
    int m_nFd = -1;
};
