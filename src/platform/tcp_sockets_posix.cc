#include "platform/tcp_sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/exit_gate.h"

namespace kestrel::platform {

namespace {

int Native(SocketHandle socket) { return static_cast<int>(socket.native); }

const addrinfo* FirstIpv4Tcp(const addrinfo* results) {
    for (const addrinfo* entry = results; entry != nullptr; entry = entry->ai_next)
        if (entry->ai_family == AF_INET && (entry->ai_protocol == IPPROTO_TCP || entry->ai_protocol == 0))
            return entry;
    return nullptr;
}

// An interrupted connect goes on in the background: wait for its outcome.
bool FinishInterruptedConnect(int descriptor, int32_t& error) {
    pollfd watch{descriptor, POLLOUT, 0};
    while (poll(&watch, 1, -1) < 0) {
        if (errno != EINTR) {
            error = errno;
            return false;
        }
    }
    int outcome = 0;
    socklen_t size = sizeof outcome;
    if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &outcome, &size) != 0) {
        error = errno;
        return false;
    }
    if (outcome != 0) {
        error = outcome;
        return false;
    }
    return true;
}

}  // namespace

bool StartSocketLibrary(int32_t&) { return true; }

void StopSocketLibrary() {}

ResolveOutcome ResolveFirstIpv4Tcp(const char* host, uint16_t port, uint8_t* address, uint32_t room,
                                   uint32_t& length, int32_t& error) {
    char service[6];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    addrinfo* results = nullptr;
    const int result = getaddrinfo(host, service, nullptr, &results);
    if (result != 0) {
        error = result;
        return ResolveOutcome::kFailed;
    }
    const addrinfo* chosen = FirstIpv4Tcp(results);
    if (chosen == nullptr || chosen->ai_addrlen > room) {
        freeaddrinfo(results);
        return ResolveOutcome::kNoIpv4Address;
    }
    std::memcpy(address, chosen->ai_addr, chosen->ai_addrlen);
    length = static_cast<uint32_t>(chosen->ai_addrlen);
    freeaddrinfo(results);
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
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (descriptor < 0) {
        error = errno;
        return false;
    }
    socket.native = descriptor;
    return true;
}

bool ConnectTcpSocket(SocketHandle socket, const uint8_t* address, uint32_t length, int32_t& error) {
    if (connect(Native(socket), reinterpret_cast<const sockaddr*>(address), length) == 0) return true;
    if (errno == EINTR) return FinishInterruptedConnect(Native(socket), error);
    error = errno;
    StopAtExitGate();
    return false;
}

bool SetTcpSocketNonBlocking(SocketHandle socket, int32_t& error) {
    const int flags = fcntl(Native(socket), F_GETFL);
    if (flags < 0 || fcntl(Native(socket), F_SETFL, flags | O_NONBLOCK) != 0) {
        error = errno;
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
    socklen_t size = sizeof address;
    const bool found = bind(Native(probe), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       getsockname(Native(probe), reinterpret_cast<sockaddr*>(&address), &size) == 0;
    if (!found) error = errno;
    CloseSocket(probe);
    if (found) port = ntohs(address.sin_port);
    return found;
}

}  // namespace kestrel::platform
