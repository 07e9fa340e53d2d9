// A whole client run inside the test process: the script is parsed, the
// direct client started, the preparation thread and the event loop run as
// kestrel runs them, and the connection logs the run hands over are read
// back as lines of text, one per record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::test {

struct HandedOverLog {
    bool utf16 = false;
    // "machine NAME PathID N", "hop URL kind K ...", "version A.B.C.D",
    // "StartJob ID status S job NAME", "ReplaceEnvironment ID NAME=VALUE status S",
    // "StepStart ID status S", "Execute ID DIR|EXE|ARG... status S",
    // "EndJob ID status S failed F", "Poll", "connection error CODE TEXT",
    // "protocol error CODE TEXT", "job failure REF CODE TEXT", ...
    std::vector<std::string> records;
    std::string readResult;  // "done", or why reading stopped

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
