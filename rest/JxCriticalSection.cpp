#include "JxCriticalSection.h"

#include <new>

// The owned primitive is a raw pointer by contract (m_pHandle); the nothrow form makes an
// allocation failure visible as null, which the contract turns into the text exception. A
// primitive whose constructor throws is freed by the new-expression, and the exception passes.
JxCriticalSection::JxCriticalSection() : m_pHandle(new (std::nothrow) JxCriticalSectionH()) {
    if (m_pHandle == nullptr) {
        throw "Not enough memory to initialize JxCriticalSection";
    }
}

JxCriticalSection::~JxCriticalSection() {
    delete m_pHandle;
    m_pHandle = nullptr;
}

bool JxCriticalSection::enter(bool wait) {
    return m_pHandle->enter(wait);
}

void JxCriticalSection::leave() {
    m_pHandle->leave();
}

JxCriticalSectionLock::JxCriticalSectionLock(JxCriticalSection* section) : m_pSection(section) {
    if (m_pSection != nullptr) {
        m_pSection->enter(true);
    }
}

JxCriticalSectionLock::~JxCriticalSectionLock() {
    if (m_pSection != nullptr) {
        m_pSection->leave();
    }
}
