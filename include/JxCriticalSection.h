/// @file JxCriticalSection.h
/// @brief The connection's request lock (JxCriticalSection) and its scope guard
/// (JxCriticalSectionLock), over the platform's lock primitive JxCriticalSectionH.
#pragma once

#include "JxCriticalSectionH.h"
#include "VSSupportExport.h"

/// Owns one platform lock primitive for its whole life. The REST connection's request lock;
/// whether a thread may enter it again is the primitive's (the platform requirement LOCK-1 in
/// VSPlatformRequirements.h: it must, for a hook's nested request).
class VSSUPPORT_EXPORT JxCriticalSection {
public:
    /// Makes the primitive; throws the const char* text "Not enough memory to initialize
    /// JxCriticalSection" when none could be made.
    JxCriticalSection();
    /// Destroys the primitive, which no thread may hold then.
    ~JxCriticalSection();
    JxCriticalSection(const JxCriticalSection&) = delete;
    JxCriticalSection& operator=(const JxCriticalSection&) = delete;

    /// The primitive's enter: with wait true it returns true holding the lock.
    bool enter(bool wait);
    /// The primitive's leave.
    void leave();

private:
    JxCriticalSectionH* m_pHandle;
};

/// Scope guard: enters the section (waiting) on construction, leaves it on destruction. A null
/// section is allowed and guards nothing.
class VSSUPPORT_EXPORT JxCriticalSectionLock {
public:
    /// Enters `section` unless it is null.
    explicit JxCriticalSectionLock(JxCriticalSection* section);
    /// Leaves the section entered by the constructor.
    ~JxCriticalSectionLock();
    JxCriticalSectionLock(const JxCriticalSectionLock&) = delete;
    JxCriticalSectionLock& operator=(const JxCriticalSectionLock&) = delete;

private:
    JxCriticalSection* m_pSection;
};
