#include "loop_fixtures.h"

#include <gtest/gtest.h>

#include "loop_system.h"
#include "platform/anonymous_pipe.h"
#include "platform/process.h"
#include "platform/tcp_sockets.h"

namespace kestrel::test {

namespace {

// The socket calls are usable for the whole test program.
class SocketLibrary : public testing::Environment {
public:
    void SetUp() override {
        int32_t error = 0;
        ASSERT_TRUE(platform::StartSocketLibrary(error)) << "error " << error;
    }
    void TearDown() override { platform::StopSocketLibrary(); }
};

[[maybe_unused]] testing::Environment* const socketLibrary = testing::AddGlobalTestEnvironment(new SocketLibrary);

}  // namespace

void MakeTcpPair(platform::SocketHandle* client, platform::SocketHandle* server) {
    platform::SocketHandle listener;
    uint16_t port = 0;
    ASSERT_TRUE(ListenOnLoopback(listener, port));
    uint8_t address[platform::kSocketAddressRoom];
    uint32_t length = 0;
    platform::LoopbackAddress(port, address, sizeof address, length);
    int32_t error = 0;
    bool connected = platform::CreateTcpSocket(*client, error) &&
                     platform::ConnectTcpSocket(*client, address, length, error);
    if (connected) *server = AcceptConnection(listener);
    platform::CloseSocket(listener);
    ASSERT_TRUE(connected) << "error " << error;
    ASSERT_TRUE(server->valid());
    DisableNagle(*client);
    DisableNagle(*server);
}

void MakePipe(platform::FileHandle ends[2]) {
    // As in the program: a write to a pipe without reader must fail, not end the process.
    platform::IgnoreBrokenPipe();
    int32_t error = 0;
    ASSERT_TRUE(platform::CreateAnonymousPipe(ends[0], ends[1], error)) << "error " << error;
}

void WriteAll(platform::SocketHandle socket, const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        int64_t sent = SendSome(socket, bytes, static_cast<uint32_t>(length));
        ASSERT_GT(sent, 0);
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
}

void WriteAll(platform::FileHandle pipeWriteEnd, const void* data, size_t length) {
    int32_t error = 0;
    ASSERT_TRUE(platform::WritePipeRecord(pipeWriteEnd, data, static_cast<uint32_t>(length), error))
        << "error " << error;
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

void AttachSocket(Probe& probe, platform::SocketHandle socket) {
    probe.io.flags = 0;
    probe.io.socket = socket;
}

void AttachStream(Probe& probe, platform::FileHandle handle) {
    probe.io.flags = kIoKindStream;
    probe.io.handle = handle;
}

void AttachFile(Probe& probe, platform::FileHandle handle, uint64_t offset) {
    probe.io.flags = kIoKindPositionalFile;
    probe.io.handle = handle;
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
