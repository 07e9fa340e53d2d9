#include <cstring>

#include "platform/tcp_sockets.h"
#include "prep/preparation_steps.h"
#include "runtime/error_codes.h"
#include "script/objects.h"

namespace kestrel::preparation {

namespace {

static_assert(sizeof(PreparationRequest::peerAddress) >= platform::kSocketAddressRoom);

uint32_t Code(int32_t error) { return static_cast<uint32_t>(error); }

}  // namespace

void ConnectDirect(PreparationQueue& queue, PreparationRequest& request, const char* host) {
    uint8_t address[platform::kSocketAddressRoom];
    uint32_t length = 0;
    int32_t error = 0;
    switch (platform::ResolveFirstIpv4Tcp(host, request.firstHop->port, address, sizeof address, length, error)) {
        case platform::ResolveOutcome::kFound:
            break;
        case platform::ResolveOutcome::kFailed:
            PreparationThread::Respond(queue, request, kPreparationCannotResolve, Code(error));
            return;
        case platform::ResolveOutcome::kNoIpv4Address:
            PreparationThread::Respond(queue, request, kPreparationNoIpv4Address, Code(kErrorFileNotFound));
            return;
    }
    platform::SocketHandle socket;
    if (!platform::CreateTcpSocket(socket, error)) {
        PreparationThread::Respond(queue, request, kPreparationNoSocket, Code(error));
        return;
    }
    // Only the first IPv4 address is tried.
    if (!platform::ConnectTcpSocket(socket, address, length, error)) {
        platform::CloseSocket(socket);
        PreparationThread::Respond(queue, request, kPreparationCannotConnect, Code(error));
        return;
    }
    if (!platform::SetTcpSocketNonBlocking(socket, error)) {
        platform::CloseSocket(socket);
        PreparationThread::Respond(queue, request, kPreparationNonBlocking, Code(error));
        return;
    }
    std::memcpy(request.peerAddress, address, length);
    request.peerAddressLength = length;
    request.socket = socket;
    PreparationThread::Respond(queue, request, kPreparedConnected, 0);
}

}  // namespace kestrel::preparation
