// The retry policy's arithmetic, apart from the request path so that each rule can be checked
// without a server: which outcomes are worth another attempt, what a Retry-After asks for, how
// long to wait otherwise (exponential backoff with full jitter: a wait drawn at random between
// 0 and a ceiling that doubles per retry, so that many clients refused at once do not come
// back at once), and what is left of a request's deadlines for its next attempt. All times are
// milliseconds; 0 as a deadline means none. Internal: not installed.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>

#include "VSRestApiConnection.h"

namespace vsrest {

// An attempt worth repeating: an answer of 429, 502, 503 or 504, or a failure before any byte
// of a response arrived (refused, reset, timed out on connect). `anyResponseByte`: a status
// line, a header or a body byte came back.
[[gnu::visibility("hidden")]] bool IsRetriedOutcome(int64_t status, bool anyResponseByte);

// The value of the Retry-After line of the last response in a raw header block (a block may
// hold an interim response or a redirect before it); empty when that response has none.
[[gnu::visibility("hidden")]] std::string RetryAfterValue(const char* block, unsigned long length);

// An HTTP-date in any of its three forms (IMF-fixdate "Sun, 06 Nov 1994 08:49:37 GMT", RFC 850
// "Sunday, 06-Nov-94 08:49:37 GMT", asctime "Sun Nov  6 08:49:37 1994") as seconds since the
// epoch; false for anything else.
[[gnu::visibility("hidden")]] bool ParseHttpDate(const std::string& text, std::time_t& when);

// A Retry-After value (delay-seconds or an HTTP-date, read against `now`) as a wait; a date in
// the past is no wait. False when the value is neither.
[[gnu::visibility("hidden")]] bool ParseRetryAfter(const std::string& value, std::time_t now,
                                                   long& waitMs);

// The ceiling of the wait before retry `retry` (1 for the first): the first delay doubled per
// retry, never above the largest delay.
[[gnu::visibility("hidden")]] long BackoffCeilingMs(long firstMs, long maxMs, int retry);

// A uniform draw in [0, 1) from a generator of the calling thread's own.
[[gnu::visibility("hidden")]] double JitterUnit();

// The wait before retry `retry`: the server's Retry-After (retryAfterMs, -1 for none) capped
// by the largest delay, else the backoff ceiling scaled by `unit` (a draw in [0, 1)). -1 when
// what is left of the policy's deadline (remainingMs, -1 when it has none) would leave less
// than 50 ms for the attempt after the wait.
[[gnu::visibility("hidden")]] long NextWaitMs(const VSRestApiRetryPolicy& policy, int retry,
                                              long retryAfterMs, long remainingMs, double unit);

// The time limit of one attempt: the smaller of the request deadline and what remains of the
// policy's deadline (-1: none), at least 1 ms once bounded; 0 when neither bounds it (the
// transport's own "no limit").
[[gnu::visibility("hidden")]] long AttemptTimeoutMs(long requestDeadlineMs, long remainingMs);

// The policy's deadline, running from the request's start.
class RetryClock {
public:
    explicit RetryClock(long deadlineMs)
        : m_start(std::chrono::steady_clock::now()), m_nDeadlineMs(deadlineMs) {}
    // What is left of the deadline (never below 0); -1 when there is none.
    long RemainingMs() const;

private:
    std::chrono::steady_clock::time_point m_start;
    long m_nDeadlineMs;
};

}  // namespace vsrest
