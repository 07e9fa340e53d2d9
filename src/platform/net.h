// Sockets as the client uses them once connected.
#pragma once

#include "platform/handles.h"

namespace kestrel::platform {

// Closes a socket; an invalid handle is ignored.
void CloseSocket(SocketHandle socket);

}  // namespace kestrel::platform
