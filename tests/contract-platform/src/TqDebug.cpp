// The debug log: each call makes one record, formatted and nothing else, and hands it to the
// tap's sink when one is installed, else writes it as one line to the log file or stderr.
#include "TqDebug.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "ContractLogTap.h"

namespace {

constexpr const char* kLogFileVariable = "VSCONTRACT_LOG_FILE";

std::mutex g_sinkMutex;
TqDebugSink g_sink;  // guarded by g_sinkMutex

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The message as printf writes it; empty without a format or without memory for it (a log
// call never throws into its caller).
__attribute__((format(printf, 1, 0))) std::string Format(const char* format,
                                                         va_list args) noexcept {
    if (format == nullptr) {
        return std::string();
    }
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) {
        return std::string();
    }
    try {
        std::string text(static_cast<size_t>(length), '\0');
        std::vsnprintf(text.data(), text.size() + 1, format, args);
        return text;
    } catch (...) {
        return std::string();
    }
}

void WriteLine(const TqDebugRecord& record) {
    const std::string tag =
        record.kind == TqDebugRecord::Error ? "ERROR" : "DEBUG-" + std::to_string(record.level);
    const std::string line = tag + " " + record.function + ": " + record.message + "\n";
    const char* path = std::getenv(kLogFileVariable);
    const std::unique_ptr<std::FILE, FileCloser> file(
        path != nullptr && *path != '\0' ? std::fopen(path, "a") : nullptr);
    std::fwrite(line.data(), 1, line.size(), file ? file.get() : stderr);
}

// Never throws: logging must not change what the caller does.
void Emit(TqDebugRecord::Kind kind, int level, const char* function, const std::string& message) {
    try {
        const TqDebugRecord record{kind, level, function != nullptr ? function : "", message};
        TqDebugSink sink;
        {
            const std::lock_guard<std::mutex> lock(g_sinkMutex);
            sink = g_sink;
        }
        if (sink) {
            sink(record);
        } else {
            WriteLine(record);
        }
    } catch (...) {
    }
}

}  // namespace

TqDebug::TqDebug(TqDebugFileInstance* /*instance*/) {}

TqDebug::~TqDebug() = default;

void TqDebug::Error(const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string message = Format(format, args);
    va_end(args);
    Emit(TqDebugRecord::Error, -1, function, message);
}

void TqDebug::DebugLvl(const char* function, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string message = Format(format, args);
    va_end(args);
    Emit(TqDebugRecord::Debug, level, function, message);
}

TqDebugSink TqDebugSetSink(TqDebugSink sink) {
    const std::lock_guard<std::mutex> lock(g_sinkMutex);
    std::swap(g_sink, sink);
    return sink;
}
