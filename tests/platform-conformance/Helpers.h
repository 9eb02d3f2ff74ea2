// What the conformance checks share beyond the loopback helpers of tests/support.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace conformance {

// Every byte value, NUL first, `rounds` times over: a body cut at its first NUL arrives empty.
inline std::string EveryByte(size_t rounds) {
    std::string bytes;
    for (size_t round = 0; round < rounds; ++round) {
        for (int byte = 0; byte < 256; ++byte) {
            bytes += static_cast<char>(byte);
        }
    }
    return bytes;
}

// Redirects standard error to /dev/null for the object's life: the log checks write megabytes
// to the platform's log, whose default destination may be standard error.
class SilencedStderr {
public:
    SilencedStderr() {
        std::fflush(stderr);
        m_nSaved = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            ::dup2(null, STDERR_FILENO);
            ::close(null);
        }
    }
    ~SilencedStderr() {
        std::fflush(stderr);
        if (m_nSaved >= 0) {
            ::dup2(m_nSaved, STDERR_FILENO);
            ::close(m_nSaved);
        }
    }
    SilencedStderr(const SilencedStderr&) = delete;
    SilencedStderr& operator=(const SilencedStderr&) = delete;

private:
    int m_nSaved = -1;
};

}  // namespace conformance
