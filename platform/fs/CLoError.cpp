#include "CLoError.h"

#include <system_error>

CLoError CLoError::FromErrno(int error, const std::string& what) {
    CLoError result;
    result.m_nStatus = kErrorBit | (static_cast<uint32_t>(error) & 0xFFFFu);
    result.m_pDetails = std::make_shared<const Details>(
        Details{error, what + ": " + std::generic_category().message(error)});
    return result;
}

int CLoError::GetErrno() const {
    return m_pDetails ? m_pDetails->error : 0;
}

const std::string& CLoError::GetText() const {
    static const std::string kNone;
    return m_pDetails ? m_pDetails->text : kNone;
}
