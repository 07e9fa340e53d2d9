// The preparation thread's socket work: which resolver results are taken,
// and a connect to a loopback port that nobody listens on, tried again on
// the same socket as the ssh forward is polled.
#include <gtest/gtest.h>

#include <string>

#include "platform/socket_address.h"
#include "platform/tcp_sockets.h"

namespace kestrel::platform {
namespace {

class TcpSockets : public testing::Test {
protected:
    void SetUp() override {
        int32_t error = 0;
        ASSERT_TRUE(StartSocketLibrary(error)) << error;
    }
    void TearDown() override { StopSocketLibrary(); }
};

TEST_F(TcpSockets, ResolutionTakesTheFirstIpv4AddressOnly) {
    struct Case {
        const char* host;
        uint16_t port;
        ResolveOutcome outcome;
        const char* text;  // of the address found
    };
    const Case cases[] = {
        {"127.0.0.2", 5017, ResolveOutcome::kFound, "127.0.0.2:5017"},
        {"localhost", 80, ResolveOutcome::kFound, "127.0.0.1:80"},
        {"::1", 5017, ResolveOutcome::kNoIpv4Address, ""},
        {"no-such-host.invalid", 5017, ResolveOutcome::kFailed, ""},
    };
    for (const Case& c : cases) {
        uint8_t address[kSocketAddressRoom];
        uint32_t length = 0;
        int32_t error = 0;
        EXPECT_EQ(ResolveFirstIpv4Tcp(c.host, c.port, address, sizeof address, length, error), c.outcome) << c.host;
        if (c.outcome == ResolveOutcome::kFailed) {
            EXPECT_NE(error, 0) << c.host;
        }
        if (c.outcome != ResolveOutcome::kFound) continue;
        char text[kSocketAddressTextRoom];
        ASSERT_TRUE(FormatSocketAddress(address, length, text, sizeof text)) << c.host;
        EXPECT_EQ(std::string(text), c.text);
    }
}

TEST_F(TcpSockets, ARefusedConnectIsRefusedAgainOnTheSameSocket) {
    uint16_t port = 0;
    int32_t error = 0;
    ASSERT_TRUE(FindFreeLoopbackPort(port, error)) << error;
    EXPECT_NE(port, 0);
    uint8_t address[kSocketAddressRoom];
    uint32_t length = 0;
    LoopbackAddress(port, address, sizeof address, length);
    SocketHandle socket;
    ASSERT_TRUE(CreateTcpSocket(socket, error)) << error;
    int32_t first = 0, second = 0, third = 0;
    EXPECT_FALSE(ConnectTcpSocket(socket, address, length, first));
    EXPECT_FALSE(ConnectTcpSocket(socket, address, length, second));
    EXPECT_FALSE(ConnectTcpSocket(socket, address, length, third));
    EXPECT_NE(first, 0);
    EXPECT_EQ(second, first) << "every try reports the refusal, none a state left by the one before";
    EXPECT_EQ(third, first);
    CloseSocket(socket);
}

}  // namespace
}  // namespace kestrel::platform
