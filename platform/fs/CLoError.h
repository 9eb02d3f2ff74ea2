// CLoError: the result object of every file-utility operation, returned by value.
//
// Contract:
//  - A 32-bit status code; IsError() is true exactly when its most significant bit is set.
//    Success is 0. A failed system call gives 0x80000000 | errno.
//  - Error details (the errno value and a text naming the operation, the path and the system's
//    message) are shared by reference count: copying or assigning a CLoError copies the code
//    and shares the other object's details, releasing its own share; destruction releases it.
//    A success carries no details.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "VSPlatformExport.h"

class VSPLATFORM_EXPORT CLoError {
public:
    static constexpr uint32_t kSuccess = 0;
    static constexpr uint32_t kErrorBit = 0x80000000u;

    CLoError() = default;  // success

    // errno of a failed call; `what` names the operation and its object for the text.
    static CLoError FromErrno(int error, const std::string& what);

    bool IsError() const { return (m_nStatus & kErrorBit) != 0; }
    uint32_t GetStatus() const { return m_nStatus; }
    int GetErrno() const;                // 0 for a success
    const std::string& GetText() const;  // empty for a success

private:
    struct Details {
        int error;
        std::string text;
    };

    uint32_t m_nStatus = kSuccess;
    std::shared_ptr<const Details> m_pDetails;
};
