// The log's message formatting against vsnprintf, byte for byte.
//
// The log copies formats made only of text, "%s" and "%%" itself, without printf, and hands
// every other format to vsnprintf; both must give what vsnprintf gives. From the input this
// target builds formats out of text, "%s" and "%%" (the copying path) and now and then a
// "%.<n>s" (which sends the whole format down the vsnprintf path, its growth pass included),
// with up to kMaxArguments string arguments, null ones among them (glibc prints "(null)").
//
// The record goes through the public TqDebug API into a TQDEBUG_FILE of the target's own,
// opened before the first record and unlinked at once, and is read back from it (the formatter
// is internal to the shared library); the same call is then made with a sink installed, which
// must receive the same message. Every message is masked before it is written, so the expected
// text is masked the same way. Text and arguments are drawn from bytes that no secret shape starts
// with (no quotes, colons, equals signs, angle or square brackets, "@" or "&"): the masker
// changes nothing on either side and cannot hide a difference, and if it learns new shapes the
// comparison still stays about formatting.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include "FuzzSupport.h"
#include "TqDebug.h"

using vsfuzz::Fail;
using vsfuzz::Require;

namespace {

constexpr size_t kMaxArguments = 8;
constexpr size_t kMaxPieces = 48;
constexpr size_t kMaxRepeats = 600;  // an argument of up to 64 x 600 bytes passes the first buffer
constexpr const char* kLabel = "fuzz";
constexpr std::string_view kMarker = "ERROR   fuzz: ";

// Letters, digits, blanks, line breaks, harmless punctuation and bytes beyond ASCII.
constexpr std::string_view kAlphabet =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 \n\t.,;-_/()!#$*+~|"
    "\x80\xa9\xc3\xff";

int g_logFd = -1;  // the log's file, read back after each record

std::string SafeText(FuzzedDataProvider& in, size_t maxLength) {
    std::string text = in.ConsumeRandomLengthString(maxLength);
    for (char& c : text) {
        c = kAlphabet[static_cast<unsigned char>(c) % kAlphabet.size()];
    }
    return text;
}

std::string ReadLogFile() {
    struct stat st {};
    Require(::fstat(g_logFd, &st) == 0, "the log file can be read back");
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n =
            ::pread(g_logFd, &text[done], text.size() - done, static_cast<off_t>(done));
        Require(n > 0, "the log file can be read back");
        done += static_cast<size_t>(n);
    }
    return text;
}

// The message of the one record in the file, without its line break.
std::string LoggedMessage() {
    const std::string record = ReadLogFile();
    const size_t at = record.find(kMarker);
    Require(at != std::string::npos && !record.empty() && record.back() == '\n',
            "the record is in the log file, whole");
    return record.substr(at + kMarker.size(), record.size() - at - kMarker.size() - 1);
}

std::string Vsnprintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    Require(length >= 0, "vsnprintf formats the format");
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, again);
    va_end(again);
    text.pop_back();
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* dir = std::getenv("TMPDIR");
    std::string path =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/fuzz_log_format.XXXXXX";
    g_logFd = ::mkstemp(&path[0]);
    Require(g_logFd >= 0, "a log file of the target's own");
    // Read once, at the first record: nothing has logged yet.
    ::setenv("TQDEBUG_FILE", path.c_str(), 1);
    TqDebug(nullptr).Error(kLabel, "%s", "ready");
    ::unlink(path.c_str());  // the log and the target keep their descriptors
    Require(LoggedMessage() == "ready", "records go to the target's own log file");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    std::array<std::string, kMaxArguments> values;
    std::array<const char*, kMaxArguments> arguments{};  // null unless given a value
    std::string format;
    size_t used = 0;
    // Each thread keeps its record buffer, grown for the longest record it wrote: a new thread
    // starts from the smallest, so a long message takes the paths that grow it.
    const bool freshThread = in.ConsumeBool();
    const size_t pieces = in.ConsumeIntegralInRange<size_t>(0, kMaxPieces);
    for (size_t i = 0; i < pieces && in.remaining_bytes() > 0; ++i) {
        const int kind = in.ConsumeIntegralInRange(0, 4);
        if (kind == 0) {
            format += SafeText(in, 64);
        } else if (kind == 1) {
            format += "%%";
        } else if (used < kMaxArguments) {
            format += kind == 4 ? "%." + std::to_string(in.ConsumeIntegralInRange(0, 9)) + "s"
                                : std::string("%s");
            if (in.ConsumeIntegralInRange(0, 5) != 0) {
                const std::string unit = SafeText(in, 64);
                const size_t repeats =
                    in.ConsumeBool() ? 1 : in.ConsumeIntegralInRange<size_t>(1, kMaxRepeats);
                for (size_t r = 0; r < repeats; ++r) {
                    values[used] += unit;
                }
                arguments[used] = values[used].c_str();
            }
            ++used;
        }
    }

    Require(::ftruncate(g_logFd, 0) == 0, "the log file can be emptied");
    const auto log = [&] {
        TqDebug(nullptr).Error(kLabel, format.c_str(), arguments[0], arguments[1], arguments[2],
                               arguments[3], arguments[4], arguments[5], arguments[6],
                               arguments[7]);
    };
    const auto run = [&] {
        if (freshThread) {
            std::thread(log).join();
        } else {
            log();
        }
    };
    run();
    std::string expected =
        Vsnprintf(format.c_str(), arguments[0], arguments[1], arguments[2], arguments[3],
                  arguments[4], arguments[5], arguments[6], arguments[7]);
    TqDebugMaskSecrets(expected);
    const std::string logged = LoggedMessage();
    if (logged != expected) {
        Fail("the log formats \"" + format + "\" as " + std::to_string(logged.size()) +
             " bytes, vsnprintf as " + std::to_string(expected.size()) + ":\n[" + logged + "]\n[" +
             expected + "]");
    }
    std::string handed;
    const TqDebugSink previous =
        TqDebugSetSink([&handed](const TqDebugRecord& record) { handed = record.message; });
    run();
    TqDebugSetSink(previous);
    Require(handed == expected, "a sink receives the message the file receives");
    return 0;
}
