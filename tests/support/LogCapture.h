// Collects every TqDebug record written while it lives (the process-wide sink), then restores
// the previous sink.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "TqDebug.h"
#if __has_include("ContractLogTap.h")
#include "ContractLogTap.h"
#endif

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<TqDebugRecord> Records() const;
    std::vector<TqDebugRecord> Errors() const;
    // Records written under this function label.
    std::vector<TqDebugRecord> From(const std::string& function) const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::vector<TqDebugRecord> m_records;
    TqDebugSink m_previous;
};

// The messages of the records, in order.
inline std::vector<std::string> Messages(const std::vector<TqDebugRecord>& records) {
    std::vector<std::string> out;
    for (const auto& r : records) {
        out.push_back(r.message);
    }
    return out;
}
