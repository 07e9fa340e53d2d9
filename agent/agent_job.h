// A job on one connection: its work area, its environment, and the state of
// its input extraction, its running command and its output archive.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/os/process.h"
#include "agent/output_archive.h"
#include "archive/paxgz_reader.h"
#include "archive/safe_path.h"
#include "client/wire.h"

namespace kestrel::agent {

class Session;

// The input archive while InputWrite pieces arrive: extracted as it comes,
// never held whole.
struct InputExtraction {
    PaxgzReader reader;
    ExtractionRoot root;
    Session* session = nullptr;
    int areaFd = -1;
    bool finished = false;
    // The last regular file extracted: its times are set once its data are written.
    bool timesPending = false;
    std::vector<std::string> pendingPath;
    uint64_t modifiedSeconds = 0;
    uint32_t modifiedNanoseconds = 0;
    uint64_t accessedSeconds = 0;
    uint32_t accessedNanoseconds = 0;
    int32_t timesError = 0;  // set when setting times failed
    uint32_t refusedDepth = 0;  // the levels of a path refused as too deep
    uint8_t input[kMessageBufferSize];
    uint8_t output[kMessageBufferSize];
};

// The process of the job's current command. It has ended once its process
// has exited and its streams are closed, or its process group is gone (what
// it left running elsewhere may hold the streams: they end then too).
struct RunningCommand {
    os::ChildProcess child;  // its state comes from the keeper's reports
    std::chrono::steady_clock::time_point started;
    bool outputEnded = false;  // reported to the client
    bool errorEnded = false;
    int startError = 0;        // the process could not be started: reported by Poll
    bool exitReported = false;

    bool StreamsMayEnd() const { return child.exited && child.groupGone; }
    bool Ended() const { return child.exited && outputEnded && errorEnded; }

    uint64_t ElapsedNanoseconds() const {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started).count());
    }
};

struct AgentJob {
    uint8_t id = 0;
    uint32_t units = 0;  // capacity held
    std::string areaName;
    int areaFd = -1;
    std::map<std::string, std::string> environment;
    bool stepStarted = false;

    std::unique_ptr<InputExtraction> input;
    bool inputFailed = false;
    uint32_t inputFailureStatus = 0;  // 4 or 5
    int32_t inputErrorCode = 0;
    std::string inputErrorText;

    std::unique_ptr<RunningCommand> command;
    // Keepers of earlier commands that still look after processes those
    // commands left running; they end with the job.
    std::vector<os::ChildProcess> lingering;

    std::vector<OutputPath> outputs;
    std::unique_ptr<OutputArchive> output;
    bool outputFailed = false;
    int32_t outputErrorCode = 0;
    std::string outputErrorText;
    bool outputSent = false;  // the last piece went out
};

}  // namespace kestrel::agent
