#include "agent/os/tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrel::agent::os {

namespace {

std::string ShowAddress(const sockaddr* address) {
    char host[INET6_ADDRSTRLEN] = "?";
    uint16_t port = 0;
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        port = ntohs(v6->sin6_port);
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
    port = ntohs(v4->sin_port);
    return std::string(host) + ":" + std::to_string(port);
}

void SetNoDelay(int fd) {
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool Resolve(const std::string& host, uint16_t port, bool passive, addrinfo*& list, int& error, std::string& text) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    const std::string service = std::to_string(port);
    const int result = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (result == 0) return true;
    // The resolver's codes are not errnos; an unknown host reads as "no such address".
    error = result == EAI_SYSTEM ? errno : ENXIO;
    text = "Cannot resolve " + host + ": " + gai_strerror(result);
    return false;
}

bool WaitConnected(int fd, int timeoutMs, int& error) {
    pollfd watch{fd, POLLOUT, 0};
    for (;;) {
        const int ready = poll(&watch, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            error = errno;
            return false;
        }
        if (ready == 0) {
            error = ETIMEDOUT;
            return false;
        }
        break;
    }
    int status = 0;
    socklen_t size = sizeof status;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &status, &size) != 0) status = errno;
    if (status != 0) {
        error = status;
        return false;
    }
    return true;
}

}  // namespace

bool ListenTcp(const std::string& host, uint16_t port, int& listener, SocketAddress& bound, std::string& shown,
               int& error) {
    listener = -1;
    addrinfo* list = nullptr;
    std::string text;
    if (!Resolve(host, port, true, list, error, text)) return false;
    error = EADDRNOTAVAIL;
    for (addrinfo* at = list; at != nullptr && listener < 0; at = at->ai_next) {
        const int fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        // The longest queue the system allows: under a flood of connections
        // a client's waits its turn in it instead of having its opening
        // dropped (and retried only a second later).
        if (bind(fd, at->ai_addr, at->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
            error = errno;
            close(fd);
            continue;
        }
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
        shown = ShowAddress(reinterpret_cast<sockaddr*>(&address));
        bound.length = size < sizeof bound.bytes ? size : static_cast<uint32_t>(sizeof bound.bytes);
        std::memcpy(bound.bytes, &address, bound.length);
        listener = fd;
    }
    freeaddrinfo(list);
    return listener >= 0;
}

AcceptResult AcceptTcp(int listener, int wakeFd, int timeoutMs, int& fd, SocketAddress& peer, int& error) {
    fd = -1;
    pollfd watch[2] = {{listener, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int ready = poll(watch, wakeFd >= 0 ? 2 : 1, timeoutMs);
    if (ready < 0) {
        if (errno == EINTR) return AcceptResult::Nothing;
        error = errno;
        return AcceptResult::Failed;
    }
    if (ready == 0 || (watch[0].revents & POLLIN) == 0) return AcceptResult::Nothing;
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    fd = accept4(listener, reinterpret_cast<sockaddr*>(&address), &size, SOCK_CLOEXEC);
    if (fd < 0) {
        error = errno;
        switch (error) {
        // The peer may have given up between the poll and the accept.
        case EAGAIN:
        case ECONNABORTED:
        case EINTR:
        case EPROTO:
        case EPERM:  // a firewall rule refused it
            return AcceptResult::Nothing;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return AcceptResult::OutOfRoom;
        default:
            return AcceptResult::Failed;
        }
    }
    peer.length = size < sizeof peer.bytes ? size : static_cast<uint32_t>(sizeof peer.bytes);
    std::memcpy(peer.bytes, &address, peer.length);
    SetNoDelay(fd);
    return AcceptResult::Accepted;
}

bool ConnectTcp(const std::string& host, uint16_t port, int timeoutMs, int& fd, SocketAddress& peer, int& error,
                std::string& text) {
    fd = -1;
    addrinfo* list = nullptr;
    if (!Resolve(host, port, false, list, error, text)) return false;
    for (addrinfo* at = list; at != nullptr; at = at->ai_next) {
        const int candidate = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, at->ai_protocol);
        if (candidate < 0) {
            error = errno;
            continue;
        }
        bool connected = connect(candidate, at->ai_addr, at->ai_addrlen) == 0;
        if (!connected) {
            error = errno;
            if (error == EINPROGRESS) connected = WaitConnected(candidate, timeoutMs, error);
        }
        if (!connected) {
            close(candidate);
            continue;
        }
        const int flags = fcntl(candidate, F_GETFL);
        fcntl(candidate, F_SETFL, flags & ~O_NONBLOCK);
        SetNoDelay(candidate);
        const uint32_t length = at->ai_addrlen < sizeof peer.bytes ? at->ai_addrlen : sizeof peer.bytes;
        std::memcpy(peer.bytes, at->ai_addr, length);
        peer.length = length;
        fd = candidate;
        break;
    }
    freeaddrinfo(list);
    if (fd >= 0) return true;
    text = "Cannot connect to " + host + ":" + std::to_string(port) + ": " + std::strerror(error);
    return false;
}

namespace {

// Waits until `fd` is ready for `events` or the deadline passes.
bool WaitReady(int fd, short events, Deadline deadline, int& error) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            error = ETIMEDOUT;
            return false;
        }
        pollfd watch{fd, events, 0};
        // Slices of at most a minute: the conversion to int stays small.
        const int ready = poll(&watch, 1, static_cast<int>(left.count() < 60000 ? left.count() + 1 : 60000));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) {
            error = errno;
            return false;
        }
    }
}

}  // namespace

bool ReadExact(int fd, uint8_t* data, uint32_t count, Deadline deadline, bool& ended, int& error) {
    ended = false;
    uint32_t done = 0;
    while (done < count) {
        const ssize_t got = recv(fd, data + done, count - done, MSG_DONTWAIT);
        if (got > 0) {
            done += static_cast<uint32_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitReady(fd, POLLIN, deadline, error)) return false;
            continue;
        }
        if (got == 0) {
            ended = done == 0;
            error = ended ? 0 : ECONNRESET;
        } else {
            error = errno;
        }
        return false;
    }
    return true;
}

bool WriteAll(int fd, const uint8_t* data, uint32_t count, Deadline deadline, int& error) {
    uint32_t done = 0;
    while (done < count) {
        const ssize_t put = send(fd, data + done, count - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put > 0) {
            done += static_cast<uint32_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitReady(fd, POLLOUT, deadline, error)) return false;
            continue;
        }
        error = put < 0 ? errno : EPIPE;
        return false;
    }
    return true;
}

void RelayStreams(int first, int second, uint32_t idleMs) {
    struct Direction {
        int from;
        int to;
        bool open = true;
    };
    Direction directions[2] = {{first, second}, {second, first}};
    static constexpr uint32_t kChunk = 65536;
    uint8_t buffer[kChunk];
    while (directions[0].open || directions[1].open) {
        pollfd watch[2];
        int count = 0;
        Direction* watched[2];
        for (Direction& d : directions) {
            if (!d.open) continue;
            watch[count] = {d.from, POLLIN, 0};
            watched[count++] = &d;
        }
        const int ready = poll(watch, static_cast<nfds_t>(count), static_cast<int>(idleMs));
        if (ready == 0) return;  // both ends silent for too long
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (int i = 0; i < count; ++i) {
            if (watch[i].revents == 0) continue;
            Direction& d = *watched[i];
            const ssize_t got = recv(d.from, buffer, kChunk, 0);
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            int error = 0;
            if (got <= 0) {
                if (got < 0) return;  // a reset ends the tunnel
                d.open = false;
                shutdown(d.to, SHUT_WR);
                continue;
            }
            const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(idleMs);
            if (!WriteAll(d.to, buffer, static_cast<uint32_t>(got), deadline, error)) return;
        }
    }
}

bool AddressBytes(const SocketAddress& address, bool& v6, uint8_t bytes[16]) {
    sockaddr_storage storage{};
    std::memcpy(&storage, address.bytes, address.length < sizeof storage ? address.length : sizeof storage);
    if (storage.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
        v6 = false;
        std::memcpy(bytes, &v4->sin_addr, 4);
        return true;
    }
    if (storage.ss_family != AF_INET6) return false;
    const auto* in6 = &reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(in6)) {
        v6 = false;
        std::memcpy(bytes, in6->s6_addr + 12, 4);
        return true;
    }
    v6 = true;
    std::memcpy(bytes, in6->s6_addr, 16);
    return true;
}

bool ParseNumericAddress(const std::string& text, bool& v6, uint8_t bytes[16]) {
    if (inet_pton(AF_INET, text.c_str(), bytes) == 1) {
        v6 = false;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), bytes) == 1) {
        v6 = true;
        return true;
    }
    return false;
}

std::string ShowAddressBytes(bool v6, const uint8_t bytes[16]) {
    char text[INET6_ADDRSTRLEN] = "?";
    inet_ntop(v6 ? AF_INET6 : AF_INET, bytes, text, sizeof text);
    return text;
}

void ShutdownSocket(int fd) {
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

void ResetSocket(int fd) {
    if (fd < 0) return;
    const linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    shutdown(fd, SHUT_RDWR);
}

}  // namespace kestrel::agent::os
