// The job scheduler turns the parsed script into a work list: it selects the
// requested job or project, prepares each selected job, links the jobs that
// create a file with the jobs that need it, checks that every file no job
// creates exists, and leaves up-to-date jobs out. What remains is a ready
// queue of jobs that can start now and a waiting list of jobs that wait for
// other jobs' outputs; OutputProduced moves waiting jobs to the ready queue
// as their inputs arrive.
//
// Files are compared by key: the absolute normalized path, lower case, so
// that one file written with different relative paths, or in different
// letter case, by jobs with different roots is one file. File times and
// messages use the path itself.
//
// The run controller's side, on the main thread only:
//   Schedule, then Decide; false leaves the reason in `message`.
//   TakeReadyJob() until it returns null: the jobs to run now.
//   OutputProduced(path) for every output file that arrives; it may put
//   more jobs in the ready queue.
//   Release() when the run is over: frees the prepared jobs.
#pragma once

#include <cstdint>

#include "runtime/name_table.h"
#include "script/block_framework.h"
#include "script/job.h"

namespace kestrel {

inline constexpr const char* kSchedulerMemoryMessage = "Insufficient memory for the job scheduler";

// Job::queueState
inline constexpr uint32_t kJobNotQueued = 0;
inline constexpr uint32_t kJobTaken = 1;  // taken from the ready queue to run
inline constexpr uint32_t kJobReady = 2;
inline constexpr uint32_t kJobWaiting = 3;

// Job::flags
inline constexpr uint32_t kJobCheckUpToDate = 1;
inline constexpr uint32_t kJobUpToDate = 4;  // up to date and finished: never runs
inline constexpr uint32_t kJobQueued = 8;    // prepared and queued

struct Project;

struct ScheduledFile;

// Where the path and key of one file of the job being queued are in
// JobScheduler::names.
struct FileName {
    uint32_t pathOffset;
    uint32_t pathLength;
    uint32_t keyOffset;
    uint32_t keyLength;
    uint32_t hash;
};

struct JobScheduler {
    // JobScheduler::flags
    static constexpr uint32_t kCompareTimes = 1;
    static constexpr uint32_t kMessageOwned = 2;
    static constexpr uint32_t kFoundError = 32;

    // Jobs linked through Job::queueNext and queuePrevious.
    Job* readyHead = nullptr;
    Job* readyTail = nullptr;
    Job* waitingHead = nullptr;
    // Every job prepared; the scheduler destroys them in Release.
    Job** preparedJobs = nullptr;
    uint32_t preparedCount = 0;
    uint32_t preparedCapacity = 0;
    // File key -> ScheduledFile: every file a selected job creates or needs.
    NameTable files;
    ScriptArena* records = nullptr;  // the ScheduledFile records
    // Files no selected job creates, in the order they were first needed;
    // only until Decide has checked them.
    ScheduledFile* neededHead = nullptr;
    ScheduledFile* neededTail = nullptr;
    const char* message = nullptr;
    char* pathText = nullptr;  // the path being looked at, NUL-terminated
    uint32_t pathTextSize = 0;
    uint32_t pathLength = 0;
    char* key = nullptr;  // its file key, NUL-terminated
    uint32_t keySize = 0;
    uint32_t keyLength = 0;
    // The job whose root starts pathText and key, and the length of that
    // start in each (with the separator that follows it).
    const Job* rootJob = nullptr;
    uint32_t rootTextLength = 0;
    uint32_t rootKeyLength = 0;
    uint32_t rootSeparatorLength = 0;
    // The paths and keys of the job being queued, collected before any is
    // looked up so that the table's slots for all of them are fetched at once.
    char* names = nullptr;
    uint32_t namesSize = 0;
    FileName* fileNames = nullptr;
    uint32_t fileNameCapacity = 0;
    uint32_t flags = 0;

    // Selects `jobName` (null: "main") from the context's blocks, prepares
    // and queues it or every job its project reaches. Prepared jobs leave the
    // context's block table. `compareTimes` is false with --rebuild.
    bool Schedule(ParserContext& context, const char* jobName, bool compareTimes);
    // Checks that the inputs no job creates exist, that every waiting job can
    // eventually start, and takes up-to-date jobs out. Afterwards an empty
    // ready queue means all output is already made.
    bool Decide();
    // `path` (absolute) has been written: jobs waiting only for it become
    // ready. False only when memory runs out.
    bool OutputProduced(const char* path, uint32_t length);
    // Unlinks the head of the ready queue and marks it taken; null when empty.
    Job* TakeReadyJob();
    // Destroys the prepared jobs, the tables, the buffers and the message.
    void Release();

    // Internals shared by the scheduler's sources.
    bool fail(const char* format, std::initializer_list<FormatArg> args = {});
    bool outOfMemory();
    // Appends a line to the message ("\n" between lines).
    bool appendMessageLine(const char* format, std::initializer_list<FormatArg> args);
    void clearMessage();
    // Room for `size` bytes in pathText; false (message set) when memory ran out.
    bool reservePathText(uint64_t size);
    // Renders `prepared` (of `job`) absolute into pathText and its key into key.
    bool keyOf(const Job& job, const Path& prepared);
    // Renders `prepared` (of `job`) absolute into pathText.
    bool renderPath(const Job& job, const Path& prepared);
    // Folds pathText into key.
    bool buildKey();
    // The jobs waiting for `file` lose one pending output; those left with
    // none join the ready queue. `time` is the file's time when known (else
    // -1); it fills the consumers' slots still unread.
    void release(ScheduledFile& file, int64_t time);
    void appendReady(Job& job);
    void unlinkReady(Job& job);
    void pushWaiting(Job& job);
    void unlinkWaiting(Job& job);
};

}  // namespace kestrel
