// Interim preparation thread: direct connections only (replaced by the full
// subsystem with ssh forwards).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "prep/preparation.h"
#include "runtime/messages.h"
#include "script/objects.h"

namespace kestrel {

namespace {

PreparationRequest gStopRequest;

void ConnectDirect(PreparationQueue& queue, PreparationRequest& request) {
    const Hop& hop = *request.firstHop;
    addrinfo* results = nullptr;
    const std::string port = std::to_string(hop.port);
    const int resolved = getaddrinfo(hop.host, port.c_str(), nullptr, &results);
    if (resolved != 0) return PreparationThread::Respond(queue, request, kPreparationCannotResolve, static_cast<uint32_t>(resolved));
    const addrinfo* chosen = nullptr;
    for (const addrinfo* a = results; a != nullptr; a = a->ai_next)
        if (a->ai_family == AF_INET && (a->ai_protocol == IPPROTO_TCP || a->ai_protocol == 0)) {
            chosen = a;
            break;
        }
    if (chosen == nullptr) {
        freeaddrinfo(results);
        return PreparationThread::Respond(queue, request, kPreparationNoIpv4Address, 2);
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        freeaddrinfo(results);
        return PreparationThread::Respond(queue, request, kPreparationNoSocket, static_cast<uint32_t>(errno));
    }
    if (::connect(fd, chosen->ai_addr, chosen->ai_addrlen) != 0) {
        const int error = errno;
        ::close(fd);
        freeaddrinfo(results);
        return PreparationThread::Respond(queue, request, kPreparationCannotConnect, static_cast<uint32_t>(error));
    }
    std::memcpy(request.peerAddress, chosen->ai_addr, chosen->ai_addrlen);
    request.peerAddressLength = static_cast<uint32_t>(chosen->ai_addrlen);
    freeaddrinfo(results);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    request.socket = platform::SocketHandle{fd};
    PreparationThread::Respond(queue, request, kPreparedConnected, 0);
}

void Routine(PreparationQueue* queue) {
    for (;;) {
        PreparationRequest* batch = nullptr;
        {
            std::unique_lock<std::mutex> hold(queue->lock);
            queue->wakeUp.wait(hold, [&] { return queue->signalled; });
            batch = queue->head;
            queue->head = nullptr;
            queue->signalled = false;
        }
        for (PreparationRequest* r = batch; r != nullptr;) {
            PreparationRequest* next = r->next;
            if (r == &gStopRequest) {
                std::lock_guard<std::mutex> hold(queue->lock);
                queue->threadEnded = true;
                queue->ended.notify_all();
                return;
            }
            switch (r->firstHop->protocol) {
            case HopProtocol::Direct: ConnectDirect(*queue, *r); break;
            case HopProtocol::Agent: PreparationThread::Respond(*queue, *r, kPreparationAgentFirst, 0); break;
            default: PreparationThread::Respond(*queue, *r, kPreparationSshStart, 38); break;
            }
            r = next;
        }
    }
}

}  // namespace

namespace PreparationThread {

void Submit(PreparationQueue& queue, PreparationRequest& request) {
    std::lock_guard<std::mutex> hold(queue.lock);
    request.next = queue.head;
    queue.head = &request;
    queue.signalled = true;
    queue.wakeUp.notify_one();
}

bool Start(PreparationQueue& queue, int32_t&) {
    queue.thread = std::thread(Routine, &queue);
    return true;
}

bool Stop(PreparationQueue& queue, uint32_t milliseconds) {
    if (!queue.thread.joinable()) return true;
    Submit(queue, gStopRequest);
    std::unique_lock<std::mutex> hold(queue.lock);
    if (!queue.ended.wait_for(hold, std::chrono::milliseconds(milliseconds), [&] { return queue.threadEnded; })) {
        queue.thread.detach();
        return false;
    }
    hold.unlock();
    queue.thread.join();
    return true;
}

void Respond(PreparationQueue& queue, PreparationRequest& request, uint32_t status, uint32_t error) {
    PreparationResponse response{&request, status, error};
    std::atomic_thread_fence(std::memory_order_release);
    if (::write(static_cast<int>(queue.pipeWriteEnd.native), &response, sizeof response) != sizeof response) {
        const int32_t code = errno;
        PostMessageText("Cannot write to response pipe, error {0}", {{FormatI32, &code}});
    }
}

void EndSsh(PreparationRequest&, const char*) {}

bool ReadServerList(PreparationQueue& queue, int32_t&) {
    const char* value = std::getenv("KV_SSH_SERVER_LIST");
    queue.serverList = value != nullptr ? strdup(value) : nullptr;
    return true;
}

void ReleaseServerList(PreparationQueue& queue) {
    std::free(queue.serverList);
    queue.serverList = nullptr;
}

uint32_t SshDestination(const char*, const char* host, char* out, uint32_t room) {
    const uint32_t length = static_cast<uint32_t>(std::strlen(host));
    if (room > 0) {
        const uint32_t n = length < room - 1 ? length : room - 1;
        std::memcpy(out, host, n);
        out[n] = '\0';
    }
    return length;
}

}  // namespace PreparationThread

}  // namespace kestrel
