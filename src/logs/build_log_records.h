// The build log writer's records while it reads connection logs: one entry
// per connection with its job table, and one record per job with its job log
// and the files of its open command. Internal to src/logs.
#pragma once

#include <cstdint>

#include "logs/build_log_text.h"
#include "logs/build_log_writer.h"
#include "logs/connection_log_reader.h"
#include "logs/log_spool.h"
#include "logs/output_rendering.h"
#include "runtime/name_table.h"

namespace kestrel {

struct TempLog;

// A string the build log keeps: heap bytes with a NUL after them.
struct OwnedText {
    char* bytes = nullptr;
    uint32_t length = 0;

    bool Set(const uint8_t* text, uint32_t count);  // false: no memory
    bool Set(LogText text) { return Set(text.bytes, text.length); }
    bool Set(const char* text);
    void Clear();
    bool has() const { return bytes != nullptr; }
    XmlText xml() const { return XmlText{reinterpret_cast<const uint8_t*>(bytes), length, false}; }
};

inline XmlText Xml(LogText text, bool utf16 = false) { return XmlText{text.bytes, text.length, utf16}; }

struct JobRecord {
    uint8_t jobId = 0;
    char key[3] = {};
    uint8_t concurrency = 0;
    int64_t startTime = 0;
    int64_t delayStart = 0;    // the refusal with status 8 that made the record; 0: none
    int64_t runningTime = 0;   // 100-ns ticks
    OwnedText machineName;
    OwnedText jobName;
    uint32_t pathId = 0;
    uint32_t errorCode = 0;
    OwnedText errorReason;
    OwnedText errorPath;
    OwnedText developmentEnvironment;
    uint32_t endStatus = 0;
    bool failed = false;
    bool commandOpen = false;
    bool keepOutputs = false;
    bool filesOpen = false;
    bool waiting = false;      // made by a refusal with status 8, not started since
    LogSpool jobLog;      // begun when the job started on this connection
    LogSpool stdoutSpool;  // the open command's parameters and standard output lines
    LogSpool stderrSpool;  // its standard error lines and its end
    OutputStream out;
    OutputStream err;
    // The connection's records with open files, most recently used first.
    JobRecord* recentPrevious = nullptr;
    JobRecord* recentNext = nullptr;
    bool inRecent = false;
    // The connection's started jobs by start time.
    JobRecord* sortedNext = nullptr;
    JobRecord* sortedPrevious = nullptr;
};

struct BuildLogGeneration;

struct BuildLogConnection {
    TempLog* log = nullptr;
    bool utf16 = false;
    NameTable jobs;             // job key -> the job's latest record
    JobRecord** records = nullptr;
    uint32_t recordCount = 0;
    uint32_t recordCapacity = 0;
    JobRecord* sortedHead = nullptr;
    JobRecord* sortedTail = nullptr;
    JobRecord* recentHead = nullptr;
    JobRecord* recentTail = nullptr;
    uint32_t openFiles = 0;
    uint32_t openLimit = 3;
    bool hopOpen = false;       // a kv:hop start tag may still grow
    OwnedText machineName;      // from the header
    uint32_t pathId = 0;
    BuildLogGeneration* generation = nullptr;  // while the log is read
    SpoolAllowance* allowance = nullptr;       // the writer's, shared by its connections
};

// One run of Generate.
struct BuildLogGeneration {
    XmlWriter document;
    const BuildLogSettings& settings;
};

// Failures, posted; the LogAction stops reading.
LogAction StopWithWriteFailure();
LogAction StopWithMemoryFailure();
// The bias for a kv:error time written now.
int32_t ErrorTimeBias(const BuildLogSettings& settings);

// Job records (build_log_jobs.cc, build_log_files.cc).
JobRecord* FindJob(BuildLogConnection& connection, uint8_t jobId);
JobRecord* NewJobRecord(BuildLogConnection& connection, uint8_t jobId);
// Makes the record the most recently used, reopening its files when they
// were closed; the least recently used records' files are closed first so
// that the connection stays within its limit.
bool UseJob(BuildLogConnection& connection, JobRecord& job);
// Closes least recently used files (never those of `keep`) until `opening`
// more fit within the limit.
void MakeRoom(BuildLogConnection& connection, const JobRecord* keep, uint32_t opening);
void CloseJobFiles(BuildLogConnection& connection, JobRecord& job);
// A temporary file for a job's text of `kind`; posts the memory failure message.
TempLog* CreateJobFile(const JobRecord& job, const char* kind);
// Creation posts its own message and the memory failure message.
bool CreateJobLog(BuildLogConnection& connection, JobRecord& job);
bool CreateCommandFiles(BuildLogConnection& connection, JobRecord& job);
// Appends the command's output files to the job log and ends the element.
LogAction CloseCommand(BuildLogConnection& connection, JobRecord& job);
// End of a connection log: open commands closed, every file closed.
LogAction FinishJobs(BuildLogConnection& connection);
void DestroyJobRecord(JobRecord* job);

// Machine element pieces shared by machine and job records.
bool CloseOpenHop(BuildLogConnection& connection);

// Reader handlers.
LogAction OnHeader(void* context, const LogHeaderRecord& record);
LogAction OnHop(void* context, const LogHopRecord& record);
LogAction OnVersion(void* context, const LogVersionRecord& record);
LogAction OnConnectionError(void* context, const LogConnectionErrorRecord& record);
LogAction OnStartJob(void* context, const LogStartJobRecord& record);
LogAction OnEnvironment(void* context, const LogEnvironmentRecord& record);
LogAction OnEndJob(void* context, const LogEndJobRecord& record);
LogAction OnJobStatus(void* context, const LogJobStatusRecord& record);
LogAction OnAddOutput(void* context, const LogAddOutputRecord& record);
LogAction OnExecute(void* context, const LogExecuteRecord& record);
LogAction OnJobError(void* context, const LogJobErrorRecord& record);
LogAction OnPollEvent(void* context, const LogPollEvent& event);

// The kv:job element of a started job (build_log_job_element.cc).
bool WriteJobElement(BuildLogGeneration& generation, JobRecord& job);

}  // namespace kestrel
