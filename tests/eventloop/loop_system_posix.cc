#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "loop_system.h"

namespace kestrel::test {

namespace {

int Native(platform::SocketHandle socket) { return static_cast<int>(socket.native); }

}  // namespace

bool ListenOnLoopback(platform::SocketHandle& listener, uint16_t& port) {
    const int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) return false;
    listener = platform::SocketHandle{descriptor};
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(descriptor, 1) != 0 ||
        getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        platform::CloseSocket(listener);
        return false;
    }
    port = ntohs(address.sin_port);
    return true;
}

platform::SocketHandle AcceptConnection(platform::SocketHandle listener) {
    const int accepted = accept4(Native(listener), nullptr, nullptr, SOCK_CLOEXEC);
    return accepted < 0 ? platform::kNoSocket : platform::SocketHandle{accepted};
}

void DisableNagle(platform::SocketHandle socket) {
    int one = 1;
    setsockopt(Native(socket), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int64_t SendSome(platform::SocketHandle socket, const void* data, uint32_t length) {
    return send(Native(socket), data, length, MSG_NOSIGNAL);
}

int64_t ReceiveSome(platform::SocketHandle socket, void* data, uint32_t length, bool peek) {
    return recv(Native(socket), data, length, peek ? MSG_PEEK : 0);
}

bool ShutdownWrite(platform::SocketHandle socket) { return shutdown(Native(socket), SHUT_WR) == 0; }

bool IsOpen(platform::FileHandle file) { return fcntl(static_cast<int>(file.native), F_GETFD) != -1; }

bool IsOpen(platform::SocketHandle socket) { return fcntl(Native(socket), F_GETFD) != -1; }

platform::FileHandle OpenTestFile(const std::string& path, bool write) {
    const int descriptor = write ? open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)
                                 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return descriptor < 0 ? platform::kNoFile : platform::FileHandle{descriptor};
}

}  // namespace kestrel::test
