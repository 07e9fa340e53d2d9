// What goes wrong during an input transfer and how the job, the connection
// and the run end: a file gone after scheduling, the machine refusing a
// piece, a malformed answer, a connection that breaks off, slow answers.

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "agent/agent_fixture.h"
#include "e2e/input_checks.h"

namespace kestrel::test {
namespace {

constexpr int kEndJob = 5;
constexpr int kStepStart = 7;
constexpr int kInputWrite = 12;

std::string U32(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>(value >> (8 * i));
    return bytes;
}

bool Sent(const WireRelay& wire, int type) { return !wire.Requests(type).empty(); }

class InputFailureTest : public EndToEndTest {
protected:
    // A job with a few pieces of input.
    JobSpec NoisyJob() {
        Write("data/noise.bin", NoiseBytes(250000, 5));
        Write("data/small.txt", "small\n");
        JobSpec job;
        job.inputs = {"data/noise.bin", "data/small.txt"};
        job.commands = {Shell("true")};
        return job;
    }
    std::string Url() const { return "kv://127.0.0.1:" + std::to_string(MachinePort()); }
};

TEST_F(InputFailureTest, AFileGoneAfterSchedulingFailsTheJobAndEndsIt) {
    StartAgent();
    struct Case {
        const char* victim;
        const char* kept;
        std::string message;  // {path}: the victim's path
    };
    const Case cases[] = {
        // The first entry is made before the archive starts: the job fails on the file.
        {"a_gone.txt", "b_kept.txt",
         "The job main failed when it could not process {path}, Could not open the input file"},
        // A later one fails the archive.
        {"z_gone.txt", "b_kept.txt", "Failed to create the input archive for job main, file open failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.victim);
        Write(c.victim, "soon gone\n");
        Write(c.kept, "kept\n");
        WireRelay& wire = NewRelay();
        // The client has scheduled its jobs once it connects.
        const std::string victim = At(c.victim);
        wire.onAccept = [victim] { RemoveTree(victim); };
        StartRelay();
        JobSpec job;
        job.inputs = {c.victim, c.kept};
        job.commands = {Shell("true")};
        const ProcessResult run = RunJobs({job});
        std::string message = c.message;
        const size_t at = message.find("{path}");
        if (at != std::string::npos) message.replace(at, 6, ClientPath(At(c.victim)));
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, PlainOutput({message, "The job main failed", "At least one job failed"})) << run.err;
        EXPECT_TRUE(Sent(wire, kEndJob));
        EXPECT_FALSE(Sent(wire, kStepStart));
        if (c.victim[0] == 'a') {
            EXPECT_FALSE(Sent(wire, kInputWrite));
        }
    }
}

TEST_F(InputFailureTest, AFileThatShrinksWhileItIsReadFailsTheArchive) {
    StartAgent();
    Write("data/noise.bin", NoiseBytes(2u << 20, 8));
    WireRelay& wire = NewRelay();
    // The client has read past 100 KB of the file by its first piece.
    const std::string file = At("data/noise.bin");
    wire.onRequest = [file](const WireMessage& request) {
        if (request.type == kInputWrite) {
            ASSERT_EQ(truncate(file.c_str(), 100000), 0);
        }
    };
    StartRelay();
    JobSpec job;
    job.inputs = {"data/noise.bin"};
    job.commands = {Shell("true")};
    const ProcessResult run = RunJobs({job});
    EXPECT_EQ(run.out, PlainOutput({"Failed to create the input archive for job main, file read failed",
                                    "The job main failed", "At least one job failed"}))
        << run.err;
    EXPECT_TRUE(Sent(wire, kEndJob));
    EXPECT_FALSE(Sent(wire, kStepStart));
}

TEST_F(InputFailureTest, AFifoInputGoesAsAnEmptyFileWithoutHoldingTheClient) {
    if (kClientUnderWine) GTEST_SKIP() << kNoLinuxSpecialFilesUnderWine;
    StartAgent();
    Write("data/small.txt", "small\n");
    ASSERT_EQ(RunProcess({"/usr/bin/mkfifo", At("data/pipe")}).exitCode, 0);
    JobSpec job;
    job.inputs = {"data/pipe", "data/small.txt"};
    job.commands = {Shell("test -f data/pipe && test ! -s data/pipe && test -s data/small.txt")};
    const ProcessResult run = RunJobs({job});
    EXPECT_EQ(run.out, PlainOutput({"The job main succeeded", "All jobs successfully completed"})) << run.err;
}

TEST_F(InputFailureTest, MachineRefusalsFailTheJobAndFaultyAnswersTheConnection) {
    StartAgent();
    struct Case {
        std::string payload;         // the answer to the first InputWrite
        std::string machineFailure;  // "" when the machine only refused: EndJob follows
        bool malformed;              // the run ends in a panic report
    };
    const std::string corrupt = "Input write response from {url} corrupt";
    const Case cases[] = {
        {U32(1), "", false},
        {U32(2), "", false},
        {U32(3), "", false},
        {U32(4) + U32(13), "", false},
        {U32(5) + U32(28) + "no room", "", false},
        {U32(6), "Cannot transfer input to {url}, input is being processed", false},
        {U32(4), corrupt, true},
        {U32(5) + U32(28), corrupt, true},
        {U32(7), corrupt, true},
        {std::string("\0\0", 2), corrupt, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Hex(c.payload));
        WireRelay& wire = NewRelay();
        wire.ReplaceResponse(kInputWrite, 1, c.payload);
        StartRelay();
        const ProcessResult run = RunJobs({NoisyJob()});
        if (c.machineFailure.empty()) {
            EXPECT_EQ(run.exitCode, 0) << run.err;
            EXPECT_EQ(run.out, PlainOutput({"The job main failed", "At least one job failed"})) << run.err;
            EXPECT_TRUE(Sent(wire, kEndJob));
        } else {
            std::string failure = "Machine failed with connection error: " + c.machineFailure;
            failure.replace(failure.find("{url}"), 5, Url());
            if (c.malformed) {
                EXPECT_EQ(run.exitCode, 2);
                EXPECT_EQ(run.out, PlainOutput({failure}));
                EXPECT_NE(run.err.find("The Kestrelvane client has panicked"), std::string::npos) << run.err;
            } else {
                EXPECT_EQ(run.exitCode, 0) << run.err;
                EXPECT_EQ(run.out, PlainOutput({failure, "At least one job failed"})) << run.err;
            }
            EXPECT_FALSE(Sent(wire, kEndJob));
        }
        EXPECT_EQ(wire.Requests(kInputWrite).size(), 1u);
        EXPECT_FALSE(Sent(wire, kStepStart));
    }
}

TEST_F(InputFailureTest, AConnectionThatBreaksOffDuringThePiecesFailsTheJob) {
    StartAgent();
    WireRelay& wire = NewRelay();
    wire.CutAtRequest(kInputWrite, 2);
    StartRelay();
    const ProcessResult run = RunJobs({NoisyJob()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, PlainOutput({"Machine failed with connection error: Machine " + Url() +
                                        " immediately terminated the connection",
                                    "At least one job failed"}))
        << run.err;
}

TEST_F(InputFailureTest, KeepAlivesAndSlowAnswersDuringThePieces) {
    struct Case {
        std::vector<std::string> agentOptions;
        bool echoed;  // keep-alives of the outstanding request are written back, stale ones are not
    };
    const Case cases[] = {
        {{"--test-keep-alive", "input-write:current"}, true},
        {{"--test-keep-alive", "input-write:stale"}, false},
        {{"--test-delay", "input-write:30", "--keep-alive-ms", "10"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.agentOptions[1]);
        StartAgent(c.agentOptions);
        WireRelay& wire = NewRelay();
        StartRelay();
        JobSpec job = NoisyJob();
        WriteManifest(work.path(), {"data/noise.bin", "data/small.txt"});
        job.inputs.push_back("manifest.sha256");
        job.commands = {Shell("sha256sum -c manifest.sha256")};
        const ProcessResult run = RunJobs({job});
        EXPECT_EQ(run.out, PlainOutput({"The job main succeeded", "All jobs successfully completed"})) << run.err;
        ExpectPieceRule(wire);
        const std::vector<WireMessage> echoes = wire.Requests(kWireKeepAlive);
        EXPECT_EQ(!echoes.empty(), c.echoed);
        agent.Stop();
    }
}

}  // namespace
}  // namespace kestrel::test
