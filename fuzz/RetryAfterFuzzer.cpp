// Arbitrary text as a server's Retry-After value, and as an HTTP-date, read against a fixed now.
//
// Promises checked on every input:
//  - ParseRetryAfter: a value of digits alone asks for that many seconds (10^9 at most), a date
//    for the seconds from now to it (none once it is past, 10^9 at most); anything else is false
//    and leaves the wait as it was, since the request path keeps -1 there for "none".
//  - NextWaitMs, for that wait (or none) under policies and deadlines from ordinary to extreme:
//    -1 (no retry), or a wait of at least 0, at most the policy's largest delay and leaving at
//    least 50 ms of what remains of the deadline; a server's wait is taken as asked up to the
//    largest delay, a backoff's is within its doubling ceiling.
//  - ParseHttpDate: an accepted date is the time gmtime's inverse (timegm) gives its fields, and
//    that time written back in each of the three forms parses to the same time.
//  - RetryAfterValue finds the value, trimmed, in the last response of a header block, and
//    nothing where only an interim response before it has one.
//  - The work grows with the text, no faster: the branch counters of clang's profile
//    instrumentation, compiled into RetryPolicy.cpp alone for this target, count what the parsers
//    do, on the input and on a piece of it repeated to 32 KiB (the first two bytes choose the
//    piece), and must stay within a fixed number per byte. A parser that rescanned its text
//    would count thousands of times over it on the long one.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "FuzzSupport.h"
#include "RetryPolicy.h"

using vsfuzz::Require;

// Clang's profile counters of the instrumented file; defining the runtime hook ourselves keeps
// the profile runtime from writing a default.profraw at every exit.
extern "C" {
extern uint64_t __start___llvm_prf_cnts[];
extern uint64_t __stop___llvm_prf_cnts[];
int __llvm_profile_runtime = 0;
}

namespace {

// 2024-01-01 00:00:00 GMT.
constexpr std::time_t kNow = 1704067200;
constexpr long kLongestWaitSeconds = 1000000000L;
constexpr long kShortestAttemptMs = 50;
constexpr size_t kAmplified = 32U << 10;
// Counted steps allowed per byte of text, and for a text of none. The linear parsers take at
// most 70 a byte (Retry-After is read through the header block's parser, which checks each
// byte of a name; a text of line breaks took 35), 10 over a run of letters; a scan of the
// letters read so far at each letter took 65548 a byte on 32 KiB of them.
constexpr uint64_t kWorkPerByte = 128;
constexpr uint64_t kFixedWork = 4096;

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kLongDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};

uint64_t CountedWork() {
    uint64_t sum = 0;
    for (const uint64_t* c = __start___llvm_prf_cnts; c != __stop___llvm_prf_cnts; ++c) {
        sum += *c;
    }
    return sum;
}

int MonthIndex(const char* name) {
    for (int i = 0; i < 12; ++i) {
        if (std::string(name) == kMonths[i]) {
            return i;
        }
    }
    return -1;
}

// The date's fields read back from the text by sscanf, for the forms as told apart by what
// follows the weekday, then turned into a time by the C library.
bool OracleTime(const std::string& text, std::time_t& when) {
    const size_t afterDay =
        text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    if (afterDay == std::string::npos) {
        return false;
    }
    const char* rest = text.c_str() + afterDay;
    std::tm tm{};
    char month[4] = {};
    int year = 0;
    int fields = 0;
    if (text.compare(afterDay, 1, ",") != 0) {
        fields = std::sscanf(rest, " %3s %d %2d:%2d:%2d %4d", month, &tm.tm_mday, &tm.tm_hour,
                             &tm.tm_min, &tm.tm_sec, &year);
    } else if (text.compare(afterDay + 4, 1, "-") == 0) {
        fields = std::sscanf(rest, ", %2d-%3s-%2d %2d:%2d:%2d", &tm.tm_mday, month, &year,
                             &tm.tm_hour, &tm.tm_min, &tm.tm_sec);
        year += year < 70 ? 2000 : 1900;
    } else {
        fields = std::sscanf(rest, ", %2d %3s %4d %2d:%2d:%2d", &tm.tm_mday, month, &year,
                             &tm.tm_hour, &tm.tm_min, &tm.tm_sec);
    }
    tm.tm_mon = MonthIndex(month);
    tm.tm_year = year - 1900;
    when = timegm(&tm);
    return fields == 6 && tm.tm_mon >= 0;
}

[[gnu::format(printf, 1, 2)]] std::string Printed(const char* format, ...) {
    char text[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// `when` in each form the parser reads; the two-digit year only where it names that year.
void CheckWrittenBack(std::time_t when) {
    std::tm tm{};
    Require(gmtime_r(&when, &tm) != nullptr, "an accepted date has a calendar date");
    const int year = tm.tm_year + 1900;
    const char* month = kMonths[tm.tm_mon];
    const std::string imf = Printed("%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday],
                                    tm.tm_mday, month, year, tm.tm_hour, tm.tm_min, tm.tm_sec);
    const std::string asc = Printed("%s %s %2d %02d:%02d:%02d %04d", kDays[tm.tm_wday], month,
                                    tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, year);
    const std::string rfc850 =
        Printed("%s, %02d-%s-%02d %02d:%02d:%02d GMT", kLongDays[tm.tm_wday], tm.tm_mday, month,
                year % 100, tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::time_t again = 0;
    Require(vsrest::ParseHttpDate(imf, again) && again == when,
            "a date written back as an IMF-fixdate parses to the same time");
    Require(vsrest::ParseHttpDate(asc, again) && again == when,
            "a date written back in the asctime form parses to the same time");
    if (year >= 1970 && year <= 2069) {
        Require(vsrest::ParseHttpDate(rfc850, again) && again == when,
                "a date written back in the RFC 850 form parses to the same time");
    }
}

void CheckDate(const std::string& text) {
    std::time_t when = 0;
    if (!vsrest::ParseHttpDate(text, when)) {
        return;
    }
    std::time_t expected = 0;
    Require(OracleTime(text, expected), "an accepted date has the fields of one of the forms");
    Require(when == expected, "an accepted date is the time its fields name");
    CheckWrittenBack(when);
}

bool AllDigits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Delay-seconds by hand: leading zeros dropped, more than ten digits beyond any cap.
long DigitSeconds(const std::string& text) {
    const size_t first = std::min(text.find_first_not_of('0'), text.size());
    const std::string digits = text.substr(first);
    if (digits.size() > 10) {
        return kLongestWaitSeconds;
    }
    return digits.empty() ? 0 : std::min(std::stol(digits), kLongestWaitSeconds);
}

// The wait the value asks for, -1 for none, checked against what the value says.
long CheckRetryAfter(const std::string& value) {
    constexpr long kUntouched = -12345;
    long waitMs = kUntouched;
    const bool parsed = vsrest::ParseRetryAfter(value, kNow, waitMs);
    std::time_t when = 0;
    if (AllDigits(value)) {
        Require(parsed && waitMs == DigitSeconds(value) * 1000,
                "delay-seconds is that many seconds, 10^9 at most");
    } else if (vsrest::ParseHttpDate(value, when)) {
        const long seconds = static_cast<long>(std::max<std::time_t>(when - kNow, 0));
        Require(parsed && waitMs == std::min(seconds, kLongestWaitSeconds) * 1000,
                "a date is the seconds from now to it, none once past, 10^9 at most");
    } else {
        Require(!parsed && waitMs == kUntouched, "anything else is false, the wait untouched");
        return -1;
    }
    Require(waitMs >= 0 && waitMs <= kLongestWaitSeconds * 1000, "a wait within 0 and the cap");
    return waitMs;
}

// The doubling ceiling worked out apart from the library's loop: first * 2^(retry - 1), at most
// the largest delay.
long Ceiling(long firstMs, long largest, int retry) {
    long double ceiling = std::max(firstMs, 0L);
    for (int n = 1; n < retry && ceiling > 0 && ceiling < largest; ++n) {
        ceiling *= 2;
    }
    return ceiling >= largest ? largest : static_cast<long>(ceiling);
}

struct Delays {
    long first;
    long largest;
};
constexpr Delays kPolicies[] = {{200, 10000},
                                {0, 0},
                                {0, 10000},
                                {1, 1},
                                {-5, -7},
                                {1000, 500},
                                {1, LONG_MAX},
                                {LONG_MAX, LONG_MAX},
                                {LONG_MAX / 3, LONG_MAX - 1}};
constexpr long kRemaining[] = {-1, 0, 49, 50, 51, 10049, LONG_MAX};
constexpr int kRetries[] = {1, 2, 40, INT_MAX};

void CheckWait(const Delays& delays, int retry, long retryAfterMs, long remainingMs, double unit) {
    VSRestApiRetryPolicy policy;
    policy.nFirstDelayMs = delays.first;
    policy.nMaxDelayMs = delays.largest;
    const long wait = vsrest::NextWaitMs(policy, retry, retryAfterMs, remainingMs, unit);
    const long largest = std::max(delays.largest, 0L);
    const long ceiling = Ceiling(delays.first, largest, retry);
    const long wanted = retryAfterMs >= 0 ? std::min(retryAfterMs, largest) : -1;
    if (wait == -1) {
        Require(remainingMs >= 0, "no retry only for want of time");
        Require(wanted < 0 || wanted > remainingMs - kShortestAttemptMs,
                "a server's wait that fits is taken");
        Require(unit > 0 || wanted >= 0 || remainingMs < kShortestAttemptMs,
                "a backoff that waits nothing is refused only for want of 50 ms");
        return;
    }
    Require(wait >= 0 && wait <= largest, "a wait within 0 and the largest delay");
    Require(remainingMs < 0 || wait <= remainingMs - kShortestAttemptMs,
            "a wait leaves 50 ms of the deadline");
    Require(wanted < 0 ? wait <= ceiling : wait == wanted,
            "a server's wait as asked, a backoff's within its ceiling");
    Require(unit > 0 || wanted >= 0 || wait == 0, "a draw of 0 waits nothing");
}

void CheckWaits(long retryAfterMs) {
    const double units[] = {0.0, 0.5, std::nextafter(1.0, 0.0)};
    for (const Delays& delays : kPolicies) {
        for (const long remaining : kRemaining) {
            for (const int retry : kRetries) {
                // With no first delay the doubling never reaches the largest one, and the
                // ceiling's loop runs once per retry: keep the count of retries small there.
                if (delays.first <= 0 && delays.largest > 0 && retry > 64) {
                    continue;
                }
                for (const double unit : units) {
                    CheckWait(delays, retry, retryAfterMs, remaining, unit);
                }
            }
        }
    }
}

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

void CheckHeaderBlock(const std::string& value) {
    if (value.find_first_of("\r\n") != std::string::npos) {
        return;
    }
    const std::string last = "HTTP/1.1 503 Service Unavailable\r\nretry-AFTER:" + value +
                             "\r\nContent-Length: 0\r\n\r\n";
    Require(vsrest::RetryAfterValue(last.data(), last.size()) == Trimmed(value),
            "the value of the last response's Retry-After line, trimmed");
    const std::string interim = "HTTP/1.1 503 Busy\r\nRetry-After: " + value +
                                "\r\n\r\nHTTP/1.1 429 Too Many\r\nServer: x\r\n\r\n";
    Require(vsrest::RetryAfterValue(interim.data(), interim.size()).empty(),
            "a line of an earlier response is not the last response's");
}

// Everything the parsers do with one text, counted.
void CheckWorkOn(const std::string& text) {
    const uint64_t before = CountedWork();
    long waitMs = 0;
    std::time_t when = 0;
    vsrest::ParseRetryAfter(text, kNow, waitMs);
    vsrest::ParseHttpDate(text, when);
    vsrest::RetryAfterValue(text.data(), text.size());
    const uint64_t work = CountedWork() - before;
    if (work > kFixedWork + kWorkPerByte * text.size()) {
        vsfuzz::Fail("the parsers' work grows faster than the text: " + std::to_string(work) +
                     " counts for " + std::to_string(text.size()) + " bytes");
    }
}

// The input with a piece of it repeated in place to kAmplified bytes.
std::string Amplified(const uint8_t* data, size_t size) {
    const std::string rest(reinterpret_cast<const char*>(data) + 2, size - 2);
    const size_t begin = data[0] % rest.size();
    const size_t length = 1 + data[1] % (rest.size() - begin);
    const std::string piece = rest.substr(begin, length);
    std::string text = rest.substr(0, begin);
    text.reserve(kAmplified + rest.size());
    while (text.size() < kAmplified) {
        text += piece;
    }
    return text + rest.substr(begin + length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    CheckDate(text);
    CheckWaits(CheckRetryAfter(text));
    CheckWaits(CheckRetryAfter(Trimmed(text)));
    CheckHeaderBlock(text);
    CheckWorkOn(text);
    if (size >= 3) {
        CheckWorkOn(Amplified(data, size));
    }
    return 0;
}
