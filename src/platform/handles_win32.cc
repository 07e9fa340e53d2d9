#include "platform/handles.h"

#include <winsock2.h>
#include <windows.h>

#include "platform/wide_text_win32.h"

namespace kestrel::platform {

void CloseFile(FileHandle& file) {
    if (file.valid()) CloseHandle(HandleOf(file.native));
    file = kNoFile;
}

void CloseSocket(SocketHandle& socket) {
    if (socket.valid()) closesocket(static_cast<SOCKET>(socket.native));
    socket = kNoSocket;
}

}  // namespace kestrel::platform
