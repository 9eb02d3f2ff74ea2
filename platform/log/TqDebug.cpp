// TqDebug's calls. A record is composed once (LogRecord.cpp: stamp room, ids, level tag,
// label, the message formatted and masked) and handed to the sinks that take it
// (LogSinks.cpp); the file and standard error are sinks too (LogFile.cpp reads their settings).
#include "TqDebug.h"

#include <cstdarg>
#include <string>

#include "LogRecord.h"
#include "LogSinks.h"
#include "SecretMask.h"

namespace {

using tqlog::Masking;

// The one road of every record, whatever its sinks.
void Emit(TqDebugRecord::Kind kind, int level, const char* function, const char* format,
          va_list args, Masking masking = Masking::kMask) {
    const char* label = function ? function : "";
    const char* text = format ? format : "";
    tqlog::WithThreadLog([&](tqlog::ThreadLog& log) {
        if (!tqlog::Compose(log, level, label, text, args, masking)) {
            tqlog::DropRecord();  // a log that cannot be written must not disturb the caller
            return;
        }
        tqlog::Deliver(log, kind, level, label);
    });
}

// A message its caller formatted and masked, through the same road.
void EmitAsGiven(TqDebugRecord::Kind kind, int level, const char* function, const char* format,
                 ...) {
    va_list args;
    va_start(args, format);
    Emit(kind, level, function, format, args, Masking::kAsGiven);
    va_end(args);
}

constexpr int kErrorLevel = -1;

}  // namespace

TqDebug::TqDebug(TqDebugFileInstance* instance) : m_pInstance(instance) {}

TqDebug::~TqDebug() = default;

void TqDebug::Error(const char* function, const char* format, ...) {
    if (!tqlog::AnySinkTakes(kErrorLevel)) {
        return;
    }
    va_list args;
    va_start(args, format);
    Emit(TqDebugRecord::Error, kErrorLevel, function, format, args);
    va_end(args);
}

void TqDebug::DebugLvl(const char* function, int level, const char* format, ...) {
    // The filter comes before va_start so that a filtered-out record costs next to nothing.
    if (!tqlog::AnySinkTakes(level)) {
        return;
    }
    va_list args;
    va_start(args, format);
    Emit(TqDebugRecord::Debug, level, function, format, args);
    va_end(args);
}

bool TqDebug::WouldWrite(int level) const {
    return tqlog::AnySinkTakes(level);
}

void TqDebug::ErrorMasked(const char* function, const char* message) {
    if (tqlog::AnySinkTakes(kErrorLevel)) {
        EmitAsGiven(TqDebugRecord::Error, kErrorLevel, function, "%s", message ? message : "");
    }
}

void TqDebug::DebugLvlMasked(const char* function, int level, const char* message) {
    if (tqlog::AnySinkTakes(level)) {
        EmitAsGiven(TqDebugRecord::Debug, level, function, "%s", message ? message : "");
    }
}

void TqDebugMaskSecrets(std::string& text) {
    vsmask::MaskSecrets(text);
}
