#include "RetryPolicy.h"

#include "HeaderBlock.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <random>
#include <string_view>

namespace vsrest {
namespace {

constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// The least time worth starting an attempt with.
constexpr long kShortestAttemptMs = 50;
// More seconds than any wait means; keeps the milliseconds far from overflow.
constexpr long kLongestRetryAfterSeconds = 1000000000L;

// Reads an HTTP-date from left to right; every step is false, and moves nothing, on a
// mismatch, so that the forms can be told apart by what follows the weekday.
class Cursor {
public:
    explicit Cursor(std::string_view text) : m_text(text) {}
    bool AtEnd() const { return m_nPos == m_text.size(); }
    bool Char(char c) {
        if (m_nPos < m_text.size() && m_text[m_nPos] == c) {
            ++m_nPos;
            return true;
        }
        return false;
    }
    bool Word(std::string_view word) {
        if (m_text.substr(m_nPos, word.size()) != word) {
            return false;
        }
        m_nPos += word.size();
        return true;
    }
    // Exactly `digits` decimal digits.
    bool Number(size_t digits, int& value) {
        if (m_nPos + digits > m_text.size()) {
            return false;
        }
        int read = 0;
        for (size_t i = 0; i < digits; ++i) {
            const char c = m_text[m_nPos + i];
            if (c < '0' || c > '9') {
                return false;
            }
            read = read * 10 + (c - '0');
        }
        m_nPos += digits;
        value = read;
        return true;
    }
    bool Letters() {
        const size_t start = m_nPos;
        while (m_nPos < m_text.size() && std::isalpha(static_cast<unsigned char>(m_text[m_nPos]))) {
            ++m_nPos;
        }
        return m_nPos > start;
    }
    // A month's three-letter name, 1 for "Jan".
    bool Month(int& month) {
        for (size_t i = 0; i < kMonths.size(); ++i) {
            if (Word(kMonths[i])) {
                month = static_cast<int>(i) + 1;
                return true;
            }
        }
        return false;
    }
    bool Clock(int& hour, int& minute, int& second) {
        return Number(2, hour) && Char(':') && Number(2, minute) && Char(':') && Number(2, second);
    }

private:
    std::string_view m_text;
    size_t m_nPos = 0;
};

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar (years from 1 on).
long DaysFromCivil(int year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const int era = year / 400;
    const int yearOfEra = year - era * 400;
    const int dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return static_cast<long>(era) * 146097 + dayOfEra - 719468;
}

bool ToEpoch(int year, int month, int day, int hour, int minute, int second, std::time_t& when) {
    if (year < 1 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return false;
    }
    when = static_cast<std::time_t>(DaysFromCivil(year, month, day) * 86400L + hour * 3600L +
                                    minute * 60L + second);
    return true;
}

}  // namespace

bool IsRetriedOutcome(int64_t status, bool anyResponseByte) {
    if (status == 0) {
        return !anyResponseByte;
    }
    return status == 429 || status == 502 || status == 503 || status == 504;
}

// The last Retry-After line of the last response, through the parser that gives a client the
// answer's header lines.
std::string RetryAfterValue(const char* block, unsigned long length) {
    std::string value;
    for (auto& [name, text] : ParseHeaderBlock(block, length)) {
        if (EqualsIgnoringCase(name, "retry-after")) {
            value = std::move(text);
        }
    }
    return value;
}

bool ParseHttpDate(const std::string& text, std::time_t& when) {
    Cursor in(text);
    int day = 0;
    int month = 0;
    int year = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!in.Letters()) {
        return false;
    }
    if (in.Char(',')) {
        // "Sun, 06 Nov 1994 08:49:37 GMT" or "Sunday, 06-Nov-94 08:49:37 GMT"
        if (!in.Char(' ') || !in.Number(2, day)) {
            return false;
        }
        if (in.Char('-')) {
            if (!in.Month(month) || !in.Char('-') || !in.Number(2, year)) {
                return false;
            }
            year += year < 70 ? 2000 : 1900;
        } else if (!in.Char(' ') || !in.Month(month) || !in.Char(' ') || !in.Number(4, year)) {
            return false;
        }
        if (!in.Char(' ') || !in.Clock(hour, minute, second) || !in.Word(" GMT")) {
            return false;
        }
    } else {
        // "Sun Nov  6 08:49:37 1994"
        if (!in.Char(' ') || !in.Month(month) || !in.Char(' ') ||
            !(in.Char(' ') ? in.Number(1, day) : in.Number(2, day)) || !in.Char(' ') ||
            !in.Clock(hour, minute, second) || !in.Char(' ') || !in.Number(4, year)) {
            return false;
        }
    }
    return in.AtEnd() && ToEpoch(year, month, day, hour, minute, second, when);
}

bool ParseRetryAfter(const std::string& value, std::time_t now, long& waitMs) {
    if (!value.empty() &&
        std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        long seconds = 0;
        for (const char c : value) {
            seconds = std::min(seconds * 10 + (c - '0'), kLongestRetryAfterSeconds);
        }
        waitMs = seconds * 1000;
        return true;
    }
    std::time_t when = 0;
    if (!ParseHttpDate(value, when)) {
        return false;
    }
    const long seconds = static_cast<long>(std::max<std::time_t>(when - now, 0));
    waitMs = std::min(seconds, kLongestRetryAfterSeconds) * 1000;
    return true;
}

long BackoffCeilingMs(long firstMs, long maxMs, int retry) {
    const long largest = std::max(maxMs, 0L);
    long ceiling = std::max(firstMs, 0L);
    // Doubling stops at the cap, and at once for a first delay of 0, so the loop never runs
    // once per retry number.
    for (int n = 1; n < retry && ceiling > 0 && ceiling < largest; ++n) {
        ceiling = ceiling > largest / 2 ? largest : ceiling * 2;
    }
    return std::min(ceiling, largest);
}

double JitterUnit() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    return std::uniform_real_distribution<double>(0.0, 1.0)(engine);
}

long NextWaitMs(const VSRestApiRetryPolicy& policy, int retry, long retryAfterMs, long remainingMs,
                double unit) {
    long wait = 0;
    if (retryAfterMs >= 0) {
        wait = std::min(retryAfterMs, std::max(policy.nMaxDelayMs, 0L));
    } else {
        const long ceiling = BackoffCeilingMs(policy.nFirstDelayMs, policy.nMaxDelayMs, retry);
        // In double throughout: a ceiling of LONG_MAX (a policy with no real cap) has no
        // "+ 1" in long, and its draw no conversion back unless it stays below it.
        const double drawn = unit * (static_cast<double>(ceiling) + 1.0);
        wait = drawn < static_cast<double>(ceiling) ? static_cast<long>(drawn) : ceiling;
    }
    // A wait that leaves the attempt after it next to no time would only add a failure (and
    // the transport's own clock may end an attempt a little before ours says it should).
    return remainingMs >= 0 && wait > remainingMs - kShortestAttemptMs ? -1 : wait;
}

long AttemptTimeoutMs(long requestDeadlineMs, long remainingMs) {
    long bound = requestDeadlineMs > 0 ? requestDeadlineMs : -1;
    if (remainingMs >= 0 && (bound < 0 || remainingMs < bound)) {
        bound = remainingMs;
    }
    return bound < 0 ? 0 : std::max(bound, 1L);
}

long RetryClock::RemainingMs() const {
    if (m_nDeadlineMs <= 0) {
        return -1;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - m_start);
    return std::max(m_nDeadlineMs - static_cast<long>(elapsed.count()), 0L);
}

}  // namespace vsrest
