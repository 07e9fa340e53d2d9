#include "agent/allow_list.h"

#include <cstring>

namespace kestrel::agent {

namespace {

bool PrefixMatches(const uint8_t* a, const uint8_t* b, uint32_t bits) {
    const uint32_t whole = bits / 8;
    if (std::memcmp(a, b, whole) != 0) return false;
    const uint32_t rest = bits % 8;
    if (rest == 0) return true;
    const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

bool ParseAllowedNetwork(const std::string& text, AllowedNetwork& network) {
    network = AllowedNetwork{};
    const size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    if (!os::ParseNumericAddress(address, network.v6, network.bytes)) return false;
    const uint32_t width = network.v6 ? 128 : 32;
    network.prefix = width;
    if (slash != std::string::npos) {
        const std::string bits = text.substr(slash + 1);
        if (bits.empty() || bits.size() > 3) return false;
        uint32_t value = 0;
        for (char c : bits) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + static_cast<uint32_t>(c - '0');
        }
        if (value > width) return false;
        network.prefix = value;
    }
    // Host bits play no part: 10.1.2.3/8 is 10.0.0.0/8.
    for (uint32_t bit = network.prefix; bit < width; ++bit) network.bytes[bit / 8] &= static_cast<uint8_t>(~(0x80 >> (bit % 8)));
    return true;
}

bool PeerAllowed(const std::vector<AllowedNetwork>& networks, const os::SocketAddress& peer) {
    bool v6 = false;
    uint8_t bytes[16] = {};
    if (!os::AddressBytes(peer, v6, bytes)) return false;
    for (const AllowedNetwork& network : networks) {
        if (network.v6 == v6 && PrefixMatches(network.bytes, bytes, network.prefix)) return true;
    }
    return false;
}

bool ListRestricts(const std::vector<AllowedNetwork>& networks) {
    if (networks.empty()) return false;
    for (const AllowedNetwork& network : networks) {
        if (network.prefix == 0) return false;
    }
    return true;
}

bool IsLoopback(const os::SocketAddress& address) {
    bool v6 = false;
    uint8_t bytes[16] = {};
    if (!os::AddressBytes(address, v6, bytes)) return false;
    if (!v6) return bytes[0] == 127;
    static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(bytes, kLoopback6, 16) == 0;
}

std::string PeerParty(const os::SocketAddress& peer) {
    bool v6 = false;
    uint8_t bytes[16] = {};
    if (!os::AddressBytes(peer, v6, bytes)) return std::string();
    return std::string(1, v6 ? '6' : '4') + std::string(reinterpret_cast<const char*>(bytes), v6 ? 8 : 4);
}

std::string ShowHost(const os::SocketAddress& address) {
    bool v6 = false;
    uint8_t bytes[16] = {};
    if (!os::AddressBytes(address, v6, bytes)) return "?";
    return os::ShowAddressBytes(v6, bytes);
}

}  // namespace kestrel::agent
