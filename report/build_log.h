// What the report keeps of a build log: one small record per connection and
// per job. Commands and their output are not kept here; they go to the
// details file (details_writer.h) and are found again by offset.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::report {

enum class JobStatus : uint8_t { kSucceeded = 0, kFailed = 1, kError = 2 };

// One connection: a machine reached over one path.
struct Connection {
    std::string machine;
    uint32_t pathId = 0;
    std::string route;  // the URL of the last hop, "" when the log names none
};

struct JobRecord {
    std::string name;
    size_t connection = 0;  // index into BuildLog::connections
    JobStatus status = JobStatus::kSucceeded;
    bool started = true;  // false: refused before it started (it sits in its machine's element)
    int64_t start = 0;    // ticks since 1970 UTC
    int64_t running = 0;  // ticks
    int64_t delay = 0;    // ticks the machine had no room for it
    std::string errorReason;
    std::string errorPath;
    uint32_t errorCode = 0;
    uint64_t detailsOffset = 0;  // its entry in the details file
    uint64_t detailsLength = 0;
    uint32_t failedCommand = 0;  // 1-based; 0 when no command failed

    int64_t End() const { return start + running; }
};

struct BuildLog {
    int64_t start = 0;        // the run's start, ticks since 1970 UTC
    int64_t runningTime = 0;  // ticks
    std::string buildHost;
    std::vector<Connection> connections;
    std::vector<JobRecord> jobs;  // in document order
};

}  // namespace kestrel::report
