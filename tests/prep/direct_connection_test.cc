// Direct first hops: resolution, the connect, and the answers of each failure.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <system_error>

#include "agent/agent_process.h"
#include "prep/prep_fixture.h"
#include "runtime/error_codes.h"
#include "support/test_support.h"

namespace kestrel::test {
namespace {

// A loopback port bound but not listening, so that connects to it are refused
// and nobody else can take it while the test runs.
class RefusingPort {
public:
    RefusingPort() {
        descriptor_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(descriptor_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(descriptor_, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~RefusingPort() { close(descriptor_); }
    uint16_t port() const { return port_; }

private:
    int descriptor_ = -1;
    uint16_t port_ = 0;
};

PreparationResponse PrepareOne(const Hop& hop, PreparationRequest& request) {
    PreparationHarness harness;
    request.firstHop = &hop;
    PreparationThread::Submit(harness.queue, request);
    if (!harness.opened() || !harness.Start()) return {nullptr, 999, 0};
    const auto answers = harness.Collect(1);
    return answers.empty() ? PreparationResponse{nullptr, 998, 0} : answers[0];
}

struct FailureCase {
    const char* name;
    HopProtocol protocol;
    const char* host;
    bool refusingPort;  // the hop's port refuses connections
    uint32_t status;
    int32_t error;      // -1: any non-zero code (the resolver's own)
};

TEST(DirectConnection, EachFailureAnswersItsStatusAndCode) {
    RefusingPort refusing;
    ASSERT_NE(refusing.port(), 0);
    const FailureCase cases[] = {
        {"name under .invalid", HopProtocol::Direct, "no-such-machine.invalid", false, kPreparationCannotResolve, -1},
        {"refused port", HopProtocol::Direct, "127.0.0.1", true, kPreparationCannotConnect,
         static_cast<int32_t>(std::errc::connection_refused)},
        {"IPv6 address only", HopProtocol::Direct, "::1", false, kPreparationNoIpv4Address, kErrorFileNotFound},
        {"host not UTF-8", HopProtocol::Direct, "bad\xC3(host", false, kPreparationNameSize,
         kErrorNoUnicodeTranslation},
        {"ssh host not UTF-8", HopProtocol::Tunnel, "bad\xFFhost", false, kPreparationNameSize,
         kErrorNoUnicodeTranslation},
        {"agent as first hop", HopProtocol::Agent, "agent", false, kPreparationAgentFirst, 0},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Hop hop = MakeHop(c.protocol, c.host, c.refusingPort ? refusing.port() : 5017);
        PreparationRequest request;
        const PreparationResponse answer = PrepareOne(hop, request);
        EXPECT_EQ(answer.request, &request);
        EXPECT_EQ(answer.status, c.status);
        if (c.error == -1)
            EXPECT_NE(answer.error, 0u);
        else
            EXPECT_EQ(answer.error, static_cast<uint32_t>(c.error));
        EXPECT_FALSE(request.socket.valid());
        EXPECT_EQ(request.sshCommandLine, nullptr);
    }
}

TEST(DirectConnection, ConnectsToAnAgentThatAcceptsTheHello) {
    AgentProcess agent;
    TempDir work;
    ASSERT_TRUE(agent.Start({"--work-dir", work / "work"})) << agent.failure;
    const Hop hop = MakeHop(HopProtocol::Direct, "localhost", agent.port());
    PreparationRequest request;
    const PreparationResponse answer = PrepareOne(hop, request);
    ASSERT_EQ(answer.status, kPreparedConnected) << "error " << answer.error;
    EXPECT_EQ(answer.error, 0u);
    ASSERT_TRUE(request.socket.valid());
    EXPECT_TRUE(IsNonBlocking(request.socket));
    EXPECT_TRUE(IsLoopbackAddress(request));
    EXPECT_EQ(PortOf(request), agent.port());
    EXPECT_EQ(ExchangeHello(request.socket), "accept");
    platform::CloseSocket(request.socket);
}

}  // namespace
}  // namespace kestrel::test
