#include "JxCriticalSectionH.h"

JxCriticalSectionH::JxCriticalSectionH() = default;

JxCriticalSectionH::~JxCriticalSectionH() = default;

bool JxCriticalSectionH::enter(bool wait) {
    if (!wait) {
        return m_mutex.try_lock();
    }
    m_mutex.lock();
    return true;
}

void JxCriticalSectionH::leave() {
    m_mutex.unlock();
}
