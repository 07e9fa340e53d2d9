#include "platform/handles.h"

#include <unistd.h>

namespace kestrel::platform {

void CloseFile(FileHandle& file) {
    if (file.valid()) close(static_cast<int>(file.native));
    file = kNoFile;
}

void CloseSocket(SocketHandle& socket) {
    if (socket.valid()) close(static_cast<int>(socket.native));
    socket = kNoSocket;
}

}  // namespace kestrel::platform
