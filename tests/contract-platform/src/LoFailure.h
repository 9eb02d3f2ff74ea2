// How the file utilities make their failures (internal: not installed).
#pragma once

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "CLoError.h"

class CLoErrorFactory {
public:
    // 0x80000000 | error, with a text naming the call, the path and the system's message.
    static CLoError FromErrno(int error, const char* what, const char* path) {
        auto details = std::make_shared<const std::string>(std::string(what) + " [" +
                                                           (path != nullptr ? path : "(null)") +
                                                           "]: " + std::strerror(error));
        return CLoError(0x80000000u | static_cast<uint32_t>(error), std::move(details));
    }
    // The same for the errno a system call has just left.
    static CLoError FromLastErrno(const char* what, const char* path) {
        return FromErrno(errno, what, path);
    }
};
