// The connection's state beyond the members a client sees: everything the request path keeps
// between and during requests lives here, behind CVSRestApiConnection's one private pointer,
// so that a feature that needs state adds a member here and the class's size and layout, which
// derived clients are compiled against, stay as they are. Internal: not installed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "VSRestApiConnection.h"

struct CVSRestApiConnection::Private {
    int nRequestDepth = 0;  // requests under way on this thread, nested ones included

    bool bCompression = true;      // offer compressed bodies (setCompression)
    VSRestApiTimings lastTimings;  // of the last exchange (getLastTimings)

    VSRestApiRetryPolicy retryPolicy;                     // setRetryPolicy; retries off by default
    long nRequestDeadlineMs = kDefaultRequestDeadlineMs;  // setRequestDeadline; 0: none
    bool bSetsTimeout = false;  // CURLOPT_TIMEOUT_MS is the library's before each attempt
    // The wait between attempts is a wait on this state rather than a sleep, so that another
    // thread can end it at once: set bEndWait under waitMutex and notify waitWake.
    std::mutex waitMutex;
    std::condition_variable waitWake;
    bool bEndWait = false;

    // True when the whole wait passed, false when it was ended early.
    bool WaitBetweenAttempts(long waitMs) {
        std::unique_lock<std::mutex> lock(waitMutex);
        return !waitWake.wait_for(lock, std::chrono::milliseconds(waitMs),
                                  [this] { return bEndWait; });
    }
};
