#include "JxCriticalSectionH.h"

bool JxCriticalSectionH::enter(bool wait) {
    if (wait) {
        m_mutex.lock();
        return true;
    }
    return m_mutex.try_lock();
}

void JxCriticalSectionH::leave() {
    m_mutex.unlock();
}
