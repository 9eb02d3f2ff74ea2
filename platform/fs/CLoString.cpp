#include "CLoString.h"

#include <cstring>
#include <utility>

CLoString::CLoString(const char* text) {
    if (text != nullptr) {
        Assign(text, std::strlen(text));
    }
}

CLoString::CLoString(const char* text, size_t length) {
    Assign(text, length);
}

CLoString::CLoString(const CLoString& other) {
    Assign(other.m_buffer.Ptr_const(), other.m_nLength);
}

CLoString::CLoString(CLoString&& other) noexcept
    : m_buffer(std::move(other.m_buffer)), m_nLength(std::exchange(other.m_nLength, 0)) {}

CLoString& CLoString::operator=(const CLoString& other) {
    if (this != &other) {
        Assign(other.m_buffer.Ptr_const(), other.m_nLength);
    }
    return *this;
}

CLoString& CLoString::operator=(CLoString&& other) noexcept {
    if (this != &other) {
        m_buffer = std::move(other.m_buffer);
        m_nLength = std::exchange(other.m_nLength, 0);
    }
    return *this;
}

void CLoString::Assign(const char* text, size_t length) {
    if (text == nullptr || length == 0) {
        Clear();
        return;
    }
    // Into a fresh buffer first: text may point into our own buffer.
    CAutoMemory<char> buffer(length + 1);
    std::memcpy(buffer.Ptr(), text, length);
    m_buffer = std::move(buffer);
    m_nLength = length;
}

void CLoString::Clear() {
    m_buffer.Free();
    m_nLength = 0;
}

const char* CLoString::c_str() const {
    static const char kEmpty[] = "";
    return m_nLength == 0 ? kEmpty : m_buffer.Ptr_const();
}
