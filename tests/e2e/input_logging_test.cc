// What the connection log keeps of an input transfer: one InputWrite record
// per acknowledged piece, the machine's refusal with its code and text, and
// the job file and input archive failure records with their fields. The
// logs are read back from the panic report of a run whose EndJob answer is
// made malformed, so that they outlive the run.

#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "agent/agent_fixture.h"
#include "e2e/input_checks.h"

namespace kestrel::test {
namespace {

constexpr int kEndJob = 5;
constexpr uint8_t kStepStart = 7;
constexpr uint8_t kInputWrite = 12;
constexpr uint8_t kJobFileFailure = 0xFB;
constexpr uint8_t kInputArchiveFailure = 0xFA;
constexpr uint32_t kNoSuchFile = 2;

std::string U32(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>(value >> (8 * i));
    return bytes;
}

class InputLoggingTest : public EndToEndTest {
protected:
    // Runs `job` through a relay prepared by `arrange`; the EndJob answer
    // ends the run in a panic report.
    LoggedRun Logged(const JobSpec& job, const std::function<void(WireRelay&)>& arrange) {
        WireRelay& wire = NewRelay();
        arrange(wire);
        wire.ReplaceResponse(kEndJob, 1, U32(9));
        StartRelay();
        RemoveTree(At("panic.bin"));
        const ProcessResult run = RunJobs({job});
        EXPECT_EQ(run.exitCode, 2) << run.out << run.err;
        pieces = static_cast<uint32_t>(PieceSizes(wire).size());
        const std::string scratch = results / ("panic" + std::to_string(++runs));
        return LogsOfPanic(work.path(), scratch);
    }

    JobSpec JobOf(const std::vector<std::string>& inputs) {
        JobSpec job;
        job.inputs = inputs;
        job.commands = {Shell("true")};
        return job;
    }

    uint32_t pieces = 0;
    int runs = 0;
};

TEST_F(InputLoggingTest, EveryAcknowledgedPieceIsARecordAndTheStepStartFollows) {
    StartAgent();
    Write("data/noise.bin", NoiseBytes(250000, 5));
    const LoggedRun logged = Logged(JobOf({"data/noise.bin"}), [](WireRelay&) {});
    ASSERT_TRUE(logged.read);
    ASSERT_GT(pieces, 1u);
    ASSERT_EQ(logged.statuses.size(), pieces + 1);
    for (uint32_t i = 0; i < pieces; ++i) {
        EXPECT_EQ(logged.statuses[i].type, kInputWrite);
        EXPECT_EQ(logged.statuses[i].status, 0u);
    }
    EXPECT_EQ(logged.statuses.back().type, kStepStart);
    EXPECT_TRUE(logged.jobErrors.empty());
}

TEST_F(InputLoggingTest, TheRefusalKeepsTheMachinesCodeAndText) {
    StartAgent();
    Write("data/noise.bin", NoiseBytes(250000, 5));
    const LoggedRun logged = Logged(JobOf({"data/noise.bin"}), [](WireRelay& wire) {
        wire.ReplaceResponse(kInputWrite, 1, U32(5) + U32(28) + "no room");
    });
    ASSERT_TRUE(logged.read);
    ASSERT_EQ(logged.statuses.size(), 1u);
    EXPECT_EQ(logged.statuses[0].type, kInputWrite);
    EXPECT_EQ(logged.statuses[0].status, 5u);
    EXPECT_EQ(logged.statuses[0].errorCode, 28u);
    EXPECT_EQ(logged.statuses[0].text, "no room");
}

TEST_F(InputLoggingTest, FailureRecordsNameTheFileAndTheArchivesReasons) {
    StartAgent();
    struct Case {
        std::string name;
        std::vector<std::string> inputs;
        std::function<void(WireRelay&)> arrange;
        LoggedJobError expected;
        bool piecesSent;
    };
    const std::string firstGone = At("a_gone.txt");
    const std::string laterGone = At("z_gone.txt");
    const std::string shrinking = At("shrinks.bin");
    const auto removeAtConnect = [](const std::string& path) {
        return [path](WireRelay& wire) { wire.onAccept = [path] { RemoveTree(path); }; };
    };
    const Case cases[] = {
        {"the first file is gone", {"a_gone.txt", "b.txt"}, removeAtConnect(firstGone),
         {kJobFileFailure, kNoSuchFile, "Could not open the input file", firstGone, {}, ""}, false},
        {"a later file is gone", {"b.txt", "z_gone.txt"}, removeAtConnect(laterGone),
         {kInputArchiveFailure, kNoSuchFile, "Could not open the input file", "", {"file open failed"}, laterGone},
         false},
        {"a file shrinks while it is read", {"shrinks.bin"},
         [shrinking](WireRelay& wire) {
             wire.onRequest = [shrinking](const WireMessage& request) {
                 if (request.type == kInputWrite) truncate(shrinking.c_str(), 100000);
             };
         },
         {kInputArchiveFailure, kClientInputOutputError, "Failed to create the input archive for job main, file read failed",
          "", {"file read failed", "file changed size while it was read"}, shrinking},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Write("a_gone.txt", "gone soon\n");
        Write("z_gone.txt", "gone soon\n");
        Write("b.txt", "kept\n");
        Write("shrinks.bin", NoiseBytes(2u << 20, 8));
        const LoggedRun logged = Logged(JobOf(c.inputs), c.arrange);
        ASSERT_TRUE(logged.read);
        ASSERT_EQ(logged.jobErrors.size(), 1u);
        const LoggedJobError& error = logged.jobErrors[0];
        EXPECT_EQ(error.kind, c.expected.kind);
        EXPECT_EQ(error.errorCode, c.expected.errorCode);
        EXPECT_EQ(error.message, c.expected.message);
        EXPECT_EQ(error.subject, ClientPath(c.expected.subject));
        EXPECT_EQ(error.chain, c.expected.chain);
        EXPECT_EQ(error.path, ClientPath(c.expected.path));
        // Only acknowledged pieces are records; no StepStart.
        EXPECT_EQ(logged.statuses.size(), c.piecesSent ? pieces : 0u);
        for (const LoggedStatus& status : logged.statuses) EXPECT_EQ(status.type, kInputWrite);
    }
}

}  // namespace
}  // namespace kestrel::test
