#include "platform/tcp_sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/exit_gate.h"
#include "platform/wide_text_win32.h"

namespace kestrel::platform {

namespace {

SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket.native); }

int32_t LastSocketError() { return static_cast<int32_t>(WSAGetLastError()); }

// The header of this toolchain names the link with a struct it never
// defines; the entries are ADDRINFOEXW all the same.
const ADDRINFOEXW* NextEntry(const ADDRINFOEXW* entry) {
    return reinterpret_cast<const ADDRINFOEXW*>(entry->ai_next);
}

const ADDRINFOEXW* FirstIpv4Tcp(const ADDRINFOEXW* results) {
    for (const ADDRINFOEXW* entry = results; entry != nullptr; entry = NextEntry(entry))
        if (entry->ai_family == AF_INET && (entry->ai_protocol == IPPROTO_TCP || entry->ai_protocol == 0))
            return entry;
    return nullptr;
}

bool IsLoopback(const uint8_t* address, uint32_t length) {
    sockaddr_in ipv4;
    if (length < sizeof ipv4) return false;
    std::memcpy(&ipv4, address, sizeof ipv4);
    return ipv4.sin_family == AF_INET && (ntohl(ipv4.sin_addr.s_addr) >> 24) == 127;
}

// A refused connect to a loopback port is tried again by the system for about
// two seconds; the ssh forward is polled every few milliseconds and wants the
// refusal at once. Where the system lacks the option, nothing changes.
void RefuseLoopbackAtOnce(SocketHandle socket) {
    TCP_INITIAL_RTO_PARAMETERS parameters{TCP_INITIAL_RTO_UNSPECIFIED_RTT, TCP_INITIAL_RTO_NO_SYN_RETRANSMISSIONS};
    DWORD returned = 0;
    WSAIoctl(Native(socket), SIO_TCP_INITIAL_RTO, &parameters, sizeof parameters, nullptr, 0, &returned, nullptr,
             nullptr);
}

bool Connect(SocketHandle socket, const uint8_t* address, uint32_t length, int32_t& error) {
    if (WSAConnect(Native(socket), reinterpret_cast<const sockaddr*>(address), static_cast<int>(length), nullptr,
                   nullptr, nullptr, nullptr) == 0)
        return true;
    error = LastSocketError();
    return false;
}

}  // namespace

bool StartSocketLibrary(int32_t& error) {
    WSADATA data;
    const int result = WSAStartup(MAKEWORD(2, 2), &data);
    if (result != 0) {
        error = result;
        return false;
    }
    return true;
}

void StopSocketLibrary() { WSACleanup(); }

ResolveOutcome ResolveFirstIpv4Tcp(const char* host, uint16_t port, uint8_t* address, uint32_t room,
                                   uint32_t& length, int32_t& error) {
    std::wstring name;
    DWORD conversion = 0;
    if (!WidenText(host, name, conversion)) {
        error = static_cast<int32_t>(conversion);
        return ResolveOutcome::kFailed;
    }
    const std::wstring service = std::to_wstring(port);
    ADDRINFOEXW* results = nullptr;
    const INT result = GetAddrInfoExW(name.c_str(), service.c_str(), NS_ALL, nullptr, nullptr, &results, nullptr,
                                      nullptr, nullptr, nullptr);
    if (result != 0) {
        error = result;
        return ResolveOutcome::kFailed;
    }
    const ADDRINFOEXW* chosen = FirstIpv4Tcp(results);
    if (chosen == nullptr || chosen->ai_addrlen > room) {
        FreeAddrInfoExW(results);
        return ResolveOutcome::kNoIpv4Address;
    }
    std::memcpy(address, chosen->ai_addr, chosen->ai_addrlen);
    length = static_cast<uint32_t>(chosen->ai_addrlen);
    FreeAddrInfoExW(results);
    return ResolveOutcome::kFound;
}

void LoopbackAddress(uint16_t port, uint8_t* address, uint32_t room, uint32_t& length) {
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_port = htons(port);
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = room < sizeof loopback ? room : static_cast<uint32_t>(sizeof loopback);
    std::memcpy(address, &loopback, length);
}

bool CreateTcpSocket(SocketHandle& socket, int32_t& error) {
    // Overlapped, for the event port; blocking calls work on it as well.
    const SOCKET created = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                      WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (created == INVALID_SOCKET) {
        error = LastSocketError();
        return false;
    }
    socket.native = static_cast<intptr_t>(created);
    return true;
}

bool ConnectTcpSocket(SocketHandle socket, const uint8_t* address, uint32_t length, int32_t& error) {
    if (IsLoopback(address, length)) RefuseLoopbackAtOnce(socket);
    if (Connect(socket, address, length, error)) return true;
    // After a refused connect, the next one on the same socket may first
    // report the connection aborted without trying (seen under Wine); the
    // try after that is a real one.
    if (error == WSAECONNABORTED && Connect(socket, address, length, error)) return true;
    StopAtExitGate();
    return false;
}

bool SetTcpSocketNonBlocking(SocketHandle socket, int32_t& error) {
    // Overlapped requests go pending whatever the mode; it keeps any call
    // made without an OVERLAPPED from blocking the loop.
    u_long enable = 1;
    if (ioctlsocket(Native(socket), FIONBIO, &enable) != 0) {
        error = LastSocketError();
        return false;
    }
    return true;
}

bool FindFreeLoopbackPort(uint16_t& port, int32_t& error) {
    SocketHandle probe;
    if (!CreateTcpSocket(probe, error)) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    const bool found = bind(Native(probe), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       getsockname(Native(probe), reinterpret_cast<sockaddr*>(&address), &size) == 0;
    if (!found) error = LastSocketError();
    CloseSocket(probe);
    if (found) port = ntohs(address.sin_port);
    return found;
}

}  // namespace kestrel::platform
