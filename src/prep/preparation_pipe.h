// The preparation pipe: the thread writes one PreparationResponse per answer
// into it, and the event loop reads the other end as a stream of whole
// 16-byte records.
#pragma once

#include <cstdint>

#include "eventloop/event_loop.h"
#include "platform/handles.h"
#include "prep/preparation.h"

namespace kestrel {

namespace PreparationPipe {

// Creates the pipe. The write end goes into `queue` (written synchronously by
// the thread); the read end is described in `reader` as below. False with
// the system error ("Cannot initialize the preparation pipe, error {0}").
bool Open(PreparationQueue& queue, IoObject& reader, PreparationResponse& answer,
          IoCompletionCallback onAnswer, void* owner, int32_t& error);

// Describes `readEnd` for the event loop: a stream object whose read
// completes only when all of `answer` is filled, without time-out, with
// `onAnswer` for each answer and OnFailure for a failed read. Registering
// the object starts the first read.
void DescribeReader(IoObject& reader, platform::FileHandle readEnd, PreparationResponse& answer,
                    IoCompletionCallback onAnswer, void* owner);

// Re-arms the read of the next answer (the loop clears the operation before
// each callback). False with the loop's error ("Preparation thread request
// error {0}").
bool ReadNext(IoObject& reader, int32_t& error);

// The failure callback: posts "Preparation pipe failure, error {0}", flushes
// the standard streams and ends the process at once with exit code 1.
[[noreturn]] void OnFailure(IoObject* reader, int32_t error);

}  // namespace PreparationPipe

}  // namespace kestrel
