#include <unistd.h>

#include "platform/net.h"

namespace kestrel::platform {

void CloseSocket(SocketHandle socket) {
    if (socket.valid()) ::close(static_cast<int>(socket.native));
}

}  // namespace kestrel::platform
