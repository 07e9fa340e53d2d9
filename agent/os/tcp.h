// TCP as the agent uses it: a listening socket, blocking connected streams,
// outbound connections for tunnels and the byte relay behind an open tunnel.
#pragma once

#include <cstdint>
#include <string>

namespace kestrel::agent::os {

// A socket address as the socket layer stores it (sockaddr_in or sockaddr_in6).
struct SocketAddress {
    uint8_t bytes[128];
    uint32_t length = 0;
};

// Binds and listens on `host` (a numeric address or a name) and `port` (0: a
// free port). `shown` receives the bound address as "host:port" ("[v6]:port").
bool ListenTcp(const std::string& host, uint16_t port, int& listener, std::string& shown, int& error);

// Waits up to `timeoutMs` for a connection or for `wakeFd` to become readable
// (either may be -1). `fd` stays -1 when nothing was accepted.
bool AcceptTcp(int listener, int wakeFd, int timeoutMs, int& fd, int& error);

// Connects with a time-out. On failure `error` is the errno and `text` says
// what failed in words.
bool ConnectTcp(const std::string& host, uint16_t port, int timeoutMs, int& fd, SocketAddress& peer, int& error,
                std::string& text);

// Blocking transfers. ReadExact reports a clean end of stream before any byte
// by `ended` (with a false result and error 0).
bool ReadExact(int fd, uint8_t* data, uint32_t count, bool& ended, int& error);
bool WriteAll(int fd, const uint8_t* data, uint32_t count, int& error);

// Copies bytes both ways until both directions have ended or either fails;
// an end in one direction is passed on as a half close.
void RelayStreams(int first, int second);

void ShutdownSocket(int fd);

}  // namespace kestrel::agent::os
