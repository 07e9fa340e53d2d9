#include "platform/socket_address.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>

// The texts are made here rather than by the socket library: they must not
// depend on whether the library was started, and they read exactly as the
// POSIX build writes them (inet_ntop's forms: lower-case groups, the longest
// run of two or more zero groups as "::", the first of equal runs, IPv4
// mapped and compatible addresses ending in dotted form), where the system's
// own text differs in corner cases.

namespace kestrel::platform {

namespace {

constexpr size_t kIpv6Bytes = 16;
constexpr size_t kIpv4Bytes = 4;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Four decimal numbers up to 255, without leading zeros, to the end of the text.
bool ParseIpv4(const char* text, uint8_t* out) {
    uint8_t octets[kIpv4Bytes];
    size_t count = 0;
    unsigned value = 0;
    bool digitSeen = false;
    for (const char* c = text;; ++c) {
        if (*c >= '0' && *c <= '9') {
            if (digitSeen && value == 0) return false;
            value = value * 10 + static_cast<unsigned>(*c - '0');
            if (value > 255) return false;
            digitSeen = true;
        } else if ((*c == '.' || *c == '\0') && digitSeen && count < kIpv4Bytes) {
            octets[count++] = static_cast<uint8_t>(value);
            value = 0;
            digitSeen = false;
            if (*c == '\0') break;
        } else {
            return false;
        }
    }
    if (count != kIpv4Bytes) return false;
    std::memcpy(out, octets, sizeof octets);
    return true;
}

// Groups of up to four hex digits, at most one "::", and optionally an IPv4
// address in place of the last two groups.
bool ParseIpv6(const char* text, uint8_t* out) {
    uint8_t bytes[kIpv6Bytes] = {};
    size_t used = 0;
    size_t gap = kIpv6Bytes + 1;  // where "::" stands; none yet
    const char* c = text;
    if (*c == ':' && *++c != ':') return false;
    const char* groupStart = c;
    unsigned value = 0;
    int digits = 0;
    for (; *c != '\0'; ++c) {
        const int digit = HexDigit(*c);
        if (digit >= 0) {
            if (++digits > 4) return false;
            value = value << 4 | static_cast<unsigned>(digit);
        } else if (*c == ':') {
            groupStart = c + 1;
            if (digits == 0) {
                if (gap <= kIpv6Bytes) return false;
                gap = used;
                continue;
            }
            if (c[1] == '\0' || used + 2 > kIpv6Bytes) return false;
            bytes[used++] = static_cast<uint8_t>(value >> 8);
            bytes[used++] = static_cast<uint8_t>(value);
            value = 0;
            digits = 0;
        } else if (*c == '.' && used + kIpv4Bytes <= kIpv6Bytes && ParseIpv4(groupStart, bytes + used)) {
            used += kIpv4Bytes;
            digits = 0;
            break;
        } else {
            return false;
        }
    }
    if (digits > 0) {
        if (used + 2 > kIpv6Bytes) return false;
        bytes[used++] = static_cast<uint8_t>(value >> 8);
        bytes[used++] = static_cast<uint8_t>(value);
    }
    if (gap <= kIpv6Bytes) {
        // "::" must stand for at least one group.
        if (used == kIpv6Bytes) return false;
        const size_t after = used - gap;
        std::memmove(bytes + kIpv6Bytes - after, bytes + gap, after);
        std::memset(bytes + gap, 0, kIpv6Bytes - after - gap);
        used = kIpv6Bytes;
    }
    if (used != kIpv6Bytes) return false;
    std::memcpy(out, bytes, sizeof bytes);
    return true;
}

// At most 45 characters and the NUL into `text`.
void FormatIpv6Host(const uint8_t* bytes, char (&text)[64]) {
    uint16_t groups[8];
    for (int i = 0; i < 8; ++i) groups[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    int runStart = -1;
    int runLength = 0;
    for (int i = 0; i < 8;) {
        int end = i;
        while (end < 8 && groups[end] == 0) ++end;
        if (end - i > runLength) {
            runStart = i;
            runLength = end - i;
        }
        i = end > i ? end : i + 1;
    }
    if (runLength < 2) runStart = -1;
    const bool dottedTail = runStart == 0 && (runLength == 6 || (runLength == 5 && groups[5] == 0xffff));
    size_t used = 0;
    for (int i = 0; i < 8; ++i) {
        if (runStart >= 0 && i >= runStart && i < runStart + runLength) {
            if (i == runStart) text[used++] = ':';
            continue;
        }
        if (i != 0) text[used++] = ':';
        if (i == 6 && dottedTail) {
            used += static_cast<size_t>(std::snprintf(text + used, sizeof text - used, "%u.%u.%u.%u", bytes[12],
                                                      bytes[13], bytes[14], bytes[15]));
            break;
        }
        used += static_cast<size_t>(std::snprintf(text + used, sizeof text - used, "%x", groups[i]));
    }
    if (runStart >= 0 && runStart + runLength == 8) text[used++] = ':';
    text[used] = '\0';
}

bool Written(int written, uint32_t room) { return written > 0 && static_cast<uint32_t>(written) < room; }

bool FormatIpv4(const SOCKADDR_IN& address, char* out, uint32_t room) {
    uint8_t host[kIpv4Bytes];
    std::memcpy(host, &address.sin_addr, sizeof host);
    const unsigned port = ntohs(address.sin_port);
    const int written = port != 0 ? std::snprintf(out, room, "%u.%u.%u.%u:%u", host[0], host[1], host[2], host[3], port)
                                  : std::snprintf(out, room, "%u.%u.%u.%u", host[0], host[1], host[2], host[3]);
    return Written(written, room);
}

bool FormatIpv6(const SOCKADDR_IN6& address, char* out, uint32_t room) {
    uint8_t bytes[kIpv6Bytes];
    std::memcpy(bytes, &address.sin6_addr, sizeof bytes);
    char host[64];
    FormatIpv6Host(bytes, host);
    char scope[16] = "";
    const unsigned long scopeId = address.sin6_scope_id;
    if (scopeId != 0) std::snprintf(scope, sizeof scope, "%%%lu", scopeId);
    const unsigned port = ntohs(address.sin6_port);
    const int written = port != 0 ? std::snprintf(out, room, "[%s%s]:%u", host, scope, port)
                                  : std::snprintf(out, room, "%s%s", host, scope);
    return Written(written, room);
}

}  // namespace

bool FormatSocketAddress(const uint8_t* bytes, uint32_t length, char* out, uint32_t room) {
    ADDRESS_FAMILY family;
    if (length < sizeof family) return false;
    std::memcpy(&family, bytes, sizeof family);
    if (family == AF_INET && length >= sizeof(SOCKADDR_IN)) {
        SOCKADDR_IN address;
        std::memcpy(&address, bytes, sizeof address);
        return FormatIpv4(address, out, room);
    }
    if (family == AF_INET6 && length >= sizeof(SOCKADDR_IN6)) {
        SOCKADDR_IN6 address;
        std::memcpy(&address, bytes, sizeof address);
        return FormatIpv6(address, out, room);
    }
    return false;
}

bool MakeSocketAddress(const char* text, uint16_t port, uint8_t* out, uint32_t& length) {
    SOCKADDR_IN v4{};
    if (ParseIpv4(text, reinterpret_cast<uint8_t*>(&v4.sin_addr))) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        std::memcpy(out, &v4, sizeof v4);
        length = sizeof v4;
        return true;
    }
    SOCKADDR_IN6 v6{};
    if (ParseIpv6(text, reinterpret_cast<uint8_t*>(&v6.sin6_addr))) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        std::memcpy(out, &v6, sizeof v6);
        length = sizeof v6;
        return true;
    }
    return false;
}

static_assert(sizeof(SOCKADDR_IN6) <= kSocketAddressMaxBytes);

}  // namespace kestrel::platform
