/// @file JxCriticalSectionH.h
/// @brief The platform's lock primitive (JxCriticalSectionH), under the library's
/// JxCriticalSection.

/// @class JxCriticalSectionH
/// @brief The platform's lock primitive: a recursive mutex.
///
/// Recursive: a thread that holds it may enter it again, each enter matched by one leave. The
/// REST connection runs its hooks while holding its request lock, so a hook that issues a
/// further request on the same connection and thread must not deadlock.
#pragma once

#include <mutex>

#include "VSPlatformExport.h"

class VSPLATFORM_EXPORT JxCriticalSectionH {
public:
    /// A lock that no thread holds.
    JxCriticalSectionH() = default;
    /// Ends the lock, which no thread may hold then.
    ~JxCriticalSectionH() = default;
    JxCriticalSectionH(const JxCriticalSectionH&) = delete;
    JxCriticalSectionH& operator=(const JxCriticalSectionH&) = delete;

    /// wait true: blocks until the lock is held and returns true. wait false: takes the lock
    /// only if it is free at once (or this thread holds it); returns whether it did.
    bool enter(bool wait);
    /// Releases one enter of this thread.
    void leave();

private:
    std::recursive_mutex m_mutex;
};
