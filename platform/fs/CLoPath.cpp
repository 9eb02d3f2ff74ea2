#include "CLoPath.h"

#include <sys/stat.h>

#include <cerrno>

bool CLoPath::Exists(const char* path) {
    struct stat info;
    return path != nullptr && *path != '\0' && ::stat(path, &info) == 0;
}

CLoError LoPathAppend(std::string& base, const char* name, uint32_t flags) {
    if (name == nullptr || flags != 0) {
        return CLoError::FromErrno(EINVAL, "path append");
    }
    if (!base.empty() && base.back() != '/') {
        base += '/';
    }
    base += name;
    return CLoError();
}
