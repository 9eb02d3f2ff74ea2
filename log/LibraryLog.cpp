#include "LibraryLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "SecretMask.h"

namespace {

// Whether the platform's log takes records masked by their caller.
template <typename Log, typename = void>
struct TakesMaskedRecords : std::false_type {};
template <typename Log>
struct TakesMaskedRecords<Log,
                          std::void_t<decltype(std::declval<const Log&>().WouldWrite(0)),
                                      decltype(std::declval<Log&>().ErrorMasked("", "")),
                                      decltype(std::declval<Log&>().DebugLvlMasked("", 0, ""))>>
    : std::true_type {};

// The hand-over, as templates so that the branch a platform cannot take is never compiled.
template <typename Log>
bool WouldWrite(const Log& log, int level) {
    if constexpr (TakesMaskedRecords<Log>::value) {
        return log.WouldWrite(level);
    } else {
        return true;  // unknown: format it, and the log decides
    }
}

template <typename Log>
void HandError(Log& log, const char* label, const char* message) {
    if constexpr (TakesMaskedRecords<Log>::value) {
        log.ErrorMasked(label, message);
    } else {
        log.Error(label, "%s", message);
    }
}

template <typename Log>
void HandDebug(Log& log, const char* label, int level, const char* message) {
    if constexpr (TakesMaskedRecords<Log>::value) {
        log.DebugLvlMasked(label, level, message);
    } else {
        log.DebugLvl(label, level, "%s", message);
    }
}

// A record above this size gives its buffer back afterwards, so that one large body does not
// keep its memory for the thread's life.
constexpr size_t kKeptBuffer = size_t{64} * 1024;

// Formats made of nothing but text, "%s" and "%%" (the exchange lines', which carry whole bodies)
// are copied without printf, which is far dearer per byte.
bool IsPlainFormat(const char* format) {
    for (const char* p = std::strchr(format, '%'); p != nullptr; p = std::strchr(p + 2, '%')) {
        if (p[1] != 's' && p[1] != '%') {
            return false;
        }
    }
    return true;
}

void FormatPlain(std::string& out, const char* format, va_list args) {
    for (const char* p = format;;) {
        const char* percent = std::strchr(p, '%');
        if (percent == nullptr) {
            out += p;
            return;
        }
        out.append(p, static_cast<size_t>(percent - p));
        const char* value = percent[1] == '%' ? "%" : va_arg(args, const char*);
        out += value == nullptr ? "(null)" : value;
        p = percent + 2;
    }
}

void FormatPrintf(std::string& out, const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    char small[256];
    const int length = std::vsnprintf(small, sizeof small, format, args);
    if (length < 0) {
        out += format;  // an encoding error: keep at least the format
    } else if (static_cast<size_t>(length) < sizeof small) {
        out.append(small, static_cast<size_t>(length));
    } else {
        out.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(&out[0], out.size(), format, again);
        out.resize(static_cast<size_t>(length));
    }
    va_end(again);
}

// The message, formatted and masked, in this thread's buffer; false when memory ran out.
bool Compose(std::string& message, const char* format, va_list args) noexcept {
    try {
        message.clear();
        if (IsPlainFormat(format)) {
            FormatPlain(message, format, args);
        } else {
            FormatPrintf(message, format, args);
        }
        std::string masked;  // allocated only when something is secret
        if (vsmask::MaskSecretsInto(message, masked)) {
            message = std::move(masked);
        }
        return true;
    } catch (...) {
        return false;  // the record goes, never the caller's outcome (nor the secret)
    }
}

std::string& ThreadBuffer() {
    thread_local std::string buffer;
    return buffer;
}

void Release(std::string& buffer) noexcept {
    if (buffer.capacity() > kKeptBuffer) {
        std::string().swap(buffer);
    }
}

template <typename Hand>
void Emit(const char* format, va_list args, Hand&& hand) noexcept {
    std::string& message = ThreadBuffer();
    if (Compose(message, format != nullptr ? format : "", args)) {
        // A platform log that throws all the same must not change the caller's outcome.
        try {
            hand(message.c_str());
        } catch (...) {
        }
    }
    Release(message);
}

}  // namespace

namespace vslog {

void Error(TqDebug& log, const char* label, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Emit(format, args, [&](const char* message) { HandError(log, label, message); });
    va_end(args);
}

void Debug(TqDebug& log, const char* label, int level, const char* format, ...) {
    if (!WouldWrite(log, level)) {
        return;  // nothing formatted for a record that goes nowhere
    }
    va_list args;
    va_start(args, format);
    Emit(format, args, [&](const char* message) { HandDebug(log, label, level, message); });
    va_end(args);
}

bool Shows(const TqDebug& log, int level) {
    return WouldWrite(log, level);
}

}  // namespace vslog
