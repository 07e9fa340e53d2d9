// Whole runs of one standard job under faults: build/kestrel --automated (or
// in a terminal) against real kestrel-agent processes that misbehave on
// purpose, are killed, or lose the ssh forward that carries them. Every run
// is checked the same way once it is over: how it ended (exit code, status
// lines, build log or panic report), that no temporary log and no process
// of the client is left, and that the agent removed the job's work area.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace kestrel::test {

// The standard job: two inputs, environment edits of every kind and a
// development environment, three commands that print to both streams, and
// two outputs (the second a copy of the second input).
struct StandardJob {
    size_t inputBytes = 100000;     // the size of in/data.bin
    // The second command says it runs (results/held) and then waits up to
    // a minute for results/release.
    bool holdSecondCommand = false;
    // One more output that no command makes, and a failed output: the
    // output list is refused and reset, the failed-output list is fetched.
    bool missingOutput = false;
};

// How a run must end.
struct ExpectedEnd {
    int exitCode = 0;                // 2: a panic report
    std::string failure;             // the connection's failure text ("": none)
    std::string errorType;           // its kv:error type in the build log
    std::vector<std::string> lines;  // every status line after "Running jobs"
    std::string panicText;           // the panic's own text, with exit code 2
};

// A successful run's status lines.
ExpectedEnd Succeeded();
// The connection failed with `failure` (of `errorType`) and the job with it.
ExpectedEnd JobFailed(const std::string& failure, const std::string& errorType = "connection");
// A malformed answer: the failure is posted, then the run panics.
ExpectedEnd ProtocolPanic(const std::string& failure);

// `format` with every {0} replaced by `url`.
std::string WithUrl(const std::string& format, const std::string& url);

class FaultRunTest : public EndToEndTest {
protected:
    // Makes this test process the reaper of everything the client leaves
    // behind, so that leftovers can be found.
    void SetUp() override;
    void TearDown() override;

    // Writes the inputs and build.txt for `job` on one machine reached by
    // `path` (hop lines without indentation); empty: the agent, or the
    // relay in front of it.
    void WriteStandardScript(const StandardJob& job = {}, const std::vector<std::string>& path = {});
    // The first hop's URL, as the client's messages name it.
    std::string Url() const { return "kv://127.0.0.1:" + std::to_string(MachinePort()); }
    // (Re)starts the agent on the same work directory with `faults`.
    bool RestartAgent(const std::vector<std::string>& faults);
    // Stops the agent; false when it did not stop cleanly or reported a fault of its own.
    bool StopAgentCleanly();

    // Starts the client on build.txt in the working directory; `options` as
    // for RunProcess, with TMPDIR set to the private temporary directory.
    std::unique_ptr<ChildProcess> StartClient(ProcessOptions options = {});
    // Runs it to its end.
    ProcessResult RunClient(ProcessOptions options = {});

    // Every check of a finished run. With `agentAlive` the agent's work
    // directory must have emptied.
    void ExpectEnd(const ProcessResult& run, const ExpectedEnd& expected, bool agentAlive = true);
    // Its parts: the build log of a run that reached its end, with the
    // failure when there is one; the panic report of one that did not; no
    // temporary log, no process of the client and (`agentAlive`) no work
    // area left.
    void ExpectBuildLog(const ExpectedEnd& expected);
    void ExpectPanicReport(const ExpectedEnd& expected);
    void ExpectNothingLeft(bool agentAlive = true);
    // Removes what a run left in the working directory.
    void ClearRunFiles();

    // Children of the test other than the agent and the servers that are
    // still there after waiting a while for them to end; ended ones are reaped.
    std::vector<std::string> LeftoverProcesses();
    // Job areas (and areas moved aside) in the agent's work directory.
    std::vector<std::string> WorkAreas() const;

    std::vector<std::string> agentOptions;  // besides --work-dir: the development environment
    std::vector<int> servers;               // other processes the test started and keeps
};

// The first line of the panic report's message file in `directory`/panic.bin
// ("" when there is no readable report); the report is unpacked into `scratch`.
std::string PanicMessageLine(const std::string& directory, const std::string& scratch);

}  // namespace kestrel::test
