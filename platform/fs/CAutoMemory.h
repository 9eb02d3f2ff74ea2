// CAutoMemory<T>: an owned array buffer of the file utilities, with its element count.
//
// Contract:
//  - A default-constructed buffer is empty: Size() is 0 and Ptr_const() is null.
//  - Alloc(count) replaces the buffer with `count` value-initialised elements (an allocation
//    failure throws std::bad_alloc and leaves the old buffer); Free() empties it.
//  - Ptr_const() yields the buffer's pointer while Size() is non-zero and null otherwise, so an
//    empty buffer never hands out a dangling or zero-length allocation.
//  - The buffer is released on destruction. It moves but does not copy; owners that need a
//    copy (CLoString) allocate their own and copy the elements.
#pragma once

#include <cstddef>
#include <memory>

#include "VSPlatformExport.h"

template <typename T>
class VSPLATFORM_EXPORT CAutoMemory {
public:
    CAutoMemory() = default;
    explicit CAutoMemory(size_t count) { Alloc(count); }

    void Alloc(size_t count) {
        std::unique_ptr<T[]> data(count != 0 ? new T[count]() : nullptr);
        m_pData = std::move(data);
        m_nSize = count;
    }
    void Free() {
        m_pData.reset();
        m_nSize = 0;
    }

    T* Ptr() { return m_nSize != 0 ? m_pData.get() : nullptr; }
    const T* Ptr_const() const { return m_nSize != 0 ? m_pData.get() : nullptr; }
    size_t Size() const { return m_nSize; }

private:
    std::unique_ptr<T[]> m_pData;
    size_t m_nSize = 0;
};
