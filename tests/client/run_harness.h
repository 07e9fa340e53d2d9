// A whole client run inside the test process: the script is parsed, the
// direct client started, the preparation thread and the event loop run as
// kestrel runs them, and the connection logs the run hands over are read
// back as lines of text, one per record.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "agent/agent_process.h"
#include "support/test_support.h"

namespace kestrel::test {

// Agents of one test, each working in a directory of its own.
class TestAgents {
public:
    bool Start(AgentProcess& agent, std::vector<std::string> arguments) {
        arguments.push_back("--work-dir");
        arguments.push_back(work_ / std::to_string(++count_));
        return agent.Start(arguments);
    }
    static std::string Url(const AgentProcess& agent) { return "kv://127.0.0.1:" + std::to_string(agent.port()); }

private:
    TempDir work_;
    int count_ = 0;
};

struct HandedOverLog {
    bool utf16 = false;
    // "machine NAME PathID N", "hop URL kind K ...", "version A.B.C.D",
    // "StartJob ID status S job NAME", "ReplaceEnvironment ID NAME=VALUE status S",
    // "StepStart ID status S", "Execute ID DIR|EXE|ARG... status S",
    // "EndJob ID status S failed F", "Poll", "connection error CODE TEXT",
    // "protocol error CODE TEXT", "job failure REF CODE TEXT", ...
    std::vector<std::string> records;
    std::string readResult;  // "done", or why reading stopped
    // What the commands of each job ID printed, standard output then error.
    std::map<uint32_t, std::string> output;
    std::map<uint32_t, std::string> errors;

    // The records without the Poll lines (their number depends on timing).
    std::vector<std::string> WithoutPolls() const;
};

struct RunResult {
    bool started = false;
    std::string startMessage;  // the client's message when Start failed
    bool allOutputMade = false;
    bool jobFailed = false;
    bool protocolFailureSeen = false;
    bool loopFailed = false;
    bool abortedByWatchdog = false;  // the harness gave up waiting
    std::vector<HandedOverLog> logs;
    // build_log.xml made from the handed-over logs as the driver makes it,
    // and what `xmllint --schema` said of it ("" when it validates).
    std::string buildLog;
    std::string schemaErrors;
};

struct RunOptions {
    std::string job;              // empty: main
    bool rebuild = false;
    int watchdogSeconds = 60;     // the harness aborts a run that takes longer
    int abortAfterMilliseconds = 0;  // > 0: the user's abort after this long
};

// Writes nothing: `directory` holds the script `scriptName`.
RunResult RunClientInProcess(const std::string& directory, const std::string& scriptName,
                             const RunOptions& options = {});

}  // namespace kestrel::test
