// Blocking TCP work for the connection preparation thread: name resolution,
// the connect, the switch to non-blocking mode, and free loopback ports.
// Addresses travel as opaque bytes in the system's own socket-address form.
#pragma once

#include <cstdint>

#include "platform/handles.h"

namespace kestrel::platform {

// Makes the socket calls usable by the process (nothing to do on POSIX):
// once at start-up, before any other function here. False with the
// system's code.
bool StartSocketLibrary(int32_t& error);
// Once at the end, after the last socket was closed.
void StopSocketLibrary();

// Room for any socket address the system produces.
inline constexpr uint32_t kSocketAddressRoom = 128;

enum class ResolveOutcome : uint8_t {
    kFound,          // the address is set
    kFailed,         // `error` holds the resolver's own result code
    kNoIpv4Address,  // the name resolved, but to no IPv4 TCP address
};

// Resolves `host` (UTF-8) with the decimal text of `port`, without hints, and
// copies the first IPv4 result whose protocol is TCP or unspecified into
// `address` (`room` bytes). IPv6 results are never taken.
ResolveOutcome ResolveFirstIpv4Tcp(const char* host, uint16_t port, uint8_t* address, uint32_t room,
                                   uint32_t& length, int32_t& error);

// The IPv4 loopback address 127.0.0.1 with `port`.
void LoopbackAddress(uint16_t port, uint8_t* address, uint32_t room, uint32_t& length);

// A blocking IPv4 TCP socket that child processes do not inherit.
bool CreateTcpSocket(SocketHandle& socket, int32_t& error);

// Connects, blocking until the connection is made or refused. A socket whose
// connect failed may try again.
bool ConnectTcpSocket(SocketHandle socket, const uint8_t* address, uint32_t length, int32_t& error);

bool SetTcpSocketNonBlocking(SocketHandle socket, int32_t& error);

// A loopback port that is free now: bound with port 0, read back, released.
bool FindFreeLoopbackPort(uint16_t& port, int32_t& error);

}  // namespace kestrel::platform
