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

void JXLibCurl::JXLibCurlSetResponseLimits(size_t body, size_t headers) {
    m_pImpl->bodyLimit = body;
    m_pImpl->headerLimit = headers;
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

// Replaces libcurl's "Failure writing output" with the reason, and drops what was received:
// a cut document must not pass for a whole one, nor keep its memory until the next request.
void JXLibCurl::Impl::DescribeStop(char* error, size_t capacity) {
    if (stopped == Stop::BodyLimit) {
        std::snprintf(error, capacity, "response body exceeds the limit of %zu bytes", bodyLimit);
    } else if (stopped == Stop::HeaderLimit) {
        std::snprintf(error, capacity, "response header block exceeds the limit of %zu bytes",
                      headerLimit);
    } else {
        std::snprintf(error, capacity, "out of memory while receiving the response");
    }
    std::string().swap(response);
    std::string().swap(responseHeaders);
}
