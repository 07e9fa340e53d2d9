// TCP as the agent uses it: a listening socket, connected streams whose
// transfers end at a deadline, outbound connections for tunnels and the byte
// relay behind an open tunnel.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kestrel::agent::os {

using Deadline = std::chrono::steady_clock::time_point;

// A socket address as the socket layer stores it (sockaddr_in or sockaddr_in6).
struct SocketAddress {
    uint8_t bytes[128];
    uint32_t length = 0;
};

// Binds and listens on `host` (a numeric address or a name) and `port` (0: a
// free port). `bound` receives the address bound, `shown` the same as
// "host:port" ("[v6]:port").
bool ListenTcp(const std::string& host, uint16_t port, int& listener, SocketAddress& bound, std::string& shown,
               int& error);

enum class AcceptResult : uint8_t {
    Accepted,
    Nothing,    // the time-out passed, `wakeFd` became readable, or the peer gave up
    OutOfRoom,  // no descriptor or buffer for it now (EMFILE, ENFILE, ENOBUFS, ENOMEM): try later
    Failed,     // the listener cannot go on
};

// Waits up to `timeoutMs` (-1: no limit) for a connection or for `wakeFd`
// to become readable. `error` is set for OutOfRoom and Failed.
AcceptResult AcceptTcp(int listener, int wakeFd, int timeoutMs, int& fd, SocketAddress& peer, int& error);

// Connects with a time-out. On failure `error` is the errno and `text` says
// what failed in words.
bool ConnectTcp(const std::string& host, uint16_t port, int timeoutMs, int& fd, SocketAddress& peer, int& error,
                std::string& text);

// Transfers that give up at `deadline` (error ETIMEDOUT). ReadExact reports
// a clean end of stream before any byte by `ended` (false result, error 0).
bool ReadExact(int fd, uint8_t* data, uint32_t count, Deadline deadline, bool& ended, int& error);
bool WriteAll(int fd, const uint8_t* data, uint32_t count, Deadline deadline, int& error);

// Copies bytes both ways until both directions have ended, either fails, or
// nothing moved for `idleMs`; an end in one direction is passed on as a half close.
void RelayStreams(int first, int second, uint32_t idleMs);

// The address's family and bytes, an IPv4 address that reaches an IPv6
// socket (::ffff:a.b.c.d) read as the IPv4 address it is. False for other families.
bool AddressBytes(const SocketAddress& address, bool& v6, uint8_t bytes[16]);

// A numeric IPv4 or IPv6 address as its bytes (4 or 16 of them).
bool ParseNumericAddress(const std::string& text, bool& v6, uint8_t bytes[16]);

// The address bytes in their usual text form ("?" when they have none).
std::string ShowAddressBytes(bool v6, const uint8_t bytes[16]);

void ShutdownSocket(int fd);
// Ends the connection for its owner's reads and writes at once; when the
// owner closes it, the peer gets a reset and nothing of it waits in the
// kernel (no TIME_WAIT).
void ResetSocket(int fd);

}  // namespace kestrel::agent::os
