#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "loop_system.h"
#include "platform/wide_text_win32.h"

namespace kestrel::test {

namespace {

SOCKET Native(platform::SocketHandle socket) { return static_cast<SOCKET>(socket.native); }

}  // namespace

bool ListenOnLoopback(platform::SocketHandle& listener, uint16_t& port) {
    // Overlapped, as the event port needs; accepted sockets inherit that.
    const SOCKET created =
        WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (created == INVALID_SOCKET) return false;
    listener = platform::SocketHandle{static_cast<intptr_t>(created)};
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (bind(created, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(created, 1) != 0 ||
        getsockname(created, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        platform::CloseSocket(listener);
        return false;
    }
    port = ntohs(address.sin_port);
    return true;
}

platform::SocketHandle AcceptConnection(platform::SocketHandle listener) {
    const SOCKET accepted = accept(Native(listener), nullptr, nullptr);
    return accepted == INVALID_SOCKET ? platform::kNoSocket : platform::SocketHandle{static_cast<intptr_t>(accepted)};
}

void DisableNagle(platform::SocketHandle socket) {
    BOOL one = TRUE;
    setsockopt(Native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

int64_t SendSome(platform::SocketHandle socket, const void* data, uint32_t length) {
    const int sent = send(Native(socket), static_cast<const char*>(data), static_cast<int>(length), 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

int64_t ReceiveSome(platform::SocketHandle socket, void* data, uint32_t length, bool peek) {
    const int received = recv(Native(socket), static_cast<char*>(data), static_cast<int>(length), peek ? MSG_PEEK : 0);
    return received == SOCKET_ERROR ? -1 : received;
}

bool ShutdownWrite(platform::SocketHandle socket) { return shutdown(Native(socket), SD_SEND) == 0; }

bool IsOpen(platform::FileHandle file) {
    DWORD flags = 0;
    return GetHandleInformation(platform::HandleOf(file.native), &flags) != 0;
}

bool IsOpen(platform::SocketHandle socket) {
    int type = 0;
    int size = sizeof type;
    return getsockopt(Native(socket), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &size) == 0;
}

platform::FileHandle OpenTestFile(const std::string& path, bool write) {
    std::wstring wide;
    DWORD error = 0;
    if (!platform::WidenPath(path.c_str(), wide, error)) return platform::kNoFile;
    // Synchronous: the event port moves regular files at once.
    const HANDLE file = CreateFileW(wide.c_str(), write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    write ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? platform::kNoFile : platform::FileHandle{platform::NativeValue(file)};
}

}  // namespace kestrel::test
