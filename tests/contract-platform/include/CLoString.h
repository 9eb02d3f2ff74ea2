// CLoString: the file utilities' string, its text and a terminating NUL in an owned buffer
// together with its length. c_str() is never null: the empty string is a static "".
#pragma once

#include <cstddef>

#include "CAutoMemory.h"

class CLoDirectory;

class CLoString {
public:
    CLoString() = default;
    ~CLoString() = default;
    CLoString(const CLoString&) = delete;
    CLoString& operator=(const CLoString&) = delete;

    const char* c_str() const;

private:
    friend class CLoDirectory;
    void Assign(const char* text, size_t length);

    CAutoMemory<char> m_buffer;
    size_t m_nLength = 0;
};
