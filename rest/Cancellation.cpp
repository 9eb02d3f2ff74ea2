// cancel() and resetCancel(): called from any thread, so they never take the request lock
// (the request holds it while it runs and while it waits between attempts). The state is the
// connection's private flag and wait, and the transport's own switch where it has one
// (TransportSeam.h); sendReq reads the flag at each attempt boundary.
#include "ConnectionState.h"
#include "TransportSeam.h"
#include "VSRestApiConnection.h"

namespace {

constexpr const char* kCancelled = "the request was cancelled";  // the transport's text too

}  // namespace

void CVSRestApiConnection::Private::NoteCancelled(JXLibCurl& curl, const void* connection,
                                                  bool exchanged) {
    if (exchanged) {
        vsrest::FailureNotes::Set(connection, kCancelled);
    } else {
        vsrest::RecordFailure(curl, connection, kCancelled);
    }
}

void CVSRestApiConnection::cancel() {
    m_pPrivate->Cancel();
    vsrest::CancelExchange(*m_pCurl);
}

void CVSRestApiConnection::resetCancel() {
    vsrest::ResetExchangeCancel(*m_pCurl);
    m_pPrivate->ResetCancel();
}
