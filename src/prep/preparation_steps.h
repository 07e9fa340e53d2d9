// The work the preparation thread does for one request, each step answering
// through PreparationThread::Respond. Internal to the subsystem.
#pragma once

#include "prep/preparation.h"

namespace kestrel::preparation {

// The first hop's host name, checked as UTF-8 and copied into this thread's
// buffer (reused and grown from request to request). Null after answering
// status 2 (not UTF-8) or 1 (no memory for the buffer).
const char* CheckedHostName(PreparationQueue& queue, PreparationRequest& request);

// Kind 0: resolves, connects (blocking), then makes the socket non-blocking.
void ConnectDirect(PreparationQueue& queue, PreparationRequest& request, const char* host);

// Kind 1: starts ssh with a local forward and connects through it (at most
// two ssh processes). False, without an answer, when the stop request cut
// the wait short; the thread then ends.
bool ConnectThroughSsh(PreparationQueue& queue, PreparationRequest& request, const char* host);

}  // namespace kestrel::preparation
