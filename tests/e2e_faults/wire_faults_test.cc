// The standard job against an agent that breaks the conversation: it closes
// the connection at each request in turn, corrupts the answer to each
// request type, answers with another connection id or sequence, or answers
// later than the client waits. A malformed answer or a wrong connection id
// ends the run in a panic report; every other fault fails the job, and the
// run still ends with its build log.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "agent/agent_process.h"
#include "e2e_faults/fault_run.h"

namespace kestrel::test {
namespace {

constexpr int kEndConnection = 6;
constexpr char kTerminated[] = "Machine {0} immediately terminated the connection";
constexpr char kCorruptOutput[] = "Add output response from {0} corrupt";

class WireFaultTest : public FaultRunTest {
protected:
    // One run of the standard job against an agent with `faults`.
    ProcessResult RunWith(const std::vector<std::string>& faults, const StandardJob& job = {}) {
        ClearRunFiles();
        if (!RestartAgent(faults)) return {};
        WriteStandardScript(job);
        return RunClient();
    }
};

TEST_F(WireFaultTest, TheAgentClosingAtEachRequestFailsTheJob) {
    std::set<int> closedAt;
    std::set<int> sent;
    std::vector<int> complete;  // the requests of a run that was not cut off
    // What a run cut off after `types` must end in.
    const auto expectCut = [&](const ProcessResult& run, const std::vector<int>& types) {
        const std::string failure = WithUrl(kTerminated, Url());
        closedAt.insert(types.back());
        if (types.back() == kEndConnection) {
            // The job had ended; only the goodbye went unanswered.
            ExpectedEnd end = JobFailed(failure);
            end.lines = {"The job main succeeded", end.lines[0], "All jobs successfully completed"};
            ExpectEnd(run, end);
        } else {
            ExpectEnd(run, JobFailed(failure));
        }
    };
    // Runs the job with the agent closing at request k and returns the
    // requests that were sent; fewer than k when nothing was closed.
    const auto closingAt = [&](uint32_t k) {
        SCOPED_TRACE("closed at request " + std::to_string(k));
        ClearRunFiles();
        if (!RestartAgent({"--test-close-at", std::to_string(k)})) return std::vector<int>{};
        WireRelay& wire = NewRelay();
        StartRelay();
        WriteStandardScript();
        const ProcessResult run = RunClient();
        const std::vector<int> types = wire.RequestTypes();
        sent.insert(types.begin(), types.end());
        if (types.size() < k) {
            complete = types;
            ExpectEnd(run, Succeeded());
            EXPECT_EQ(ReadFile(At("out/result.txt")), "hello\n");
            EXPECT_EQ(ReadFile(At("out/data.bin")), ReadFile(At("in/data.bin")));
            // The environment edits and the development environment reached the command.
            EXPECT_NE(ReadFile(At("build_log.xml")).find("second-out fault one,:,two from-tools"), std::string::npos);
            return types;
        }
        EXPECT_EQ(types.size(), k) << "nothing follows the request the agent closed at";
        expectCut(run, types);
        return types;
    };
    uint32_t k = 1;
    while (k <= 200 && closingAt(k).size() == k) ++k;
    ASSERT_FALSE(complete.empty());
    // The number of polls varies from run to run, so a kind of request may
    // never have stood at the index the agent closed at: those are cut off
    // on the wire at their first occurrence instead, which the client sees
    // the same way.
    for (const int type : std::set<int>(sent)) {
        if (closedAt.count(type) != 0) continue;
        SCOPED_TRACE("cut at the first request of type " + std::to_string(type));
        ClearRunFiles();
        ASSERT_TRUE(RestartAgent({}));
        WireRelay& wire = NewRelay();
        wire.CutAtRequest(type, 1);
        StartRelay();
        WriteStandardScript();
        const ProcessResult run = RunClient();
        const std::vector<int> types = wire.RequestTypes();
        ASSERT_FALSE(types.empty());
        EXPECT_EQ(types.back(), type);
        expectCut(run, types);
    }
    // Every kind of request the job makes was the one cut off at least once.
    EXPECT_EQ(closedAt, sent);
    EXPECT_GE(sent.size(), 17u) << ::testing::PrintToString(sent);
}

// Every request type of the standard job, with what the client says when
// its answer breaks the layout.
struct RequestCase {
    const char* type;
    const char* corrupt;  // "": any answer will do
    bool resetting;       // the job whose output list is reset
};
constexpr RequestCase kRequestCases[] = {
    {"hello", "The machine {0} sent an unexpected response", false},
    {"encoding", "Corrupt encoding response from {0}", false},
    {"separators", "Corrupt separators response from {0}", false},
    {"capabilities", "Capabilities response from {0} too short", false},
    {"version", "Version response from {0} corrupt", false},
    {"start-job", "Start job response from {0} corrupt", false},
    {"set-development-environment", "Set development environment response from {0} corrupt", false},
    {"replace-environment", "Replace environment response from {0} corrupt", false},
    {"prefix-environment", "Prefix environment response from {0} corrupt", false},
    {"suffix-environment", "Suffix environment response from {0} corrupt", false},
    {"input-write", "Input write response from {0} corrupt", false},
    {"step-start", "Step start response from {0} corrupt", false},
    {"execute", "Execute response from {0} corrupt", false},
    {"poll", "Poll response from {0} corrupt", false},
    {"add-output", kCorruptOutput, false},
    {"output-reset", kCorruptOutput, true},
    {"output-transfer", kCorruptOutput, false},
    {"end-job", "End job response from {0} corrupt", false},
    {"end-connection", "", false},
};

StandardJob JobFor(const RequestCase& c) {
    StandardJob job;
    job.missingOutput = c.resetting;
    return job;
}

bool IsGoodbye(const RequestCase& c) { return std::string(c.type) == "end-connection"; }

TEST_F(WireFaultTest, AMalformedAnswerToAnyRequestEndsTheRunInAPanicReport) {
    for (const RequestCase& c : kRequestCases) {
        SCOPED_TRACE(c.type);
        const ProcessResult run = RunWith({"--test-corrupt", c.type}, JobFor(c));
        // Any answer to the goodbye will do.
        ExpectEnd(run, IsGoodbye(c) ? Succeeded() : ProtocolPanic(WithUrl(c.corrupt, Url())));
    }

    // Without the fault the resetting job sends OutputReset and fails on its missing output.
    StandardJob resetting;
    resetting.missingOutput = true;
    const ProcessResult plain = RunWith({}, resetting);
    ExpectedEnd failed;
    failed.lines = {"The job main failed", "At least one job failed"};
    ExpectEnd(plain, failed);
    EXPECT_NE(ReadFile(At("build_log.xml")).find("out/missing.txt"), std::string::npos);
}

TEST_F(WireFaultTest, AMalformedTunnelAnswerEndsTheRunInAPanicReport) {
    TempDir innerWork;
    AgentProcess inner;
    ASSERT_TRUE(inner.Start({"--work-dir", innerWork.path()})) << inner.failure;
    servers = {inner.pid()};
    ASSERT_TRUE(RestartAgent({"--tunnel", "builder=127.0.0.1:" + std::to_string(inner.port()), "--test-corrupt",
                              "tunnel"}));
    WriteStandardScript({}, {Url(), "kvi://builder"});
    const ProcessResult run = RunClient();
    ExpectEnd(run, ProtocolPanic(WithUrl("Tunnel response from {0} corrupt", Url())));
    EXPECT_EQ(inner.Stop(), 0) << inner.Errors();
}

TEST_F(WireFaultTest, AWrongConnectionIdPanicsAndAWrongSequenceFailsTheJob) {
    for (const RequestCase& c : kRequestCases) {
        SCOPED_TRACE(c.type);
        // The framing is checked before the answer is read: the goodbye's too,
        // after the job has ended.
        const std::vector<std::string> ended =
            IsGoodbye(c) ? std::vector<std::string>{"The job main succeeded"} : std::vector<std::string>{};
        const ProcessResult wrongId = RunWith({"--test-wrong-id", c.type}, JobFor(c));
        ExpectedEnd panic = ProtocolPanic(WithUrl("The machine {0} sent an invalid response", Url()));
        panic.lines.insert(panic.lines.begin(), ended.begin(), ended.end());
        ExpectEnd(wrongId, panic);
        const ProcessResult wrongSequence = RunWith({"--test-wrong-sequence", c.type}, JobFor(c));
        ExpectedEnd failed = JobFailed("Unexpected sequence received", "protocol");
        if (IsGoodbye(c)) failed.lines = {ended[0], failed.lines[0], "All jobs successfully completed"};
        ExpectEnd(wrongSequence, failed);
    }
}

TEST_F(WireFaultTest, AnAnswerLaterThanTheTimeOutFailsTheJob) {
    // The test program waits two seconds instead of ninety.
    binary = KESTREL_QUICK_TIMEOUTS_BINARY;
    for (const char* type : {"input-write", "poll", "output-transfer"}) {
        SCOPED_TRACE(type);
        // No keep-alive comes within the delay to hold the request open.
        const ProcessResult run =
            RunWith({"--keep-alive-ms", "60000", "--test-delay", std::string(type) + ":3000"});
        ExpectEnd(run, JobFailed(WithUrl("Connection to {0} timed out", Url())));
    }
}

}  // namespace
}  // namespace kestrel::test
