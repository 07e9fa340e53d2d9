#include "loop_fixtures.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/process.h"

namespace kestrel::test {

void MakeTcpPair(int* client, int* server) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t size = sizeof address;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    *client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(*client, 0);
    ASSERT_EQ(connect(*client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    *server = accept(listener, nullptr, nullptr);
    ASSERT_GE(*server, 0);
    close(listener);
    int one = 1;
    setsockopt(*client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(*server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void MakePipe(int fds[2]) {
    // As in the program: a write to a pipe without reader must fail with EPIPE.
    platform::IgnoreBrokenPipe();
    ASSERT_EQ(pipe(fds), 0);
}

void WriteAll(int descriptor, const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t written = write(descriptor, bytes, length);
        ASSERT_GT(written, 0);
        bytes += written;
        length -= static_cast<size_t>(written);
    }
}

namespace {

void OnCompletion(IoObject* io) {
    Probe& probe = ProbeOf(io);
    ++probe.completions;
    if (probe.onCompletion) probe.onCompletion(probe);
}

void OnFailure(IoObject* io, int32_t error) {
    Probe& probe = ProbeOf(io);
    ++probe.failures;
    probe.lastError = error;
    if (probe.onFailure) probe.onFailure(probe, error);
}

}  // namespace

Probe::Probe() {
    io.owner = this;
    io.completionCallback = OnCompletion;
    io.failureCallback = OnFailure;
}

void Probe::Prepare(uint8_t operation, uint32_t length, uint64_t timeout) {
    if (data.size() < length) data.resize(length);
    io.buffer = data.data();
    io.length = length;
    io.operation = operation;
    io.timeout = timeout;
}

void AttachSocket(Probe& probe, int socket) {
    probe.io.flags = 0;
    probe.io.socket = platform::SocketHandle{socket};
}

void AttachStream(Probe& probe, int handle) {
    probe.io.flags = kIoKindStream;
    probe.io.handle = platform::FileHandle{handle};
}

void AttachFile(Probe& probe, int handle, uint64_t offset) {
    probe.io.flags = kIoKindPositionalFile;
    probe.io.handle = platform::FileHandle{handle};
    probe.io.fileOffsetBase = offset;
}

void MakeNoHandle(Probe& probe, uint64_t timeout) {
    probe.io.flags = kIoKindNoHandle;
    probe.io.operation = timeout ? kIoRead : 0;
    probe.io.timeout = timeout;
}

void RunLoop(EventLoop& loop, std::vector<IoObject*> objects) {
    objects.push_back(nullptr);
    int32_t error = -1;
    EXPECT_TRUE(loop.Run(objects.data(), &error)) << "error " << error;
    EXPECT_EQ(loop.RegisteredCount(), 0u);
}

}  // namespace kestrel::test
