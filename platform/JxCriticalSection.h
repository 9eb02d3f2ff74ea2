// The lock primitive of the platform and the two small classes that the library uses on top.
//
// JxCriticalSectionH is recursive: a thread that holds it may enter it again (each enter is
// matched by one leave). The REST connection runs its hooks while holding its request lock, so
// a hook that issues a further request on the same connection and thread must not deadlock.
#pragma once

#include <mutex>

class JxCriticalSectionH {
public:
    JxCriticalSectionH() = default;
    ~JxCriticalSectionH() = default;
    JxCriticalSectionH(const JxCriticalSectionH&) = delete;
    JxCriticalSectionH& operator=(const JxCriticalSectionH&) = delete;

    // wait true: blocks until the lock is held and returns true.
    // wait false: takes the lock only if it is free at once; returns whether it did.
    bool enter(bool wait);
    void leave();

private:
    std::recursive_mutex m_mutex;
};

// Owns one primitive for its whole life. Its constructor throws the const char* text
// "Not enough memory to initialize JxCriticalSection" when no primitive could be made.
class JxCriticalSection {
public:
    JxCriticalSection();
    ~JxCriticalSection();
    JxCriticalSection(const JxCriticalSection&) = delete;
    JxCriticalSection& operator=(const JxCriticalSection&) = delete;

    bool enter(bool wait);
    void leave();

private:
    JxCriticalSectionH* m_pHandle;
};

// Scope guard: enters the section (waiting) on construction, leaves it on destruction.
// A null section is allowed and guards nothing.
class JxCriticalSectionLock {
public:
    explicit JxCriticalSectionLock(JxCriticalSection* section);
    ~JxCriticalSectionLock();
    JxCriticalSectionLock(const JxCriticalSectionLock&) = delete;
    JxCriticalSectionLock& operator=(const JxCriticalSectionLock&) = delete;

private:
    JxCriticalSection* m_pSection;
};
