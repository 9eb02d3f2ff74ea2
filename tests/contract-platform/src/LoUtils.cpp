#include <sys/stat.h>

#include <cstring>

#include "CLoPath.h"
#include "CLoString.h"
#include "LoFailure.h"

const char* CLoString::c_str() const {
    return m_nLength == 0 ? "" : m_buffer.Ptr_const();
}

void CLoString::Assign(const char* text, size_t length) {
    char* data = m_buffer.Alloc(length + 1);
    std::memcpy(data, text, length);
    m_nLength = length;
}

bool CLoPath::Exists(const char* path) {
    struct stat info;
    return path != nullptr && *path != '\0' && ::stat(path, &info) == 0;
}

CLoError LoPathAppend(std::string& base, const char* name, uint32_t /*flags*/) {
    if (name == nullptr) {
        return CLoErrorFactory::FromErrno(EINVAL, "append", base.c_str());
    }
    if (!base.empty() && base.back() != '/') {
        base += '/';
    }
    base += name;
    return CLoError();
}
