// What CLoFile and CLoDirectory share: the test for a path that names nothing, the owner of a
// directory stream, and the one wording of an error's context. Internal to vsplatform: not
// installed.
//
// Wording: "<operation> <path>", a note in parentheses after it where the errno alone would
// mislead ("read /x (not a regular file)"); an empty path is said as "(empty path)", and an
// operation on an open object names no path at all ("write").
#pragma once

#include <dirent.h>

#include <cerrno>
#include <string>

#include "CLoError.h"

// Hidden: the library exports nothing of its own internals (an inline function that is not
// inlined would otherwise be a weak symbol of libvsplatform).
#pragma GCC visibility push(hidden)

namespace vsplatform {

inline bool IsEmptyPath(const char* path) {
    return path == nullptr || *path == '\0';
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// `path` null: the operation names no path.
inline CLoError FsFailure(int error, const char* operation, const char* path,
                          const char* note = nullptr) {
    std::string what(operation);
    if (path != nullptr) {
        what += *path != '\0' ? std::string(" ") + path : std::string(" (empty path)");
    }
    if (note != nullptr) {
        what += std::string(" (") + note + ")";
    }
    return CLoError::FromErrno(error, what);
}

inline CLoError FsFailure(int error, const char* operation, const std::string& path,
                          const char* note = nullptr) {
    return FsFailure(error, operation, path.c_str(), note);
}

// A null path and an empty one alike: there is nothing to act on.
inline CLoError EmptyPathFailure(const char* operation) {
    return FsFailure(ENOENT, operation, "");
}

// The failure of the system call just made: errno is read before anything can allocate and
// overwrite it.
inline CLoError LastFsFailure(const char* operation, const char* path, const char* note = nullptr) {
    const int error = errno;
    return FsFailure(error, operation, path, note);
}

inline CLoError LastFsFailure(const char* operation, const std::string& path,
                              const char* note = nullptr) {
    const int error = errno;
    return FsFailure(error, operation, path.c_str(), note);
}

}  // namespace vsplatform

#pragma GCC visibility pop
