// The protocol layer against a scripted machine on a loopback socket: the
// client side runs on the real event loop, the machine in a thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "client/connection.h"
#include "client/direct_client.h"
#include "client/requests.h"
#include "logs/connection_log_reader.h"
#include "platform/clock.h"
#include "support/test_support.h"
#include "wire_bytes.h"

namespace kestrel::test {
namespace {

constexpr char kUrl[] = "kv://builder:5017";

// The machine's end: accepts one connection and plays a script on it.
class Machine {
public:
    Machine() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener_, 1), 0);
        socklen_t size = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }

    ~Machine() {
        if (thread_.joinable()) thread_.join();
        close(listener_);
    }

    // The client's connected socket; the script runs on the accepted one.
    platform::SocketHandle Connect(std::function<void(Machine&)> script) {
        const int client = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port_);
        EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        thread_ = std::thread([this, script] {
            peer_ = accept(listener_, nullptr, nullptr);
            const int one = 1;
            setsockopt(peer_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            // A client that never answers must not hang the suite.
            timeval limit{30, 0};
            setsockopt(peer_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            script(*this);
            if (!closeEarly) DrainToEnd();
            close(peer_);
        });
        return platform::SocketHandle{client};
    }

    std::string Read(size_t count) {
        std::string bytes;
        while (bytes.size() < count) {
            char chunk[4096];
            const ssize_t got = recv(peer_, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
            if (got <= 0) break;
            bytes.append(chunk, static_cast<size_t>(got));
        }
        return bytes;
    }

    // One whole message: header, then what its length says.
    std::string ReadMessage() {
        std::string message = Read(8);
        if (message.size() < 8) return message;
        const uint16_t length = static_cast<uint16_t>(static_cast<uint8_t>(message[6]) | static_cast<uint8_t>(message[7]) << 8);
        return message + Read(length - 8u);
    }

    void Send(const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t put = send(peer_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (put <= 0) return;
            sent += static_cast<size_t>(put);
        }
    }

    // Separate sends with pauses, so that the client sees separate reads.
    void SendInPieces(const std::string& bytes, const std::vector<size_t>& sizes) {
        size_t at = 0;
        for (size_t size : sizes) {
            Send(bytes.substr(at, size));
            at += size;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        Send(bytes.substr(at));
    }

    // What else the client wrote before it closed.
    void DrainToEnd() {
        for (;;) {
            char chunk[256];
            const ssize_t got = recv(peer_, chunk, sizeof chunk, 0);
            if (got <= 0) break;
            trailing.append(chunk, static_cast<size_t>(got));
        }
    }

    void Join() {
        if (thread_.joinable()) thread_.join();
    }

    std::vector<std::string> requests;  // as the machine read them
    std::string trailing;
    bool closeEarly = false;

private:
    int listener_ = -1;
    int peer_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

uint16_t SequenceOf(const std::string& message) {
    return static_cast<uint16_t>(static_cast<uint8_t>(message[4]) | static_cast<uint8_t>(message[5]) << 8);
}

uint32_t IdOf(const std::string& message) {
    return static_cast<uint32_t>(static_cast<uint8_t>(message[0])) | static_cast<uint32_t>(static_cast<uint8_t>(message[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(message[2])) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(message[3])) << 24;
}

std::string Reply(const std::string& request, const std::string& payload) {
    return Header(IdOf(request), SequenceOf(request), static_cast<uint16_t>(8 + payload.size())) + payload;
}

// The client side: one connection with its log, and the responses it got.
class ClientSide : public ::testing::Test {
public:
    static ClientSide* current;
    std::vector<std::string> responses;

protected:

    DirectClient client;
    Connection connection;
    TempDir directory;
    std::string logPath;
    // How many requests the handler still sends after a response.
    int followUps = 0;

    void SetUp() override {
        current = this;
        connection.state = 0;
        connection.machineName = "builder";
        connection.pathId = 2;
        connection.firstHopUrl = kUrl;
        connection.client = &client;
        ASSERT_TRUE(AllocateMessageBuffer(connection));
        logPath = directory / "connection.log";
        std::FILE* stream = std::fopen(logPath.c_str(), "w+b");
        ASSERT_NE(stream, nullptr);
        ASSERT_TRUE(connection.log.Start(stream, "builder", 2));
        const uint8_t address[4] = {127, 0, 0, 1};
        ASSERT_TRUE(connection.log.BeginFirstHop(kUrl) && connection.log.AppendHopReached(address, 4) &&
                    connection.log.Commit());
    }

    void TearDown() override {
        connection.log.Close();
        FreeMessageBuffer(connection);
        current = nullptr;
    }

    static void OnResponse(Connection& c, uint8_t* message, uint32_t length) {
        ClientSide& self = *current;
        self.responses.emplace_back(reinterpret_cast<const char*>(message), length);
        // The response completes the Version record.
        c.log.Append(message + 8, length - 8);
        c.log.Commit();
        if (self.followUps-- > 0) return self.SendVersion();
        CloseConnectionSocket(c);
    }

    // A logged request of the catalogue: Version, with its filler.
    void SendVersion() {
        PayloadWriter w = BeginPayload(connection.protocol.messageBuffer, false);
        BuildBareRequest(w, MessageType::Version);
        connection.log.BeginRecord(w.payload, w.length);
        SendRequest(connection, w.length, OnResponse, LogFillerInfo{LogFiller::Version});
    }

    // Connects to the machine, sends the first request and runs the loop
    // until the connection has closed.
    void Run(Machine& machine, std::function<void(Machine&)> script) {
        AttachSocket(connection, machine.Connect(script));
        connection.protocol.connectionId = 0x5EED1234;
        SendVersion();
        EventLoop loop;
        IoObject* initial[] = {&connection.protocol.socket, nullptr};
        int32_t error = 0;
        ASSERT_TRUE(loop.Run(initial, &error)) << error;
        machine.Join();
    }

    // The records of the log after the run, as a short text per record.
    std::vector<std::string> LogRecords() {
        connection.log.Close();
        ConnectionLogReader reader;
        EXPECT_TRUE(reader.Open(logPath.c_str(), false));
        std::vector<std::string> records;
        ConnectionLogHandlers h;
        h.context = &records;
        h.hop = [](void* r, const LogHopRecord& hop) {
            static_cast<std::vector<std::string>*>(r)->push_back("hop " + std::to_string(hop.kind));
            return LogAction::Continue;
        };
        h.version = [](void* r, const LogVersionRecord& v) {
            static_cast<std::vector<std::string>*>(r)->push_back("version " + std::to_string(v.major) + "." +
                                                                 std::to_string(v.minor) + "." + std::to_string(v.build));
            return LogAction::Continue;
        };
        h.connectionError = [](void* r, const LogConnectionErrorRecord& e) {
            static_cast<std::vector<std::string>*>(r)->push_back(
                std::string(e.kind == 0xFF ? "connection error " : "protocol error ") + std::to_string(e.errorCode) + " " +
                std::string(reinterpret_cast<const char*>(e.message.bytes), e.message.length));
            return LogAction::Continue;
        };
        EXPECT_EQ(reader.Read(h), LogReadResult::Done) << (reader.message ? reader.message : "");
        return records;
    }

    std::string Message() const { return client.message ? client.message : ""; }
};

ClientSide* ClientSide::current = nullptr;

const std::string kVersion = Bytes().u16(1).u16(2).u16(3).u32(0).s();

TEST_F(ClientSide, ResponseInManySmallReadsIsHandledOnce) {
    Machine machine;
    Run(machine, [](Machine& m) {
        const std::string request = m.ReadMessage();
        m.requests.push_back(request);
        m.SendInPieces(Reply(request, kVersion), {1, 2, 3, 1, 4, 2});
    });
    ASSERT_EQ(machine.requests.size(), 1u);
    EXPECT_EQ(Hex(machine.requests[0]), Hex(Header(0x5EED1234, 1, 9) + "\x13"));
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0].substr(8), kVersion);
    EXPECT_EQ(LogRecords(), (std::vector<std::string>{"hop 0", "version 1.2.3"}));
    EXPECT_EQ(client.stateFlags & kClientProtocolFailureSeen, 0u);
}

TEST_F(ClientSide, KeepAlivesAreEchoedOnlyForTheOutstandingRequest) {
    // A watchdog that has not run out changes nothing.
    client.stateFlags |= kClientWatchdogArmed;
    client.startTime = platform::LocalFileTimeNow();
    AddActiveConnection(client, connection);
    followUps = 1;
    std::string echo, afterIgnored;
    Machine machine;
    Run(machine, [&](Machine& m) {
        const std::string first = m.ReadMessage();
        const std::string mine = Header(IdOf(first), SequenceOf(first), 8);
        m.Send(mine);
        echo = m.Read(8);
        // Another request's keep-alive, then the response: no echo follows.
        m.Send(Header(IdOf(first), SequenceOf(first) + 40, 8));
        m.Send(Reply(first, kVersion));
        afterIgnored = m.ReadMessage();
        m.requests = {first, afterIgnored};
        // A keep-alive and the response in one write: the keep-alive is dropped.
        m.Send(Header(IdOf(afterIgnored), SequenceOf(afterIgnored), 8) + Reply(afterIgnored, kVersion));
    });
    EXPECT_EQ(Hex(echo), Hex(Header(0x5EED1234, 1, 8)));
    // What follows the ignored keep-alive is the next request itself.
    EXPECT_EQ(Hex(afterIgnored), Hex(Header(0x5EED1234, 2, 9) + "\x13"));
    EXPECT_EQ(machine.trailing, "") << "no echo of a dropped keep-alive";
    EXPECT_EQ(responses.size(), 2u);
    EXPECT_FALSE(IsAbortRequested(client));
}

TEST_F(ClientSide, SequenceWrapsAfter65535ToOne) {
    connection.protocol.sequence = 65534;
    followUps = 2;
    Machine machine;
    Run(machine, [](Machine& m) {
        for (int i = 0; i < 3; ++i) {
            const std::string request = m.ReadMessage();
            m.requests.push_back(request);
            m.Send(Reply(request, kVersion));
        }
    });
    ASSERT_EQ(machine.requests.size(), 3u);
    EXPECT_EQ(SequenceOf(machine.requests[0]), 65535);
    EXPECT_EQ(SequenceOf(machine.requests[1]), 1);
    EXPECT_EQ(SequenceOf(machine.requests[2]), 2);
    EXPECT_EQ(responses.size(), 3u);
}

TEST_F(ClientSide, HelloStartsANewConnectionAtSequenceZero) {
    Machine machine;
    AttachSocket(connection, machine.Connect([](Machine& m) {
        const std::string hello = m.Read(30);
        m.requests.push_back(hello);
        m.Send(Reply(hello, "accept"));
    }));
    connection.protocol.sequence = 77;
    SendHello(connection, OnResponse);
    EventLoop loop;
    IoObject* initial[] = {&connection.protocol.socket, nullptr};
    int32_t error = 0;
    ASSERT_TRUE(loop.Run(initial, &error));
    machine.Join();
    ASSERT_EQ(machine.requests.size(), 1u);
    EXPECT_EQ(machine.requests[0].substr(4), Header(0, 0, 30).substr(4) + kHelloText);
    EXPECT_EQ(IdOf(machine.requests[0]), connection.protocol.connectionId);
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0].substr(8), "accept");
}

TEST_F(ClientSide, SecondBufferCarriesItsRequestAndReceivesItsResponse) {
    std::vector<uint8_t> pieceBuffer(kMessageBufferSize);
    std::fill_n(connection.protocol.messageBuffer, kMessageBufferSize, uint8_t{0x5A});
    BeginInputWrite(pieceBuffer.data(), 3);
    std::fill_n(pieceBuffer.begin() + kInputWriteDataOffset, 1000, uint8_t{'a'});
    static uint8_t* answeredIn = nullptr;
    Machine machine;
    AttachSocket(connection, machine.Connect([](Machine& m) {
        const std::string piece = m.ReadMessage();
        m.requests.push_back(piece);
        m.Send(Reply(piece, Bytes().u32(0).s()));
    }));
    connection.protocol.connectionId = 42;
    SendRequestFrom(connection, pieceBuffer.data(), 1002,
                    [](Connection& c, uint8_t* message, uint32_t length) {
                        answeredIn = message;
                        current->responses.emplace_back(reinterpret_cast<const char*>(message), length);
                        CloseConnectionSocket(c);
                    },
                    LogFillerInfo{LogFiller::InputWrite, 3});
    EventLoop loop;
    IoObject* initial[] = {&connection.protocol.socket, nullptr};
    int32_t error = 0;
    ASSERT_TRUE(loop.Run(initial, &error));
    machine.Join();
    ASSERT_EQ(machine.requests.size(), 1u);
    EXPECT_EQ(machine.requests[0], Header(42, 1, 1010) + "\x0c\x03" + std::string(1000, 'a'));
    EXPECT_EQ(answeredIn, pieceBuffer.data());
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses[0], Header(42, 1, 12) + Bytes().u32(0).s());
    EXPECT_EQ(std::count(connection.protocol.messageBuffer, connection.protocol.messageBuffer + kMessageBufferSize, 0x5A),
              static_cast<long>(kMessageBufferSize))
        << "the connection's own buffer is left alone";
}

struct FaultCase {
    const char* what;
    std::function<std::string(const std::string& request)> answer;
    std::string message;
    bool protocolRecord;
    bool marksRun;
};

TEST_F(ClientSide, FramingFaultsFailTheConnectionAndReplaceTheUnfinishedRecord) {
    const FaultCase cases[] = {
        {"too many bytes", [](const std::string& r) { return Reply(r, kVersion) + "xyz"; },
         "Unexpected message length received", true, false},
        {"wrong sequence", [](const std::string& r) { return Header(IdOf(r), SequenceOf(r) + 1, 18) + kVersion; },
         "Unexpected sequence received", true, false},
        {"wrong connection id", [](const std::string& r) { return Header(IdOf(r) + 1, SequenceOf(r), 18) + kVersion; },
         "The machine kv://builder:5017 sent an invalid response", true, true},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        client.stateFlags = 0;
        responses.clear();
        Machine machine;
        testing::internal::CaptureStdout();
        Run(machine, [&](Machine& m) { m.Send(c.answer(m.ReadMessage())); });
        const std::string posted = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(responses.empty());
        EXPECT_EQ(Message(), c.message);
        EXPECT_NE(posted.find("Machine failed with connection error: " + c.message), std::string::npos) << posted;
        EXPECT_EQ((client.stateFlags & kClientProtocolFailureSeen) != 0, c.marksRun);
        EXPECT_TRUE(connection.state & kConnectionFailed);
        EXPECT_FALSE(connection.state & kConnectionRequestOutstanding);
        // The Version request part is gone; the error record takes its place.
        EXPECT_EQ(LogRecords(), (std::vector<std::string>{"hop 0", "protocol error 0 " + c.message}));
    }
}

TEST_F(ClientSide, MachineClosingBeforeAnsweringIsAConnectionFailure) {
    Machine machine;
    machine.closeEarly = true;
    testing::internal::CaptureStdout();
    Run(machine, [](Machine& m) { m.ReadMessage(); });
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Message(), "Machine kv://builder:5017 immediately terminated the connection");
    EXPECT_EQ(LogRecords(), (std::vector<std::string>{
                                "hop 0", "connection error 0 Machine kv://builder:5017 immediately terminated the connection"}));
}

TEST_F(ClientSide, SilentMachineTimesOut) {
    connection.protocol.timeout = kIoTicksPerSecond / 5;
    Machine machine;
    testing::internal::CaptureStdout();
    // The machine reads the request and waits for the client to give up.
    Run(machine, [](Machine& m) { m.ReadMessage(); });
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Message(), "Connection to kv://builder:5017 timed out");
    EXPECT_EQ(LogRecords(), (std::vector<std::string>{"hop 0", "connection error 0 Connection to kv://builder:5017 timed out"}));
}

TEST_F(ClientSide, AutomatedWatchdogAbortsAStalledRunOnAKeepAlive) {
    client.stateFlags |= kClientWatchdogArmed;
    const int64_t now = platform::LocalFileTimeNow();
    client.startTime = now - kWatchdogSeconds * platform::kTicksPerSecond;
    client.lastActivityTime = now - 2 * kWatchdogSeconds * platform::kTicksPerSecond;
    AddActiveConnection(client, connection);
    Machine machine;
    testing::internal::CaptureStdout();
    Run(machine, [](Machine& m) {
        const std::string request = m.ReadMessage();
        m.Send(Header(IdOf(request), SequenceOf(request), 8));
    });
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(IsAbortRequested(client));
    EXPECT_EQ(Message(), "Connection to kv://builder:5017 failed, error " + std::to_string(ECANCELED));
    EXPECT_EQ(client.activeConnections, nullptr);
    EXPECT_EQ(machine.trailing, "") << "the keep-alive is not echoed once the run is aborted";
}

TEST_F(ClientSide, WatchdogCountsFromTheLastJobEnd) {
    client.stateFlags |= kClientWatchdogArmed;
    const int64_t now = platform::LocalFileTimeNow();
    client.startTime = now - 5000 * platform::kTicksPerSecond;
    client.lastActivityTime = now - 1800 * platform::kTicksPerSecond;
    EXPECT_FALSE(WatchdogExpired(client, now));
    EXPECT_TRUE(WatchdogExpired(client, now + platform::kTicksPerSecond));
    client.stateFlags = 0;
    EXPECT_FALSE(WatchdogExpired(client, now + 100000 * platform::kTicksPerSecond));
}

}  // namespace
}  // namespace kestrel::test
