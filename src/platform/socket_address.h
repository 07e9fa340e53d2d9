// Socket addresses as the socket layer stores them (the bytes a connection
// log keeps for a hop), and their text.
#pragma once

#include <cstdint>

namespace kestrel::platform {

// Room for the longest text FormatSocketAddress writes, with its NUL.
inline constexpr uint32_t kSocketAddressTextRoom = 80;
// The largest stored address.
inline constexpr uint32_t kSocketAddressMaxBytes = 128;

// The address as text: "192.0.2.10:5017", "[2001:db8::1]:5017",
// "[fe80::1%2]:5017"; without the port when it is 0 ("192.0.2.10",
// "2001:db8::1"). False for a length or family that is no IPv4 or IPv6
// address. `out` holds `room` bytes and is NUL-terminated on success.
bool FormatSocketAddress(const uint8_t* bytes, uint32_t length, char* out, uint32_t room);

// The stored form of a numeric IPv4 or IPv6 address and a port, into `out`
// (kSocketAddressMaxBytes bytes); false when `text` is neither.
bool MakeSocketAddress(const char* text, uint16_t port, uint8_t* out, uint32_t& length);

}  // namespace kestrel::platform
