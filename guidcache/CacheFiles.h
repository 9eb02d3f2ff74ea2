// The file operations of the cache beyond the platform's listed file utilities.
//
// The cache replaces a record atomically (a temporary file renamed over it), reads a record
// with its size bound, and tells a missing file from one it could not change. Our platform's
// file utilities offer these (CLoFile::Rename, a size-bounded CLoFile::ReadWholeFile,
// CLoError::GetErrno); another platform's may not. Each is found here at compile time and used
// where it is there; otherwise the cache does the same with POSIX calls, which are its own to
// make. Each says why it failed as an errno, so that the cache can tell "no record" from "a
// record it could not read or write", and say which. Internal: not installed.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "CLoError.h"
#include "CLoFile.h"

namespace vsgc {

template <typename File, typename = void>
struct HasRename : std::false_type {};
template <typename File>
struct HasRename<File, std::void_t<decltype(File::Rename(std::declval<const char*>(),
                                                         std::declval<const char*>()))>>
    : std::true_type {};

template <typename File, typename = void>
struct HasBoundedRead : std::false_type {};
template <typename File>
struct HasBoundedRead<File, std::void_t<decltype(File::ReadWholeFile(
                                std::declval<const char*>(), std::declval<char**>(),
                                std::declval<unsigned long&>(), std::declval<unsigned long>()))>>
    : std::true_type {};

template <typename Error, typename = void>
struct HasErrno : std::false_type {};
template <typename Error>
struct HasErrno<Error, std::void_t<decltype(std::declval<const Error&>().GetErrno())>>
    : std::true_type {};

// Why the entry at `path` failed an operation: the platform's errno where its result carries
// one, else what the entry's state says now (ENOENT: there is none; EEXIST: there is one).
template <typename Error = CLoError>
int FailureErrno(const Error& result, const std::string& path) {
    if constexpr (HasErrno<Error>::value) {
        return result.GetErrno();
    } else {
        struct stat info {};
        return ::lstat(path.c_str(), &info) == 0 ? EEXIST : errno;
    }
}

// A failure whose reason is not known: the platform's result carries no errno.
constexpr int kNoReason = -1;

// 0 for a success, else the errno the platform's result carries, or kNoReason.
template <typename Error = CLoError>
int FailureOf(const Error& result) {
    if (!result.IsError()) {
        return 0;
    }
    if constexpr (HasErrno<Error>::value) {
        const int error = result.GetErrno();
        return error > 0 ? error : kNoReason;
    } else {
        return kNoReason;
    }
}

// Why a failed `result` could not create a file in `directory`: FailureOf, or where that knows
// no reason, whether this process may create entries there now, as POSIX says.
template <typename Error = CLoError>
int CreateFailure(const Error& result, const std::string& directory) {
    const int error = FailureOf(result);
    if (error != kNoReason) {
        return error;
    }
    return ::faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) == 0 ? kNoReason
                                                                                  : errno;
}

// Whether a read that failed with `error` found no record: nothing at the path, or an entry a
// lookup never reads (a link, something other than a regular file, a file over the bound). Any
// other errno means a record may be there that could not be read.
inline bool IsNoRecord(int error) {
    return error == ENOENT || error == ELOOP || error == EINVAL || error == EFBIG;
}

// Moves `from` over `to` in one step: a reader of `to` sees the old file or the new one. 0, or
// why not (see FailureOf).
template <typename File = CLoFile>
int RenameEntry(const std::string& from, const std::string& to) {
    if constexpr (HasRename<File>::value) {
        return FailureOf(File::Rename(from.c_str(), to.c_str()));
    } else {
        return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    }
}

// The whole of a regular file (a link is not followed, a FIFO never blocks) of at most `bound`
// bytes, NUL bytes included, with POSIX calls. 0, or why not as an errno: EINVAL for an entry
// that is no regular file, EFBIG for a larger file (also one that grows past the bound while it
// is read); `data` is then untouched. The cache tool reads records and its configuration with
// it too.
int ReadBoundedPosix(const std::string& path, size_t bound, std::string& data);

// The same through the platform where its read takes the bound. A platform whose result
// carries no errno has the read made again with POSIX calls, to learn why.
template <typename File = CLoFile>
int ReadBounded(const std::string& path, size_t bound, std::string& data) {
    if constexpr (HasBoundedRead<File>::value) {
        char* buffer = nullptr;
        unsigned long size = 0;
        const auto result = File::ReadWholeFile(path.c_str(), &buffer, size, bound);
        const std::unique_ptr<char[]> owned(buffer);  // a new[] buffer that is ours to free
        if (const int error = FailureOf(result)) {
            return error != kNoReason ? error : ReadBoundedPosix(path, bound, data);
        }
        if (owned) {
            data.assign(owned.get(), size);
        }
        return 0;
    } else {
        return ReadBoundedPosix(path, bound, data);
    }
}

}  // namespace vsgc
