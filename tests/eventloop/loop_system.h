// The few system calls the event loop tests make beside the platform layer:
// a listening socket, raw sends and receives, the end of a write side, and
// whether a handle is still open. One implementation per system.
#pragma once

#include <cstdint>
#include <string>

#include "platform/handles.h"

namespace kestrel::test {

// A blocking socket listening on 127.0.0.1 at a port the system picked.
bool ListenOnLoopback(platform::SocketHandle& listener, uint16_t& port);
// The next connection; none when accepting fails.
platform::SocketHandle AcceptConnection(platform::SocketHandle listener);
// Sends small segments at once, so that round trips stay short.
void DisableNagle(platform::SocketHandle socket);

// One send or receive: the bytes moved, 0 at the peer's end, -1 on failure.
// `peek` leaves received bytes queued.
int64_t SendSome(platform::SocketHandle socket, const void* data, uint32_t length);
int64_t ReceiveSome(platform::SocketHandle socket, void* data, uint32_t length, bool peek = false);
bool ShutdownWrite(platform::SocketHandle socket);

bool IsOpen(platform::FileHandle file);
bool IsOpen(platform::SocketHandle socket);

// A regular file the event port can take as a positional file or a stream:
// created when missing, never emptied. None on failure.
platform::FileHandle OpenTestFile(const std::string& path, bool write);

}  // namespace kestrel::test
