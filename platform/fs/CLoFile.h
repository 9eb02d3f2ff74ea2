// CLoFile: a file of the file utilities, on POSIX calls.
//
// Contract:
//  - The default constructor opens nothing; the destructor closes a file that is still open.
//    Objects are not copied.
//  - Open(path, flags, mode) takes Linux open(2) flags (578 = O_RDWR | O_CREAT | O_TRUNC) and
//    always adds O_CLOEXEC and O_NOFOLLOW, so a symbolic link at the path is never followed
//    (ELOOP). mode is the permission of a created file; 0 means 0640 (the umask applies).
//    Opening an object that is already open closes the earlier file first.
//  - Write(data, length, written) writes all `length` bytes, looping over short writes and
//    EINTR, and stores the count actually written through `written` (when not null), also on
//    failure. An error that stops the loop (EFBIG, ENOSPC, ...) is the result.
//  - Close() closes the file; closing a file that is not open is an error (EBADF).
//  - ReadWholeFile(path, buffer, size, maxSize) reads the whole of a regular file (links not
//    followed; other kinds of entry are refused with EINVAL and never block) into a buffer
//    allocated with new[] holding the bytes and one terminating NUL, which the caller frees with
//    delete[]. size receives the byte count without the NUL. A file of more than maxSize bytes
//    fails with EFBIG: one whose size says so before anything is allocated, one that grows past
//    it once a byte beyond the limit is read. Memory that cannot be had fails with ENOMEM; no
//    exception leaves. The buffer is read into directly (no copy is made at the end) and is
//    never larger than maxSize + 2 bytes; while it grows, the old one and its successor are
//    all the memory the read holds. On failure *buffer is null. ReadWholeFile(path, buffer,
//    size) is the same with maxSize kDefaultReadLimit (256 MiB), far above any file the agent
//    reads whole.
//  - Delete(path, ignoreMissing) removes a file or a symbolic link (not its target). It
//    refuses directories (EISDIR). With ignoreMissing, a path that does not exist counts as
//    deleted.
//  - Rename(from, to) moves an entry atomically within one file system, replacing a file at
//    `to`: a reader of `to` sees the old or the new file, never neither.
//  - GetTimes(path, access, change, modify) reports the entry's own times (lstat: a symbolic
//    link's, not its target's) as seconds since the epoch, in the order access, status change,
//    modification. Any pointer may be null.
#pragma once

#include "CLoError.h"
#include "VSPlatformExport.h"

class VSPLATFORM_EXPORT CLoFile {
public:
    CLoFile() = default;
    ~CLoFile();
    CLoFile(const CLoFile&) = delete;
    CLoFile& operator=(const CLoFile&) = delete;

    CLoError Open(const char* path, int flags, int mode);
    CLoError Write(const void* data, unsigned int length, unsigned int* written);
    CLoError Close();
    bool IsOpen() const { return m_nFd >= 0; }

    static constexpr unsigned long kDefaultReadLimit = 256UL * 1024 * 1024;

    static CLoError ReadWholeFile(const char* path, char** buffer, unsigned long& size);
    static CLoError ReadWholeFile(const char* path, char** buffer, unsigned long& size,
                                  unsigned long maxSize);
    static CLoError Delete(const char* path, bool ignoreMissing);
    static CLoError Rename(const char* from, const char* to);
    static CLoError GetTimes(const char* path, long* accessTime, long* changeTime,
                             long* modifyTime);

private:
    int m_nFd = -1;
};
