// CLoError: the result of every file-utility call. A 32-bit status whose most significant bit
// marks an error (0x80000000 | errno), and details shared by reference count between copies.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

class CLoErrorFactory;

class CLoError {
public:
    CLoError() = default;  // success
    CLoError(const CLoError&) = default;
    CLoError& operator=(const CLoError&) = default;
    ~CLoError() = default;

    bool IsError() const { return (m_nStatus & 0x80000000u) != 0; }

private:
    friend class CLoErrorFactory;
    CLoError(uint32_t status, std::shared_ptr<const std::string> details)
        : m_nStatus(status), m_pDetails(std::move(details)) {}

    uint32_t m_nStatus = 0;
    std::shared_ptr<const std::string> m_pDetails;  // what failed, for a debugger
};
