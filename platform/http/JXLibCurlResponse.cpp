// Collecting a response: the body into the object's buffer and the header block, every byte
// counted against the limits, and the reason when a limit stops the transfer.
#include <algorithm>
#include <cstdio>

#include "JXLibCurlImpl.h"

namespace {

// The most the body buffer sets aside up front on a peer's announced Content-Length: enough
// for every document the agent fetches in one step, and a lie costs no more than this.
constexpr size_t kMaxBodyReservation = size_t{16} << 20;
// Any count other than the one offered makes libcurl abort the transfer (CURLE_WRITE_ERROR).
constexpr size_t kAbortTransfer = 0;

}  // namespace

// A header limit above the most that libcurl lets through would never act: libcurl would stop
// the response first, with a text that names no limit.
void JXLibCurl::JXLibCurlSetResponseLimits(size_t body, size_t headers) {
    Impl& d = *m_pImpl;
    d.bodyLimit = body;
    d.headerLimit = std::min(headers, vsplatform::kMaxHeaderLimit);
    if (!d.initialised) {
        d.standingLimits = true;
        d.standingBodyLimit = d.bodyLimit;
        d.standingHeaderLimit = d.headerLimit;
    }
}

// A peer decides how much it sends, so every received byte is counted against a limit, and
// no exception may unwind through libcurl's C frames: either would leave the handle unusable.
size_t JXLibCurl::Impl::Collect(std::string& into, size_t limit, Stop overflow, const char* data,
                                size_t size) {
    if (into.size() > limit || size > limit - into.size()) {
        stopped = overflow;
        return kAbortTransfer;
    }
    try {
        into.append(data, size);
    } catch (...) {
        stopped = Stop::NoMemory;
        return kAbortTransfer;
    }
    return size;
}

// Sized once from the announced length, so that a body handed over to a caller's string (which
// leaves this buffer with whatever capacity that string had) is not grown piece by piece.
void JXLibCurl::Impl::ReserveBody() {
    curl_off_t announced = -1;
    if (curl_easy_getinfo(easy->Handle(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) !=
            CURLE_OK ||
        announced <= 0) {
        return;
    }
    const size_t wanted =
        std::min({static_cast<size_t>(announced), bodyLimit, kMaxBodyReservation});
    try {
        response.reserve(wanted);
    } catch (...) {
        // Collect will fail the transfer if memory really is short.
    }
}

size_t JXLibCurl::Impl::BodyCallback(char* data, size_t size, size_t count, void* impl) {
    Impl& d = *static_cast<Impl*>(impl);
    if (d.response.empty()) {
        d.ReserveBody();
    }
    return d.Collect(d.response, d.bodyLimit, Stop::BodyLimit, data, size * count);
}

size_t JXLibCurl::Impl::HeaderCallback(char* data, size_t size, size_t count, void* impl) {
    Impl& d = *static_cast<Impl*>(impl);
    return d.Collect(d.responseHeaders, d.headerLimit, Stop::HeaderLimit, data, size * count);
}

// libcurl reports a header line longer than it takes as out of memory (newer releases: too
// large). Once the request went out and before any byte of body, that is what it is: a
// process short of memory fails elsewhere long before it cannot hold 100 KiB.
void JXLibCurl::Impl::ReadLibcurlStop(CURLcode rc) {
    bool lineTooLong = rc == CURLE_OUT_OF_MEMORY;
#if LIBCURL_VERSION_NUM >= 0x080600
    lineTooLong = lineTooLong || rc == CURLE_TOO_LARGE;
#endif
    long requestBytes = 0;
    curl_off_t bodyBytes = 0;
    CURL* h = easy->Handle();
    if (lineTooLong && curl_easy_getinfo(h, CURLINFO_REQUEST_SIZE, &requestBytes) == CURLE_OK &&
        requestBytes > 0 &&
        curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &bodyBytes) == CURLE_OK && bodyBytes == 0) {
        stopped = Stop::HeaderLine;
    }
}

// Replaces libcurl's text ("Failure writing output", "Out of memory") with the reason, and drops
// what was received: a cut document must not pass for a whole one, nor keep its memory until
// the next request.
void JXLibCurl::Impl::DescribeStop(char* error, size_t capacity) {
    if (stopped == Stop::BodyLimit) {
        std::snprintf(error, capacity, "response body exceeds the limit of %zu bytes", bodyLimit);
    } else if (stopped == Stop::HeaderLimit) {
        std::snprintf(error, capacity, "response header block exceeds the limit of %zu bytes",
                      headerLimit);
    } else if (stopped == Stop::HeaderLine) {
        std::snprintf(error, capacity, "response header line exceeds the limit of %zu bytes",
                      vsplatform::kHeaderLineLimit);
    } else if (stopped == Stop::Cancelled) {
        std::snprintf(error, capacity, "the request was cancelled");
    } else {
        std::snprintf(error, capacity, "out of memory while receiving the response");
    }
    std::string().swap(response);
    std::string().swap(responseHeaders);
}
