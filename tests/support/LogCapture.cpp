#include "LogCapture.h"

LogCapture::LogCapture() {
    m_previous = TqDebugSetSink([this](const TqDebugRecord& record) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_records.push_back(record);
    });
}

LogCapture::~LogCapture() {
    TqDebugSetSink(std::move(m_previous));
}

std::vector<TqDebugRecord> LogCapture::Records() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
}

std::vector<TqDebugRecord> LogCapture::Errors() const {
    std::vector<TqDebugRecord> out;
    for (const auto& r : Records()) {
        if (r.kind == TqDebugRecord::Error) {
            out.push_back(r);
        }
    }
    return out;
}

std::vector<TqDebugRecord> LogCapture::From(const std::string& function) const {
    std::vector<TqDebugRecord> out;
    for (const auto& r : Records()) {
        if (r.function == function) {
            out.push_back(r);
        }
    }
    return out;
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
}
