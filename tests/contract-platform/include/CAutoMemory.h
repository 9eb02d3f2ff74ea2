// CAutoMemory<T>: an owned array buffer of the file utilities. Ptr_const() is the buffer while
// it holds elements, null otherwise.
#pragma once

#include <cstddef>
#include <memory>

class CLoString;

template <typename T>
class CAutoMemory {
public:
    CAutoMemory() = default;
    ~CAutoMemory() = default;
    CAutoMemory(const CAutoMemory&) = delete;
    CAutoMemory& operator=(const CAutoMemory&) = delete;

    const T* Ptr_const() const { return m_nSize != 0 ? m_pData.get() : nullptr; }

private:
    friend class CLoString;

    T* Alloc(size_t count) {
        m_pData.reset(count != 0 ? new T[count]() : nullptr);
        m_nSize = count;
        return m_pData.get();
    }

    std::unique_ptr<T[]> m_pData;
    size_t m_nSize = 0;
};
