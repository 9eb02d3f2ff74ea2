// JxCriticalSectionH: the platform's lock primitive. Recursive: a thread that holds it may
// enter it again, and leaves it once per enter.
#pragma once

#include <mutex>

class JxCriticalSectionH {
public:
    JxCriticalSectionH();
    ~JxCriticalSectionH();
    JxCriticalSectionH(const JxCriticalSectionH&) = delete;
    JxCriticalSectionH& operator=(const JxCriticalSectionH&) = delete;

    // wait true: returns true with the lock held. wait false: takes it only if it is free now.
    bool enter(bool wait);
    void leave();

private:
    std::recursive_mutex m_mutex;
};
