// Polling while a command runs: the waits between Polls grow along the
// back-off (1 ms, 10 ms, 100 ms, 1 s, 2 s, 3 s, 5 s, then 10 s) while nothing
// happens, and start again from the first once something did.
#include <chrono>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "e2e/wire_relay.h"

namespace kestrel::test {
namespace {

constexpr int kPoll = 26;

class PollingTest : public EndToEndTest {};

TEST_F(PollingTest, WaitsGrowWhileNothingHappensAndStartAgainAfterward) {
    // The agent answers every Poll at once, so the gaps are the client's waits.
    StartAgent({"--poll-hold-ms", "0"});
    NewRelay();
    StartRelay();
    JobSpec job;
    job.commands = {Shell("sleep 7"), Shell("sleep 1")};
    const ProcessResult run = RunJobs({job});
    EXPECT_EQ(run.out, PlainOutput({"The job main succeeded", "All jobs successfully completed"})) << run.err;

    const std::vector<WireMessage> polls = relay->Requests(kPoll);
    std::vector<double> gaps;
    for (size_t i = 1; i < polls.size(); ++i)
        gaps.push_back(std::chrono::duration<double>(polls[i].time - polls[i - 1].time).count());
    // Without the back-off there would be thousands of Polls in 8 seconds.
    EXPECT_LT(polls.size(), 25u) << ::testing::PrintToString(gaps);
    // The waits can only be longer than asked, never shorter: during the
    // first sleep they reach 3 s after 1 ms, 10 ms, 100 ms, 1 s and 2 s.
    const std::vector<double> backOff = {0.001, 0.01, 0.1, 1.0, 2.0, 3.0};
    ASSERT_GE(gaps.size(), backOff.size());
    for (size_t i = 0; i < backOff.size(); ++i) EXPECT_GE(gaps[i], backOff[i] * 0.99) << "wait " << i;
    // The second command started after the first ended: its Polls begin with
    // the shortest wait again, so some gap after the longest is short.
    size_t longest = 0;
    for (size_t i = 0; i < gaps.size(); ++i)
        if (gaps[i] > gaps[longest]) longest = i;
    bool restarted = false;
    for (size_t i = longest + 1; i < gaps.size(); ++i) restarted = restarted || gaps[i] < 0.5;
    EXPECT_TRUE(restarted) << ::testing::PrintToString(gaps);
}

}  // namespace
}  // namespace kestrel::test
