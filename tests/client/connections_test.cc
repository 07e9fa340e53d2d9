// Connections against real kestrel-agent processes on loopback: the
// handshake in both encodings, tunnels through server agents, admission, and
// the preparation failures, each seen in the connection log the run hands
// over.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "agent/agent_process.h"
#include "client/run_harness.h"
#include "support/test_support.h"

namespace kestrel::test {
namespace {

using Records = std::vector<std::string>;

using Agents = TestAgents;

std::string Url(const AgentProcess& agent) { return "kv://127.0.0.1:" + std::to_string(agent.port()); }

// A job with one command that succeeds, on a machine of the given paths.
std::string OneJobScript(const std::vector<std::vector<std::string>>& paths) {
    std::string script = "machine m\n";
    for (const auto& path : paths) {
        script += "    path\n";
        for (const std::string& hop : path) script += "        " + hop + "\n";
    }
    script += "job main\n    machine\n        m\n    command break on error\n        true\n";
    return script;
}

RunResult RunScript(TempDir& dir, const std::string& script, const RunOptions& options = {}) {
    WriteFile(dir / "build.kv", script);
    RunResult run = RunClientInProcess(dir.path(), "build.kv", options);
    EXPECT_EQ(run.schemaErrors, "") << run.buildLog;
    return run;
}

const Records kJobRecords = {"StartJob 1 status 0 job main", "StepStart 1 status 0", "Execute 1 |true status 0",
                             "EndJob 1 status 0 failed 0"};

Records Concat(Records head, const Records& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

struct EncodingCase {
    const char* name;
    std::vector<std::string> agentArguments;
    bool utf16;
};

void PrintTo(const EncodingCase& c, std::ostream* out) { *out << c.name; }

class HandshakeTest : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(HandshakeTest, NegotiatesAndRunsAJob) {
    Agents agents;
    AgentProcess agent;
    ASSERT_TRUE(agents.Start(agent, GetParam().agentArguments)) << agent.failure;
    TempDir dir;
    const RunResult run = RunScript(dir, OneJobScript({{Url(agent)}}));
    ASSERT_TRUE(run.started) << run.startMessage;
    EXPECT_FALSE(run.jobFailed);
    EXPECT_FALSE(run.protocolFailureSeen);
    ASSERT_EQ(run.logs.size(), 1u);
    EXPECT_EQ(run.logs[0].utf16, GetParam().utf16);
    EXPECT_EQ(run.logs[0].readResult, "done");
    EXPECT_EQ(run.logs[0].WithoutPolls(),
              Concat({"machine m PathID 0", "hop " + Url(agent) + " kind 0 address 16", "version 0.1.2024.0"},
                     kJobRecords));
}

INSTANTIATE_TEST_SUITE_P(Encodings, HandshakeTest,
                         ::testing::Values(EncodingCase{"Utf8", {}, false},
                                           EncodingCase{"Utf16", {"--encoding", "UTF-16LE"}, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TunnelTest, ReachesAnAgentThroughOneAndTwoServers) {
    Agents agents;
    AgentProcess last, middle, first;
    ASSERT_TRUE(agents.Start(last, {"--encoding", "UTF-16LE"})) << last.failure;
    ASSERT_TRUE(agents.Start(middle, {"--tunnel", "last=127.0.0.1:" + std::to_string(last.port())})) << middle.failure;
    ASSERT_TRUE(agents.Start(first, {"--tunnel", "middle=127.0.0.1:" + std::to_string(middle.port())}))
        << first.failure;

    TempDir one;
    RunResult run = RunScript(one, OneJobScript({{Url(middle), "kvi://last"}}));
    ASSERT_EQ(run.logs.size(), 1u);
    EXPECT_FALSE(run.jobFailed);
    EXPECT_TRUE(run.logs[0].utf16);
    EXPECT_EQ(run.logs[0].WithoutPolls(),
              Concat({"machine m PathID 0", "hop " + Url(middle) + " kind 0 address 16", "hop kvi://last kind 0 address 16",
                      "version 0.1.2024.0"},
                     kJobRecords));

    TempDir two;
    run = RunScript(two, OneJobScript({{Url(first), "kvi://middle", "kvi://last"}}));
    ASSERT_EQ(run.logs.size(), 1u);
    EXPECT_FALSE(run.jobFailed);
    EXPECT_EQ(run.logs[0].WithoutPolls(),
              Concat({"machine m PathID 0", "hop " + Url(first) + " kind 0 address 16",
                      "hop kvi://middle kind 0 address 16", "hop kvi://last kind 0 address 16", "version 0.1.2024.0"},
                     kJobRecords));
}

// Failures before any job could start: the run still ends, the job fails,
// and the log says what happened, with nothing but the failure after it.
struct AdmissionCase {
    const char* name;
    std::vector<std::string> agentArguments;
    std::vector<std::string> extraHops;  // after the first
    Records tail;                        // records after the header and the first hop
    bool protocolFailureSeen;
};

void PrintTo(const AdmissionCase& c, std::ostream* out) { *out << c.name; }

class AdmissionTest : public ::testing::TestWithParam<AdmissionCase> {};

TEST_P(AdmissionTest, FailsTheJobAndRecordsWhy) {
    const AdmissionCase& c = GetParam();
    Agents agents;
    AgentProcess agent;
    ASSERT_TRUE(agents.Start(agent, c.agentArguments)) << agent.failure;
    std::vector<std::string> path = {Url(agent)};
    path.insert(path.end(), c.extraHops.begin(), c.extraHops.end());
    TempDir dir;
    const RunResult run = RunScript(dir, OneJobScript({path}));
    ASSERT_TRUE(run.started) << run.startMessage;
    EXPECT_TRUE(run.jobFailed);
    EXPECT_EQ(run.protocolFailureSeen, c.protocolFailureSeen);
    ASSERT_EQ(run.logs.size(), 1u);
    EXPECT_EQ(run.logs[0].readResult, "done");
    Records expected = {"machine m PathID 0", "hop " + Url(agent) + " kind 0 address 16"};
    for (std::string record : c.tail) {
        if (const size_t at = record.find("URL"); at != std::string::npos) record.replace(at, 3, Url(agent));
        expected.push_back(record);
    }
    EXPECT_EQ(run.logs[0].WithoutPolls(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AdmissionTest,
    ::testing::Values(
        AdmissionCase{"Reject", {"--test-reject", "too many builds today"}, {}, {"protocol error 0 too many builds today"},
                      false},
        AdmissionCase{"RecalculateThreeTimes", {"--test-recalculate", "3"}, {"kvi://nowhere"},
                      {"hop kvi://nowhere kind 1"}, false},
        AdmissionCase{"RecalculateTooOften",
                      {"--test-recalculate", "101"},
                      {},
                      {"connection error 0 The machine URL is too busy to accept connections"},
                      false},
        AdmissionCase{"UnknownTunnelName", {}, {"kvi://nowhere"}, {"hop kvi://nowhere kind 1"}, false},
        AdmissionCase{"CorruptVersion", {"--test-corrupt", "version"}, {}, {"protocol error 0 Version response from URL corrupt"},
                      true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RecalculationTest, AHundredTimesStillConnects) {
    Agents agents;
    AgentProcess agent;
    ASSERT_TRUE(agents.Start(agent, {"--test-recalculate", "100"})) << agent.failure;
    TempDir dir;
    const RunResult run = RunScript(dir, OneJobScript({{Url(agent)}}));
    EXPECT_FALSE(run.jobFailed);
    ASSERT_EQ(run.logs.size(), 1u);
    EXPECT_EQ(run.logs[0].WithoutPolls().back(), "EndJob 1 status 0 failed 0");
}

// Preparation failures: the first hop's record carries the failure.
struct PreparationCase {
    const char* name;
    std::string hop;
    std::string record;  // the first hop's record
};

void PrintTo(const PreparationCase& c, std::ostream* out) { *out << c.name; }

class PreparationFailureTest : public ::testing::TestWithParam<PreparationCase> {};

TEST_P(PreparationFailureTest, FailsTheJobWithTheStatusMessage) {
    const PreparationCase& c = GetParam();
    TempDir dir;
    std::string hop = c.hop;
    if (hop.find("PORT") != std::string::npos) {
        // A port nothing listens on: an agent that has just gone.
        Agents agents;
        AgentProcess gone;
        ASSERT_TRUE(agents.Start(gone, {})) << gone.failure;
        hop.replace(hop.find("PORT"), 4, std::to_string(gone.port()));
        gone.Stop();
    }
    const RunResult run = RunScript(dir, "machine m\n    path\n        " + hop +
                                       "\njob main\n    machine\n        m\n    command break on error\n        true\n");
    ASSERT_TRUE(run.started) << run.startMessage;
    EXPECT_TRUE(run.jobFailed);
    ASSERT_EQ(run.logs.size(), 1u);
    const Records records = run.logs[0].WithoutPolls();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].rfind(c.record, 0), 0u) << records[1];
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, PreparationFailureTest,
    ::testing::Values(
        PreparationCase{"UnresolvableName", "kv://no-such-host.invalid", "hop kv://no-such-host.invalid kind 4 code "},
        PreparationCase{"RefusedPort", "kv://127.0.0.1:PORT", "hop kv://127.0.0.1:"},
        PreparationCase{"AgentFirst", "kvi://builder",
                        "hop kvi://builder kind 4 code 0 Cannot connect directly to an agent; a connection must be "
                        "made through a server"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RefusedPortTest, SaysCannotConnect) {
    Agents agents;
    AgentProcess gone;
    ASSERT_TRUE(agents.Start(gone, {})) << gone.failure;
    const std::string url = Url(gone);
    gone.Stop();
    TempDir dir;
    const RunResult run = RunScript(dir, OneJobScript({{url}}));
    ASSERT_EQ(run.logs.size(), 1u);
    const Records records = run.logs[0].WithoutPolls();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_NE(records[1].find(" kind 4 code 111 Cannot connect"), std::string::npos) << records[1];
}

}  // namespace
}  // namespace kestrel::test
