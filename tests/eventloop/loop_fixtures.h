// Real handles and a recording owner record for the event loop tests.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "eventloop/event_loop.h"
#include "platform/handles.h"

namespace kestrel::test {

// A connected TCP pair on 127.0.0.1; both ends blocking until registered.
void MakeTcpPair(platform::SocketHandle* client, platform::SocketHandle* server);
// ends[0] reads, ends[1] writes.
void MakePipe(platform::FileHandle ends[2]);

// Writes everything (blocking ends) or fails the current test.
void WriteAll(platform::SocketHandle socket, const void* data, size_t length);
void WriteAll(platform::FileHandle pipeWriteEnd, const void* data, size_t length);

// An owner record: counts its callbacks and runs optional hooks from them.
struct Probe {
    IoObject io;
    std::vector<char> data;
    int completions = 0;
    int failures = 0;
    int32_t lastError = -1;
    std::function<void(Probe&)> onCompletion;
    std::function<void(Probe&, int32_t)> onFailure;

    Probe();
    // Sets up a read or write of `length` bytes (buffer sized to fit).
    void Prepare(uint8_t operation, uint32_t length, uint64_t timeout = 0);
};

inline Probe& ProbeOf(IoObject* io) { return *static_cast<Probe*>(io->owner); }

// A probe for a socket, a stream handle or a positional file.
void AttachSocket(Probe& probe, platform::SocketHandle socket);
void AttachStream(Probe& probe, platform::FileHandle handle);
void AttachFile(Probe& probe, platform::FileHandle handle, uint64_t offset);
// A no-handle object: a yield without time-out, a timer with one.
void MakeNoHandle(Probe& probe, uint64_t timeout);

inline constexpr uint64_t kMillisecond = kIoTicksPerSecond / 1000;

// Runs the loop with the objects and expects it to end with true.
void RunLoop(EventLoop& loop, std::vector<IoObject*> objects);

}  // namespace kestrel::test
