#include "platform/socket_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

namespace kestrel::platform {

namespace {

bool FormatIpv4(const sockaddr_in& address, char* out, uint32_t room) {
    char host[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &address.sin_addr, host, sizeof host) == nullptr) return false;
    const unsigned port = ntohs(address.sin_port);
    const int written = port != 0 ? std::snprintf(out, room, "%s:%u", host, port) : std::snprintf(out, room, "%s", host);
    return written > 0 && static_cast<uint32_t>(written) < room;
}

bool FormatIpv6(const sockaddr_in6& address, char* out, uint32_t room) {
    char host[INET6_ADDRSTRLEN];
    if (inet_ntop(AF_INET6, &address.sin6_addr, host, sizeof host) == nullptr) return false;
    char scope[16] = "";
    if (address.sin6_scope_id != 0) std::snprintf(scope, sizeof scope, "%%%u", address.sin6_scope_id);
    const unsigned port = ntohs(address.sin6_port);
    const int written = port != 0 ? std::snprintf(out, room, "[%s%s]:%u", host, scope, port)
                                  : std::snprintf(out, room, "%s%s", host, scope);
    return written > 0 && static_cast<uint32_t>(written) < room;
}

}  // namespace

bool FormatSocketAddress(const uint8_t* bytes, uint32_t length, char* out, uint32_t room) {
    if (length < sizeof(sa_family_t)) return false;
    sa_family_t family;
    std::memcpy(&family, bytes, sizeof family);
    if (family == AF_INET && length >= sizeof(sockaddr_in)) {
        sockaddr_in address;
        std::memcpy(&address, bytes, sizeof address);
        return FormatIpv4(address, out, room);
    }
    if (family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 address;
        std::memcpy(&address, bytes, sizeof address);
        return FormatIpv6(address, out, room);
    }
    return false;
}

bool MakeSocketAddress(const char* text, uint16_t port, uint8_t* out, uint32_t& length) {
    sockaddr_in v4{};
    if (inet_pton(AF_INET, text, &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        std::memcpy(out, &v4, sizeof v4);
        length = sizeof v4;
        return true;
    }
    sockaddr_in6 v6{};
    if (inet_pton(AF_INET6, text, &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        std::memcpy(out, &v6, sizeof v6);
        length = sizeof v6;
        return true;
    }
    return false;
}

static_assert(sizeof(sockaddr_in6) <= kSocketAddressMaxBytes);

}  // namespace kestrel::platform
