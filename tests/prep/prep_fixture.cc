#include "prep/prep_fixture.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>

#include "client/requests.h"
#include "client/responses.h"
#include "client/wire.h"
#include "prep/preparation_pipe.h"

namespace kestrel::test {

namespace {

// The one place where the tests look inside a socket handle.
int Descriptor(platform::SocketHandle socket) { return static_cast<int>(socket.native); }

bool WaitFor(int descriptor, short events, int milliseconds) {
    pollfd watch{descriptor, events, 0};
    return poll(&watch, 1, milliseconds) == 1;
}

bool SendAll(int descriptor, const uint8_t* bytes, size_t length) {
    for (size_t sent = 0; sent < length;) {
        if (!WaitFor(descriptor, POLLOUT, 30000)) return false;
        const ssize_t count = send(descriptor, bytes + sent, length - sent, MSG_NOSIGNAL);
        if (count <= 0) return false;
        sent += static_cast<size_t>(count);
    }
    return true;
}

bool ReceiveAll(int descriptor, uint8_t* bytes, size_t length) {
    for (size_t got = 0; got < length;) {
        if (!WaitFor(descriptor, POLLIN, 30000)) return false;
        const ssize_t count = recv(descriptor, bytes + got, length - got, 0);
        if (count <= 0) return false;
        got += static_cast<size_t>(count);
    }
    return true;
}

}  // namespace

PreparationHarness::PreparationHarness() {
    int32_t error = 0;
    opened_ = PreparationPipe::Open(queue, reader_, answer_, OnAnswer, this, error);
    timer_.flags = kIoKindNoHandle;
    timer_.owner = this;
    timer_.failureCallback = OnTimer;
    timer_.operation = kIoRead;
}

PreparationHarness::~PreparationHarness() {
    PreparationThread::Stop(queue, 120000);
    PreparationThread::ReleaseServerList(queue);
    if (!collected_) platform::CloseFile(reader_.handle);
}

bool PreparationHarness::Start() {
    int32_t error = 0;
    return PreparationThread::Start(queue, error);
}

std::vector<PreparationResponse> PreparationHarness::Collect(size_t count, int seconds) {
    collected_ = true;
    wanted_ = count;
    timer_.timeout = static_cast<uint64_t>(seconds) * kIoTicksPerSecond;
    IoObject* initial[] = {&reader_, &timer_, nullptr};
    EventLoop loop;
    int32_t error = 0;
    if (!loop.Run(initial, &error)) std::fprintf(stderr, "the event loop failed, error %d\n", error);
    return answers_;
}

void PreparationHarness::OnAnswer(IoObject* reader) {
    auto& harness = *static_cast<PreparationHarness*>(reader->owner);
    if ((reader->flags & kIoStateEndOfStream) != 0) {
        harness.pipeEnded_ = true;
        harness.Finish();
        return;
    }
    harness.answers_.push_back(harness.answer_);
    if (harness.answers_.size() == harness.wanted_) {
        harness.Finish();
        return;
    }
    int32_t error = 0;
    if (!PreparationPipe::ReadNext(*reader, error)) {
        std::fprintf(stderr, "the next read could not start, error %d\n", error);
        harness.Finish();
    }
}

void PreparationHarness::OnTimer(IoObject* timer, int32_t) {
    static_cast<PreparationHarness*>(timer->owner)->Finish();
}

void PreparationHarness::Finish() {
    EventLoop::Unregister(&reader_);
    EventLoop::Unregister(&timer_);
}

Hop MakeHop(HopProtocol protocol, const char* host, uint16_t port, const char* url) {
    return Hop{url, host, nullptr, protocol, port};
}

uint16_t PortOf(const PreparationRequest& request) {
    sockaddr_in address{};
    std::memcpy(&address, request.peerAddress, sizeof address);
    return ntohs(address.sin_port);
}

bool IsLoopbackAddress(const PreparationRequest& request) {
    sockaddr_in address{};
    std::memcpy(&address, request.peerAddress, sizeof address);
    return request.peerAddressLength == sizeof address && address.sin_family == AF_INET &&
           ntohl(address.sin_addr.s_addr) == INADDR_LOOPBACK;
}

std::string ExchangeHello(platform::SocketHandle socket) {
    const int descriptor = Descriptor(socket);
    uint8_t message[kHelloLength];
    BuildHello(message, 0x5eed1234);
    if (!SendAll(descriptor, message, sizeof message)) return "the Hello could not be sent";
    for (;;) {
        uint8_t header[kMessageHeaderSize];
        if (!ReceiveAll(descriptor, header, sizeof header)) return "no answer to the Hello";
        const uint32_t length = header[6] | (header[7] << 8);
        if (length < kMessageHeaderSize) return "a malformed header";
        std::vector<uint8_t> payload(length - kMessageHeaderSize);
        if (!ReceiveAll(descriptor, payload.data(), payload.size())) return "a cut answer";
        if (payload.empty()) continue;  // keep-alive
        const uint8_t* reason = nullptr;
        uint32_t reasonLength = 0;
        switch (ClassifyHelloAnswer(payload.data(), static_cast<uint32_t>(payload.size()), reason, reasonLength)) {
            case HelloAnswer::Accept:
                return "accept";
            case HelloAnswer::Recalculate:
                return "recalculate";
            case HelloAnswer::Reject:
                return "reject";
            case HelloAnswer::Unexpected:
                return "unexpected: " + std::string(payload.begin(), payload.end());
        }
    }
}

bool IsNonBlocking(platform::SocketHandle socket) {
    const int flags = fcntl(Descriptor(socket), F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) != 0;
}



CapturedOutput::CapturedOutput() {
    std::fflush(stdout);
    char path[] = "/tmp/kestrel-prep-output-XXXXXX";
    file_ = mkstemp(path);
    unlink(path);
    saved_ = dup(1);
    dup2(file_, 1);
}

CapturedOutput::~CapturedOutput() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    close(file_);
}

std::string CapturedOutput::Text() {
    std::fflush(stdout);
    std::string text;
    char chunk[4096];
    for (off_t offset = 0;;) {
        const ssize_t got = pread(file_, chunk, sizeof chunk, offset);
        if (got <= 0) break;
        text.append(chunk, static_cast<size_t>(got));
        offset += got;
    }
    return text;
}

}  // namespace kestrel::test
