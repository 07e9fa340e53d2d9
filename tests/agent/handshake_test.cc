// Admission, negotiation and tunnels: what a client learns from the agent
// before any job, checked by the client's own response rows.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "agent/agent_fixture.h"

namespace kestrel::test {
namespace {

using Handshake = AgentTest;

std::string HelloReason(const Answer& answer) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(answer.payload.data());
    const uint8_t* reason = nullptr;
    uint32_t length = 0;
    if (ClassifyHelloAnswer(bytes, static_cast<uint32_t>(answer.payload.size()), reason, length) != HelloAnswer::Reject)
        return "(not a rejection: " + answer.payload + ")";
    return std::string(reinterpret_cast<const char*>(reason), length);
}

TEST_F(Handshake, NegotiatesWhatTheOptionsSay) {
    // Configured securely: on loopback only, or with clients named by --allow;
    // anything else is said at start-up.
    struct Case {
        std::vector<std::string> options;
        bool utf16;
        std::string separator;
        bool secure;
    };
    const Case cases[] = {
        {{}, false, "/", true},
        {{"--encoding", "utf-16le"}, true, "/", true},
        {{"--separator", "\\", "--encoding", "UTF-8", "--listen", "0.0.0.0:0"}, false, "\\", false},
        {{"--separator", "\\", "--encoding", "UTF-16LE", "--listen", "0.0.0.0:0", "--allow", "127.0.0.0/8"},
         true, "\\", true},
        {{"--listen", "0.0.0.0:0", "--allow", "10.1.0.0/16", "--allow", "0.0.0.0/0"}, false, "/", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        StopAgent();
        TempDir work;
        std::vector<std::string> options = {"--work-dir", work.path()};
        options.insert(options.end(), c.options.begin(), c.options.end());
        ASSERT_TRUE(agent.Start(options)) << agent.failure;
        WireClient client;
        ASSERT_EQ(client.Open(agent.port()), "");
        EXPECT_EQ(client.utf16(), c.utf16);
        EXPECT_EQ(client.encodingName(), c.utf16 ? "UTF-16LE" : "UTF-8");
        EXPECT_EQ(client.separator(), Encoded(c.separator, c.utf16));
        EXPECT_EQ(client.secure(), c.secure);
        const bool warned = agent.Errors().find("everyone who can reach this port can run commands as") != std::string::npos;
        EXPECT_EQ(warned, !c.secure) << agent.Errors();
        EXPECT_EQ(client.version().major, 0);
        EXPECT_EQ(client.version().minor, 1);
        EXPECT_EQ(client.version().build, 2024);
        // EndConnection is answered with a payload, so that it is no keep-alive.
        const Answer end = client.Request([](PayloadWriter& w) { BuildBareRequest(w, MessageType::EndConnection); });
        ASSERT_TRUE(end.ok) << end.failure;
        EXPECT_EQ(end.payload, std::string(4, '\0'));
    }
}

TEST_F(Handshake, AnotherSeparatorShapesPathsBothWays) {
    StartAgent({"--separator", "\\"});
    WireClient client;
    ASSERT_EQ(client.Open(agent.port()), "");
    ASSERT_EQ(StartJob(client, 1, 1).status(), 0u);
    ASSERT_EQ(StepStart(client, 1).status(), 0u);
    const CommandResult made = RunCommand(client, 1, "", {"sh", "-c", "mkdir -p a/b && echo deep > a/b/f.txt"});
    ASSERT_EQ(made.value, 0);
    // The working directory and the output paths are split at the machine's separator.
    const CommandResult inside = RunCommand(client, 1, "a\\b", {"cat", "f.txt"});
    EXPECT_EQ(inside.out, "deep\n");
    EXPECT_EQ(AddOutputs(client, 1, {"a/b/f.txt"}).status(), 7u) << "'/' is part of a name here";
    ASSERT_EQ(AddOutputs(client, 1, {"a", "a\\b", "a\\b\\f.txt"}).status(), 0u);
    TempDir fetched;
    const OutputResult output = FetchOutputs(client, 1, fetched.path());
    ASSERT_EQ(output.failure, "");
    EXPECT_EQ(ReadFile(fetched / "a/b/f.txt"), "deep\n");
    EXPECT_EQ(EndJob(client, 1).status(), 0u);
}

TEST_F(Handshake, RejectsWhatItDoesNotSpeakAndMoreThanItServes) {
    StartAgent({"--max-connections", "1"});
    WireClient first;
    ASSERT_EQ(first.Open(agent.port()), "");

    WireClient second;
    ASSERT_TRUE(second.Connect(agent.port()));
    EXPECT_EQ(HelloReason(second.Hello()), "The machine is serving too many connections");

    // Not our Hello: a reason, then the end of the connection.
    WireClient stranger;
    ASSERT_TRUE(stranger.Connect(agent.port()));
    const Answer answer = stranger.Raw("Kestrelvane Direct 9.9");
    ASSERT_TRUE(answer.ok) << answer.failure;
    EXPECT_EQ(HelloReason(answer), "This machine speaks Kestrelvane Direct 1.0");

    ASSERT_TRUE(first.Request([](PayloadWriter& w) { BuildBareRequest(w, MessageType::EndConnection); }).ok);
    // The place is free again once the agent has wound the first connection up.
    bool admitted = false;
    for (int attempt = 0; attempt < 500 && !admitted; ++attempt) {
        WireClient third;
        ASSERT_TRUE(third.Connect(agent.port()));
        admitted = third.Hello().payload == "accept";
        if (!admitted) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(admitted);
}

uint16_t ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

Checked Tunnel(WireClient& client, const std::string& url) {
    return CheckStatus(MessageType::Tunnel, client.Request([&](PayloadWriter& w) {
        BuildTunnel(w, url.data(), static_cast<uint32_t>(url.size()));
    }));
}

TEST_F(Handshake, TunnelsThroughAServerToAnAgent) {
    TempDir builderWork;
    AgentProcess builder;
    ASSERT_TRUE(builder.Start({"--work-dir", builderWork.path(), "--encoding", "UTF-16LE"})) << builder.failure;
    const uint16_t closed = ClosedPort();
    StartAgent({"--tunnel", "builder=127.0.0.1:" + std::to_string(builder.port()), "--tunnel",
                "kvi://gone=127.0.0.1:" + std::to_string(closed)});

    WireClient client;
    ASSERT_TRUE(client.Connect(agent.port()));
    ASSERT_EQ(client.Hello().payload, "accept");
    const Checked unknown = Tunnel(client, "kvi://nobody");
    EXPECT_EQ(unknown.fault, "");
    EXPECT_EQ(unknown.status(), 1u);
    EXPECT_EQ(Tunnel(client, "kv://builder").status(), 1u) << "only agent hops are tunnelled";
    const Checked refused = Tunnel(client, "kvi://gone");
    EXPECT_EQ(refused.fault, "");
    EXPECT_EQ(refused.status(), 4u);
    EXPECT_EQ(refused.response.errorCode, static_cast<uint32_t>(ECONNREFUSED));
    EXPECT_NE(refused.text.find("Cannot connect to 127.0.0.1:" + std::to_string(closed)), std::string::npos) << refused.text;

    const Checked open = Tunnel(client, "kvi://builder");
    ASSERT_EQ(open.fault, "");
    ASSERT_EQ(open.status(), 0u);
    // The peer's socket address as the socket layer keeps it.
    ASSERT_EQ(open.text.size(), sizeof(sockaddr_in));
    sockaddr_in peer;
    std::memcpy(&peer, open.text.data(), sizeof peer);
    EXPECT_EQ(peer.sin_family, AF_INET);
    EXPECT_EQ(ntohs(peer.sin_port), builder.port());
    EXPECT_EQ(ntohl(peer.sin_addr.s_addr), INADDR_LOOPBACK);

    // From here on the stream reaches the builder, which the server has
    // already asked to admit the connection: its encoding, its jobs.
    ASSERT_EQ(client.Negotiate(), "");
    EXPECT_TRUE(client.utf16());
    ASSERT_EQ(StartJob(client, 1, 1).status(), 0u);
    ASSERT_EQ(StepStart(client, 1).status(), 0u);
    EXPECT_EQ(RunCommand(client, 1, "", {"echo", "through"}).out, "through\n");
    EXPECT_EQ(EndJob(client, 1).status(), 0u);
    ASSERT_TRUE(client.Request([](PayloadWriter& w) { BuildBareRequest(w, MessageType::EndConnection); }).ok);
    client.Close();

    // A tunnel is asked for before anything else, or not at all.
    WireClient late;
    ASSERT_EQ(late.Open(agent.port()), "");
    EXPECT_EQ(Tunnel(late, "kvi://builder").status(), 3u);
    EXPECT_EQ(builder.Stop(), 0);
    EXPECT_EQ(builder.Errors().find("Sanitizer"), std::string::npos) << builder.Errors();
}

}  // namespace
}  // namespace kestrel::test
