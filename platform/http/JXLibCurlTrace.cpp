// libcurl's trace (CURLOPT_VERBOSE) into the object's debug log, which masks secrets, instead
// of to stderr.
#include <cstring>

#include "JXLibCurlImpl.h"

namespace {

constexpr const char* kTraceLabel =
    "int JXLibCurl::Trace(CURL*, curl_infotype, char*, size_t, void*)";

}  // namespace

// One log record per line of text or header. Bodies are only counted: they are the exchange
// log's business, which knows the requests whose bodies must not be logged at all.
void JXLibCurl::Impl::Trace(curl_infotype type, const char* data, size_t size) {
    const char* mark = type == CURLINFO_TEXT         ? "* "
                       : type == CURLINFO_HEADER_IN  ? "< "
                       : type == CURLINFO_HEADER_OUT ? "> "
                       : type == CURLINFO_DATA_IN    ? "< "
                       : type == CURLINFO_DATA_OUT   ? "> "
                                                     : nullptr;
    if (mark == nullptr) {
        return;  // TLS records
    }
    if (type == CURLINFO_DATA_IN || type == CURLINFO_DATA_OUT) {
        debug.DebugLvl(kTraceLabel, 0, "%s[%zu bytes of data]", mark, size);
        return;
    }
    const char* end = data + size;
    for (const char* line = data; line < end;) {
        const char* stop =
            static_cast<const char*>(std::memchr(line, '\n', static_cast<size_t>(end - line)));
        const char* next = stop != nullptr ? stop + 1 : end;
        stop = stop != nullptr ? stop : end;
        if (stop > line && stop[-1] == '\r') {
            --stop;
        }
        if (stop > line) {
            debug.DebugLvl(kTraceLabel, 0, "%s%.*s", mark, static_cast<int>(stop - line), line);
        }
        line = next;
    }
}

int JXLibCurl::Impl::TraceCallback(CURL* /*handle*/, curl_infotype type, char* data, size_t size,
                                   void* impl) {
    try {
        static_cast<Impl*>(impl)->Trace(type, data, size);
    } catch (...) {
        // Nothing may cross libcurl's C frames; a lost trace line changes no outcome.
    }
    return 0;
}
