// BuildLogWriter turns the connection logs of a run into build_log.xml: one
// kv:machine element per connection, in the order the connections ended,
// then one kv:job element per started job of all connections, in order of
// start time, each holding its environment edits, commands with every line
// they printed, outputs and errors.
//
//   BuildLogWriter* writer = new (std::nothrow) BuildLogWriter(budget);
//   writer->AddConnection(log.HandOver(), log.utf16);   // at each teardown
//   ...
//   BuildLogSettings settings;
//   settings.start = {runStart, runStartBias};
//   std::FILE* out = fopen("build_log.xml", "w+b");
//   writer->Generate(out, settings);                    // posts why it stopped
//   fclose(out);
//   if (writer->corrupt()) Panic("connection log corrupt");
//   writer->CleanUp();                                  // every temporary file goes
#pragma once

#include <cstdint>
#include <cstdio>

#include "logs/build_log_text.h"
#include "logs/log_spool.h"

namespace kestrel {

struct TempLog;
struct BuildLogConnection;

inline constexpr char kJobLogOpenFailed[] = "Failed to open the job log, error {0}";
inline constexpr char kTempFileReopenFailed[] = "A temporary file could not be reopened, error {0}";
inline constexpr char kHostNameQueryFailed[] = "hostnanme too long";
inline constexpr char kHostNameNotConvertible[] = "unknown name";

// What the document takes from outside the logs. The driver passes the
// platform's values; tests fix them.
struct BuildLogSettings {
    LocalTime start;                 // the run's start and the bias taken then
    const char* hostName = nullptr;  // null: the computer's fully qualified name
    int64_t now = 0;                 // 0: the clock when the root tag is written
    // The bias of kv:error times: the platform's at each element unless fixed.
    bool fixedErrorBias = false;
    int32_t errorBias = 0;
};

// What a job's log or a command's output keeps in memory before it moves to
// a temporary file, and what all of them keep together.
inline constexpr size_t kSpoolMemoryPerText = 64 * 1024;
inline constexpr size_t kSpoolMemoryTotal = 64 * 1024 * 1024;

class BuildLogWriter {
public:
    // `openFileBudget`: how many temporary files may be open at once while
    // generating; each connection gets an even share, at least 3.
    // `spoolMemory`: what one job text keeps in memory (0: every text is a file).
    explicit BuildLogWriter(int32_t openFileBudget, size_t spoolMemory = kSpoolMemoryPerText);
    ~BuildLogWriter();
    BuildLogWriter(const BuildLogWriter&) = delete;
    BuildLogWriter& operator=(const BuildLogWriter&) = delete;

    // A connection has ended: its log (stream closed here) joins the list
    // with its text encoding. False when memory ran out; the log is not taken.
    bool AddConnection(TempLog* log, bool utf16);

    // Writes the whole document to `out`. Stops at the first failure, which
    // it posts; the document is then incomplete.
    bool Generate(std::FILE* out, const BuildLogSettings& settings);

    // A connection log was found corrupt: the run ends in a panic report.
    bool corrupt() const { return corrupt_; }
    uint32_t connectionCount() const { return count_; }

    // Frees every record and deletes every job log, command output file and
    // connection log.
    void CleanUp();

private:
    int32_t budget_;
    SpoolAllowance allowance_;
    BuildLogConnection** connections_ = nullptr;
    uint32_t count_ = 0;
    uint32_t capacity_ = 0;
    bool corrupt_ = false;
};

// The BuildHost value: the fully qualified name, or the texts for a name that
// cannot be had or cannot be shown.
const char* BuildHostName(char* buffer, uint32_t room);

}  // namespace kestrel
