// The job record: what the scheduler runs on a machine. The job block fills
// the script-side fields; prepareJob (script/prepare_job.h) fills the
// prepared file lists; the scheduler and the client own the rest.
#pragma once

#include <cstdint>

#include "runtime/path.h"
#include "script/block_framework.h"
#include "script/command_list.h"
#include "script/objects.h"

namespace kestrel {

inline constexpr const char* kJobMemoryMessage = "Insufficient memory for job";
inline constexpr uint32_t kMaxJobNameLength = 249;

inline constexpr uint8_t kConcurrencyMinimum = 0;
inline constexpr uint8_t kConcurrencyMaximum = 1;
inline constexpr uint8_t kConcurrencyHigh = 10;
inline constexpr uint8_t kConcurrencyMedium = 25;
inline constexpr uint8_t kConcurrencyLow = 128;

struct JobMachine {
    Machine* machine;  // from ParserContext::machines
    // The run controller's: the path tried first, the path in use, the machine's path count.
    uint32_t firstPath;
    uint32_t currentPath;
    uint32_t pathCount;
};

// Path copies made by preparation, released with the job.
struct PreparedPaths;
// The scheduler's record of a file.
struct ScheduledFile;

struct Job {
    BlockKind kind = BlockKind::Job;
    Job* queueNext = nullptr;  // the scheduler's queues
    Job* queuePrevious = nullptr;
    CommandList commands;  // in script order, included steps expanded
    // After preparation: the script directory relative to the job root (the
    // working directory of the commands); empty when they are the same.
    Path relativeDirectory;
    // The script directory; after preparation only its first rootDepth
    // components: the job root. Components point into directoryText.
    Path rootDirectory;
    DataBlock data;  // members the commands expand
    DataBlock environmentPrefix;
    DataBlock environmentSuffix;
    DataBlock environmentReplace;
    FileList inputs;  // entries: the script directory joined with the text as written
    FileList outputs;
    FileList failedOutputs;
    char* developmentEnvironment = nullptr;
    TextPool strings;                // data member and environment names used by the commands
    char* directoryText = nullptr;   // the script directory as text
    char* name = nullptr;            // a copy of the key in ParserContext::blocks, in the arena
    ScriptArena* arena = nullptr;    // held: the nodes and texts of the job's files
    JobMachine* machines = nullptr;  // at least one; first size 2, then doubling
    JobMachine* machinesEnd = nullptr;
    JobMachine* machinesLimit = nullptr;

    // Written by prepareJob: normalized, sorted, without duplicates, relative
    // to the job root. FileList::prepared of inputs, outputs and failedOutputs
    // holds, index for index, the entry each prepared path came from (the
    // path as the script wrote it, made absolute).
    Path* preparedInputs = nullptr;
    Path* preparedOutputs = nullptr;
    Path* preparedFailedOutputs = nullptr;
    PreparedPaths* preparedStorage = nullptr;
    int64_t* timeSlots = nullptr;    // one per prepared input, then one per prepared output; -1 until read
    int64_t* outputSlots = nullptr;  // the first output slot
    uint32_t preparedInputCount = 0;
    uint32_t preparedOutputCount = 0;
    uint32_t preparedFailedOutputCount = 0;
    uint32_t scriptDirectoryDepth = 0;
    uint32_t rootDepth = 0;                   // components of the job root
    uint32_t developmentEnvironmentSize = 0;  // length + 1
    // The scheduler's.
    ScheduledFile** outputFiles = nullptr;  // the record of each prepared output (the scheduler's memory)
    uint32_t queueState = 0;
    uint32_t pendingCount = 0;
    uint32_t flags = 0;
    uint64_t newestInputTime = 0;
    uint8_t concurrencyFactor = kConcurrencyMedium;
    uint8_t preparation = 0;  // PreparationState

    uint32_t machineCount() const { return static_cast<uint32_t>(machinesEnd - machines); }
};

// A job with empty tables whose file lists take their paths from `arena`,
// which the job holds until it is destroyed; null when memory ran out.
Job* NewJob(const char* name, uint32_t length, ScriptArena* arena);
// False when memory ran out.
bool AppendJobMachine(Job& job, Machine* machine);
// Frees everything the job owns (not its machines, which belong to the
// machine table or the client).
void DestroyJob(Job* job);
void DestroyJobEntry(NameTableEntry* entry);

}  // namespace kestrel
