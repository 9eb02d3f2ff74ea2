// UniqueFd: a file descriptor closed when its owner goes out of scope, unless handed on with
// Release(). Internal to vsplatform: not installed.
#pragma once

#include <unistd.h>

#include <utility>

namespace vsplatform {

class UniqueFd {
public:
    explicit UniqueFd(int fd) : m_nFd(fd) {}
    ~UniqueFd() {
        if (m_nFd >= 0) {
            ::close(m_nFd);
        }
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return m_nFd; }
    int Release() { return std::exchange(m_nFd, -1); }

private:
    int m_nFd;
};

}  // namespace vsplatform
