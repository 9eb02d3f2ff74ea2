// How the request path talks to whatever transport the platform has.
//
// The platform's JXLibCurl offers the operations the agent's interface lists; ours offers more
// (the header stack for nested requests, the body handed over without a copy, a failure
// reason recorded before any exchange, the timings of an exchange). Each extra is found here at
// compile time, on the transport type, and used only where it is there; where it is not, the
// request path gives the caller the same outcome by its own means:
//  - nested requests: the outer request's header hooks run again after a request they issued
//    (RunHeaderHooks in VSRestApiConnection.cpp), so its lines are its own;
//  - the body: copied from GetHttpResponse instead of taken over, so nothing is lent back;
//  - a failure found before an exchange, or a status the platform's send let through: kept
//    by the library in FailureNotes, keyed by the connection object (its layout is fixed,
//    so the text cannot live in the object), and answered by getLastCurlError;
//  - the timings: none, so getLastTimings says they are unknown;
//  - cancelling the exchange under way: not possible, so cancel() takes effect at the next
//    attempt boundary (the wait between attempts is the library's own and ends at once anyway).
// Internal: not installed.
#pragma once

#include <string>
#include <type_traits>
#include <utility>

#include "VSRestApiConnection.h"

namespace vsrest {

template <typename Curl, typename = void>
struct HasHeaderStack : std::false_type {};
template <typename Curl>
struct HasHeaderStack<Curl,
                      std::void_t<decltype(std::declval<Curl&>().JXLibCurlPushHttpHeaderList()),
                                  decltype(std::declval<Curl&>().JXLibCurlPopHttpHeaderList())>>
    : std::true_type {};

template <typename Curl, typename = void>
struct HasBodyHandOver : std::false_type {};
template <typename Curl>
struct HasBodyHandOver<Curl,
                       std::void_t<decltype(std::declval<Curl&>().JXLibCurlTakeHttpResponse(
                                       std::declval<std::string&>())),
                                   decltype(std::declval<Curl&>().JXLibCurlLendHttpResponse(
                                       std::declval<const std::string&>())),
                                   decltype(std::declval<Curl&>().JXLibCurlEndHttpResponseLoan())>>
    : std::true_type {};

template <typename Curl, typename = void>
struct HasSetError : std::false_type {};
template <typename Curl>
struct HasSetError<Curl, std::void_t<decltype(std::declval<Curl&>().JXLibCurlSetError(""))>>
    : std::true_type {};

template <typename Curl, typename = void>
struct HasTimings : std::false_type {};
template <typename Curl>
struct HasTimings<Curl, std::void_t<decltype(std::declval<const Curl&>().JXLibCurlGetTimings(
                            std::declval<typename Curl::Timings&>()))>> : std::true_type {};

template <typename Curl, typename = void>
struct HasCancel : std::false_type {};
template <typename Curl>
struct HasCancel<Curl, std::void_t<decltype(std::declval<Curl&>().JXLibCurlCancel()),
                                   decltype(std::declval<Curl&>().JXLibCurlResetCancel())>>
    : std::true_type {};

// Ends the exchange under way where the transport can; called from any thread.
template <typename Curl>
void CancelExchange([[maybe_unused]] Curl& curl) {
    if constexpr (HasCancel<Curl>::value) {
        curl.JXLibCurlCancel();
    }
}

template <typename Curl>
void ResetExchangeCancel([[maybe_unused]] Curl& curl) {
    if constexpr (HasCancel<Curl>::value) {
        curl.JXLibCurlResetCancel();
    }
}

// The last exchange's timings where the transport keeps them; else (or before any exchange)
// unknown.
template <typename Curl>
VSRestApiTimings ReadTimings([[maybe_unused]] const Curl& curl) {
    VSRestApiTimings out;
    if constexpr (HasTimings<Curl>::value) {
        typename Curl::Timings t;
        if (curl.JXLibCurlGetTimings(t)) {
            out = VSRestApiTimings{true,           t.nLookupUs, t.nConnectUs, t.nTlsUs,
                                   t.nFirstByteUs, t.nTotalUs,  t.bReused};
        }
    }
    return out;
}

// The header stack, where the transport has one; false: the lines were not set aside.
template <typename Curl>
bool PushHeaders(Curl& curl) {
    if constexpr (HasHeaderStack<Curl>::value) {
        return curl.JXLibCurlPushHttpHeaderList();
    } else {
        return false;
    }
}

template <typename Curl>
void PopHeaders(Curl& curl) {
    if constexpr (HasHeaderStack<Curl>::value) {
        curl.JXLibCurlPopHttpHeaderList();
    }
}

// The last exchange's body into `response`: taken over where the transport can hand it over,
// else exactly the bytes GetHttpResponse answers (none: empty).
template <typename Curl>
void TakeBody(Curl& curl, std::string& response) {
    if constexpr (HasBodyHandOver<Curl>::value) {
        curl.JXLibCurlTakeHttpResponse(response);
    } else {
        unsigned long length = 0;
        const char* body = curl.GetHttpResponse(length, false);
        if (body == nullptr) {
            response.clear();
        } else {
            response.assign(body, length);
        }
    }
}

// Lends a taken-over body back for the hooks after recvResp; a copied body was never taken.
template <typename Curl>
void LendBody(Curl& curl, const std::string& body) {
    if constexpr (HasBodyHandOver<Curl>::value) {
        curl.JXLibCurlLendHttpResponse(body);
    }
}

template <typename Curl>
void EndBodyLoan(Curl& curl) {
    if constexpr (HasBodyHandOver<Curl>::value) {
        curl.JXLibCurlEndHttpResponseLoan();
    }
}

// Failure texts the library found itself, per connection object, for getLastCurlError. Every
// operation is cheap while no connection has a note (one atomic load), which is the case on
// our platform outside a refused request, so the request path pays nothing for it there.
// Callers hold the connection's request lock; the table has its own lock across connections.
namespace FailureNotes {
[[gnu::visibility("hidden")]] void Set(const void* connection, const std::string& text);
[[gnu::visibility("hidden")]] void Clear(const void* connection);
// False when the connection has no note.
[[gnu::visibility("hidden")]] bool Find(const void* connection, std::string& text);
}  // namespace FailureNotes

// Records a failure found before an exchange: in the transport where it can take one (it then
// answers it, with status 0, until the next exchange), else as the connection's note.
template <typename Curl>
void RecordFailure(Curl& curl, const void* connection, const std::string& reason) {
    if constexpr (HasSetError<Curl>::value) {
        curl.JXLibCurlSetError(reason.c_str());
    } else {
        FailureNotes::Set(connection, reason);
    }
}

// Forgets a recorded failure: a connect that succeeded leaves no reason behind (and, on a
// transport that records reasons, status 0: no exchange yet on the new set-up).
template <typename Curl>
void ForgetFailure(Curl& curl, const void* connection) {
    if constexpr (HasSetError<Curl>::value) {
        curl.JXLibCurlSetError(nullptr);
    }
    FailureNotes::Clear(connection);
}

}  // namespace vsrest
