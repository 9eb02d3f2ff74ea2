// The connection's state beyond the members a client sees: everything the request path keeps
// between and during requests lives here, behind CVSRestApiConnection's one private pointer,
// so that a feature that needs state adds a member here and the class's size and layout, which
// derived clients are compiled against, stay as they are. Internal: not installed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "VSRestApiConnection.h"

struct CVSRestApiConnection::Private {
    int nRequestDepth = 0;  // requests under way on this thread, nested ones included

    bool bCompression = true;      // offer compressed bodies (setCompression)
    VSRestApiTimings lastTimings;  // of the last exchange (getLastTimings)

    VSRestApiRetryPolicy retryPolicy;                     // setRetryPolicy; retries off by default
    long nRequestDeadlineMs = kDefaultRequestDeadlineMs;  // setRequestDeadline; 0: none
    bool bSetsTimeout = false;  // CURLOPT_TIMEOUT_MS is the library's before each attempt
    // The connection's route (setProxy, disableProxy), set by connect after its policy.
    enum class ProxyMode { Environment, Named, Off };
    struct ProxyChoice {
        ProxyMode mode = ProxyMode::Environment;
        std::string strUrl;  // empty with Off: CURLOPT_PROXY "" turns every proxy off
        std::string strUser;
        std::string strPassword;
    };
    ProxyChoice proxy;

    // Settings a client assigns once (RequestSettings.cpp), kept across connects. The connect
    // timeout is set by connect after its policy and, when it changes later, before the next
    // request's first attempt.
    long nConnectTimeoutMs = -1;  // setConnectTimeout; -1: connect's own 30 s
    bool bConnectTimeoutPending = false;
    std::vector<long> expectedStatuses;  // setExpectedStatuses: answers that are results
    size_t nLogBodyLimit = 0;            // setLogBodyLimit; 0: bodies shown whole

    // patch() and head() name their method for the sendReq they call (pszNextMethod), which
    // takes it at once, so that a request its hooks issue sends its own verb; pszMethod is the
    // method of the request under way, null where the verb says it (Methods.cpp).
    const char* pszNextMethod = nullptr;
    const char* pszMethod = nullptr;

    // The wait between attempts is a wait on this state rather than a sleep, so that another
    // thread can end it at once: set bEndWait under waitMutex and notify waitWake.
    std::mutex waitMutex;
    std::condition_variable waitWake;
    bool bEndWait = false;
    // cancel(): read by the request path without the request lock, which cancel() cannot take.
    std::atomic<bool> bCancelled{false};

    // Both from any thread: the flag first, so that a request that finds the wait ended also
    // finds it cancelled.
    void Cancel() {
        bCancelled.store(true, std::memory_order_release);
        {
            const std::lock_guard<std::mutex> lock(waitMutex);
            bEndWait = true;
        }
        waitWake.notify_all();
    }
    void ResetCancel() {
        const std::lock_guard<std::mutex> lock(waitMutex);
        bEndWait = false;
        bCancelled.store(false, std::memory_order_release);
    }
    bool IsCancelled() const { return bCancelled.load(std::memory_order_acquire); }
    // The cancelled request's reason: the transport's record before any exchange, else a note
    // that leaves the status of the exchange made (Cancellation.cpp).
    static void NoteCancelled(JXLibCurl& curl, const void* connection, bool exchanged);

    // True when the whole wait passed, false when it was ended early.
    bool WaitBetweenAttempts(long waitMs) {
        std::unique_lock<std::mutex> lock(waitMutex);
        return !waitWake.wait_for(lock, std::chrono::milliseconds(waitMs),
                                  [this] { return bEndWait; });
    }
};
