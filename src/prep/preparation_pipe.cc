#include "prep/preparation_pipe.h"

#include <cstdio>

#include "platform/anonymous_pipe.h"
#include "platform/process.h"
#include "runtime/messages.h"

namespace kestrel {

namespace PreparationPipe {


bool Open(PreparationQueue& queue, IoObject& reader, PreparationResponse& answer,
          IoCompletionCallback onAnswer, void* owner, int32_t& error) {
    platform::FileHandle readEnd;
    platform::FileHandle writeEnd;
    if (!platform::CreateAnonymousPipe(readEnd, writeEnd, error)) return false;
    queue.pipeWriteEnd = writeEnd;
    DescribeReader(reader, readEnd, answer, onAnswer, owner);
    return true;
}

void DescribeReader(IoObject& reader, platform::FileHandle readEnd, PreparationResponse& answer,
                    IoCompletionCallback onAnswer, void* owner) {
    reader = IoObject{};
    reader.flags = kIoKindStream;
    reader.handle = readEnd;
    reader.owner = owner;
    reader.completionCallback = onAnswer;
    reader.failureCallback = OnFailure;
    reader.buffer = &answer;
    reader.length = sizeof answer;
    reader.operation = kIoRead;
    reader.timeout = 0;
}

bool ReadNext(IoObject& reader, int32_t& error) {
    reader.operation = kIoRead;
    reader.length = sizeof(PreparationResponse);
    return EventLoop::Start(&reader, &error);
}

void OnFailure(IoObject*, int32_t error) {
    PostMessageText("Preparation pipe failure, error {0}", {{FormatI32, &error}});
    // Ending at once skips the flush that would print a plain-mode message.
    std::fflush(nullptr);
    platform::ExitImmediately(1);
}

}  // namespace PreparationPipe

}  // namespace kestrel
