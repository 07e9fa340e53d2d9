// The agent's test faults, each seen the way the client sees it: the
// messages of its protocol layer, and where the layer hides a fault by
// design (keep-alives), the bytes on the socket and the agent's log.
#include <gtest/gtest.h>

#include <set>

#include "agent/agent_fixture.h"
#include "client/wire.h"

namespace kestrel::test {
namespace {

using Faults = AgentTest;

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

Answer Bare(WireClient& client, MessageType type) {
    return client.Request([type](PayloadWriter& w) { BuildBareRequest(w, type); });
}

TEST_F(Faults, RejectAndRecalculateShapeTheAdmission) {
    StartAgent({"--test-reject", "closed for maintenance"});
    WireClient rejected;
    ASSERT_TRUE(rejected.Connect(agent.port()));
    EXPECT_EQ(rejected.Hello().payload, "reject\nclosed for maintenance");
    StopAgent();

    StartAgent({"--test-recalculate", "3"});
    WireClient client;
    ASSERT_TRUE(client.Connect(agent.port()));
    std::set<uint32_t> ids;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(client.Hello().payload, "recalculate");
        ids.insert(client.connection().protocol.connectionId);
    }
    EXPECT_EQ(client.Hello().payload, "accept");
    ids.insert(client.connection().protocol.connectionId);
    EXPECT_EQ(ids.size(), 4u) << "every Hello came with a new connection id";
    EXPECT_EQ(client.Negotiate(), "") << "the last connection id is the one in force";
}

TEST_F(Faults, KeepAliveOfTheRequestIsEchoedAndAStaleOneIsNot) {
    StartAgent({"--test-keep-alive", "version:current", "--test-keep-alive", "separators:stale"});
    auto client = OpenClient();
    ASSERT_TRUE(Bare(*client, MessageType::EndConnection).ok);
    client->Close();
    // The agent waits for the echo of its keep-alive before it answers, and logs it.
    StopAgent();
    EXPECT_EQ(Count(agent.Errors(), "keep-alive echo"), 1u) << agent.Errors();

    StartAgent({"--test-keep-alive", "version:stale"});
    RawPeer peer(agent.port());
    peer.Send(0, "Kestrelvane Direct 1.0");
    MessageHeader header;
    ASSERT_EQ(peer.Read(header), "accept");
    peer.Send(7, std::string(1, static_cast<char>(MessageType::Version)));
    ASSERT_EQ(peer.Read(header), "");
    EXPECT_EQ(header.length, 8u);
    EXPECT_EQ(header.sequence, 6u) << "an earlier request's sequence";
    EXPECT_EQ(peer.Read(header).size(), 10u);
    EXPECT_EQ(header.sequence, 7u);
}

TEST_F(Faults, ADelayedAnswerComesWithKeepAlives) {
    StartAgent({"--test-delay", "poll:400", "--keep-alive-ms", "50"});
    auto client = OpenClient();
    const PollResult poll = Poll(*client);
    ASSERT_EQ(poll.fault, nullptr) << poll.answer.failure;
    ASSERT_EQ(poll.events.size(), 1u);
    EXPECT_EQ(poll.events[0].code, kPollStillRunning);
    ASSERT_TRUE(Bare(*client, MessageType::EndConnection).ok);
    client->Close();
    StopAgent();
    // Seven keep-alives go out during the delay; a busy client may take one
    // together with the next and drop it, but not all of them.
    EXPECT_GE(Count(agent.Errors(), "keep-alive echo"), 1u) << agent.Errors();
}

TEST_F(Faults, CorruptAnswersBreakTheirRows) {
    struct Case {
        const char* kind;
        std::function<std::string(WireClient&)> exchange;
        const char* message;
    };
    const auto negotiation = [](WireClient& client) { return client.Negotiate(); };
    const Case cases[] = {
        {"encoding", negotiation, kEncodingCorrupt},
        {"separators", negotiation, kSeparatorsCorrupt},
        {"capabilities", negotiation, kCapabilitiesTooShort},
        {"version", negotiation, kVersionCorrupt},
        {"poll",
         [](WireClient& c) {
             const PollResult poll = Poll(c);
             return poll.fault != nullptr ? Shown(poll.fault) : std::string();
         },
         kPollCorrupt},
        {"start-job", [](WireClient& c) { return StartJob(c, 1, 1).fault; }, kStartJobCorrupt},
        {"end-job", [](WireClient& c) { return EndJob(c, 1).fault; }, kEndJobCorrupt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        StopAgent();
        StartAgent({"--test-corrupt", c.kind});
        WireClient client;
        ASSERT_TRUE(client.Connect(agent.port()));
        ASSERT_EQ(client.Hello().payload, "accept");
        if (std::string(c.kind) == "poll" || std::string(c.kind) == "start-job" || std::string(c.kind) == "end-job") {
            ASSERT_EQ(client.Negotiate(), "");
        }
        EXPECT_EQ(c.exchange(client), Shown(c.message));
    }

    StopAgent();
    StartAgent({"--test-corrupt", "hello"});
    WireClient client;
    ASSERT_TRUE(client.Connect(agent.port()));
    const Answer hello = client.Hello();
    const uint8_t* reason = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(ClassifyHelloAnswer(reinterpret_cast<const uint8_t*>(hello.payload.data()),
                                  static_cast<uint32_t>(hello.payload.size()), reason, length),
              HelloAnswer::Unexpected);
}

TEST_F(Faults, WrongHeadersAndAnEarlyCloseFailTheConnection) {
    StartAgent({"--test-wrong-id", "encoding"});
    WireClient wrongId;
    ASSERT_TRUE(wrongId.Connect(agent.port()));
    ASSERT_EQ(wrongId.Hello().payload, "accept");
    EXPECT_EQ(wrongId.Negotiate(), Shown(kInvalidResponse));
    EXPECT_TRUE(wrongId.protocolFailureSeen()) << "a wrong connection id marks the run";
    StopAgent();

    StartAgent({"--test-wrong-sequence", "capabilities"});
    WireClient wrongSequence;
    ASSERT_TRUE(wrongSequence.Connect(agent.port()));
    ASSERT_EQ(wrongSequence.Hello().payload, "accept");
    EXPECT_EQ(wrongSequence.Negotiate(), kUnexpectedSequence);
    EXPECT_FALSE(wrongSequence.protocolFailureSeen());
    StopAgent();

    StartAgent({"--test-close-at", "3"});
    WireClient closed;
    ASSERT_TRUE(closed.Connect(agent.port()));
    ASSERT_EQ(closed.Hello().payload, "accept");
    EXPECT_EQ(closed.Negotiate(), Shown(kMachineTerminated)) << "Encoding and Separators are answered, not Capabilities";
}

}  // namespace
}  // namespace kestrel::test
