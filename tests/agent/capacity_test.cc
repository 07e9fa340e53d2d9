// The machine's capacity: a job that does not fit waits with StartJob
// status 8, Poll tells how much is free, and ended jobs and dropped
// connections give their share back.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "agent/agent_fixture.h"

namespace kestrel::test {
namespace {

using Capacity = AgentTest;

// The capacity events of one Poll, as [code, n] pairs.
std::vector<std::pair<uint8_t, uint8_t>> CapacityEvents(WireClient& client) {
    std::vector<std::pair<uint8_t, uint8_t>> events;
    const PollResult poll = Poll(client);
    EXPECT_EQ(poll.fault, nullptr);
    for (const PolledEvent& event : poll.events) {
        if (event.code == kPollCapacityUnits || event.code == kPollCapacityBlocks)
            events.emplace_back(event.code, event.capacity);
    }
    return events;
}

using Events = std::vector<std::pair<uint8_t, uint8_t>>;

// Polls answered at once, as a machine that holds none would.
TEST_F(Capacity, AJobWaitsUntilAnotherGivesItsShareBack) {
    StartAgent({"--capacity", "256", "--poll-hold-ms", "0"});
    auto a = OpenClient();
    auto b = OpenClient();

    ASSERT_EQ(StartJob(*a, 1, 0).status(), 0u) << "factor 0 takes the whole machine";
    const Checked refused = StartJob(*b, 1, 128);
    EXPECT_EQ(refused.fault, "");
    EXPECT_EQ(refused.status(), 8u);
    EXPECT_EQ(CapacityEvents(*b), (Events{{kPollCapacityUnits, 0}}));
    // A Poll without a waiting job says nothing about capacity, and never nothing at all.
    const PollResult idle = Poll(*a);
    ASSERT_EQ(idle.events.size(), 1u);
    EXPECT_EQ(idle.events[0].code, kPollStillRunning);

    ASSERT_EQ(StartJob(*a, 2, 1).status(), 8u);
    ASSERT_EQ(EndJob(*a, 1).status(), 0u);
    EXPECT_EQ(CapacityEvents(*b), (Events{{kPollCapacityBlocks, 1}}));
    ASSERT_EQ(StartJob(*b, 1, 128).status(), 0u) << "the same job ID once capacity is there";
    EXPECT_EQ(CapacityEvents(*b), Events{}) << "no job waits any more";
    EXPECT_EQ(CapacityEvents(*a), (Events{{kPollCapacityUnits, 128}}));
    ASSERT_EQ(StartJob(*a, 2, 1).status(), 0u);

    // A connection that drops without ending its jobs releases them too.
    auto c = OpenClient();
    ASSERT_EQ(StartJob(*c, 7, 0).status(), 8u);
    ASSERT_EQ(EndJob(*a, 2).status(), 0u);
    b->Close();
    Events seen;
    for (int attempt = 0; attempt < 1000 && seen != Events{{kPollCapacityBlocks, 1}}; ++attempt) {
        seen = CapacityEvents(*c);
        if (seen != Events{{kPollCapacityBlocks, 1}}) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(seen, (Events{{kPollCapacityBlocks, 1}}));
    EXPECT_EQ(StartJob(*c, 7, 0).status(), 0u);
    EXPECT_EQ(EndJob(*c, 7).status(), 0u);
}

TEST_F(Capacity, LargeMachinesCountInBlocksOf256) {
    StartAgent({"--capacity", "1000", "--poll-hold-ms", "0"});
    auto client = OpenClient();
    ASSERT_EQ(StartJob(*client, 1, 0).status(), 0u);
    ASSERT_EQ(StartJob(*client, 2, 0).status(), 0u);
    ASSERT_EQ(StartJob(*client, 3, 0).status(), 0u);
    ASSERT_EQ(StartJob(*client, 4, 250).status(), 8u) << "232 units are left";
    EXPECT_EQ(CapacityEvents(*client), (Events{{kPollCapacityUnits, 232}}));
    ASSERT_EQ(EndJob(*client, 1).status(), 0u);
    EXPECT_EQ(CapacityEvents(*client), (Events{{kPollCapacityBlocks, 1}}));
}

// A Poll of a waiting job is held until room frees; freed room is set aside
// for held waiters in turn, as much as each needs, and stays theirs until
// their StartJob or their next other request.
TEST_F(Capacity, HeldPollsAreGivenFreedRoomInTurn) {
    StartAgent({"--capacity", "256", "--verbose"});
    auto owner = OpenClient();
    auto first = OpenClient();
    auto second = OpenClient();
    ASSERT_EQ(StartJob(*owner, 1, 0).status(), 0u);
    ASSERT_EQ(StartJob(*first, 1, 128).status(), 8u);
    ASSERT_EQ(StartJob(*second, 1, 128).status(), 8u);
    Events toFirst, toSecond;
    std::thread pollFirst([&] { toFirst = CapacityEvents(*first); });
    ASSERT_TRUE(WaitUntil([this] { return CountOf(agent.Errors(), "a Poll waits for 128 units") == 1; }));
    std::thread pollSecond([&] { toSecond = CapacityEvents(*second); });
    ASSERT_TRUE(WaitUntil([this] { return CountOf(agent.Errors(), "a Poll waits for 128 units") == 2; }));

    ASSERT_EQ(EndJob(*owner, 1).status(), 0u);
    pollFirst.join();
    pollSecond.join();
    // Each is told of the room set aside for it; none is left for anyone else.
    EXPECT_EQ(toFirst, (Events{{kPollCapacityUnits, 128}}));
    EXPECT_EQ(toSecond, (Events{{kPollCapacityUnits, 128}}));
    EXPECT_EQ(StartJob(*owner, 2, 1).status(), 8u);
    EXPECT_EQ(StartJob(*first, 1, 128).status(), 0u) << "the room set aside starts the job";
    // Another request gives the room back; the connection's end gives back what is left.
    EXPECT_EQ(second->Negotiate(), "");
    EXPECT_EQ(StartJob(*owner, 2, 1).status(), 0u);
    second->Close();
    EXPECT_EQ(EndJob(*first, 1).status(), 0u);
    EXPECT_EQ(EndJob(*owner, 2).status(), 0u);
    EXPECT_EQ(StartJob(*first, 2, 0).status(), 0u) << "the whole machine is free again";
}

}  // namespace
}  // namespace kestrel::test
