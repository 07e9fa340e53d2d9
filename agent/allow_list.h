// Who may connect: the networks of --allow, matched against the address a
// connection comes from, and whether the agent counts as configured securely.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "agent/os/tcp.h"

namespace kestrel::agent {

struct AllowedNetwork {
    bool v6 = false;
    uint8_t bytes[16] = {};  // the network, host bits cleared
    uint32_t prefix = 0;     // bits that must match
};

// "ADDRESS/BITS" or a single address (all bits), IPv4 or IPv6.
bool ParseAllowedNetwork(const std::string& text, AllowedNetwork& network);

// Whether `peer` lies in one of `networks`. IPv4 peers that reach an IPv6
// socket (::ffff:a.b.c.d) are matched as the IPv4 address they are.
bool PeerAllowed(const std::vector<AllowedNetwork>& networks, const os::SocketAddress& peer);

// A list that leaves someone out: not empty, and no network of 0 bits.
bool ListRestricts(const std::vector<AllowedNetwork>& networks);

// 127.0.0.0/8, ::1 or ::ffff:127.0.0.0/104.
bool IsLoopback(const os::SocketAddress& address);

// Who a connection counts as when connections are counted per address: the
// IPv4 address (also when it reaches an IPv6 socket), or the /64 network of
// an IPv6 address, since whoever has one IPv6 address usually has the whole
// /64 around it. Bytes, for comparing only.
std::string PeerParty(const os::SocketAddress& peer);

// The address without the port, for messages.
std::string ShowHost(const os::SocketAddress& address);

}  // namespace kestrel::agent
