// CLoString: the file utilities' string, a byte text in an owned CAutoMemory<char> buffer
// together with its length.
//
// Contract:
//  - The buffer holds the text and one terminating NUL; the length does not count the NUL.
//    A text may itself contain NUL bytes; c_str() then shows it up to the first of them.
//  - c_str() never returns null: for length 0 it returns a static empty string, otherwise the
//    buffer's pointer through CAutoMemory<char>::Ptr_const().
//  - Copies are deep; a moved-from string is empty.
#pragma once

#include <cstddef>
#include <string>

#include "CAutoMemory.h"
#include "VSPlatformExport.h"

class VSPLATFORM_EXPORT CLoString {
public:
    CLoString() = default;
    CLoString(const char* text);  // NOLINT: converts like std::string does; null is empty
    CLoString(const char* text, size_t length);
    CLoString(const CLoString& other);
    CLoString(CLoString&& other) noexcept;
    CLoString& operator=(const CLoString& other);
    CLoString& operator=(CLoString&& other) noexcept;
    ~CLoString() = default;

    void Assign(const char* text, size_t length);
    void Clear();

    const char* c_str() const;
    size_t Length() const { return m_nLength; }
    std::string ToString() const { return std::string(c_str(), m_nLength); }

private:
    CAutoMemory<char> m_buffer;
    size_t m_nLength = 0;
};
