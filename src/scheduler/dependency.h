// The scheduler's record of one file: the selected job that creates it, if
// any, and the jobs that need it, each with the address of its time slot for
// the file. One table holds every file by key, so a path costs one lookup
// whether it turns out to be produced, awaited or external.
#pragma once

#include <cstdint>

#include "script/job.h"
#include "script/script_arena.h"

namespace kestrel {

struct DependencyPair {
    Job* job;
    int64_t* slot;  // in job->timeSlots
};

// One piece of the scheduler's arena: the record, its first consumer, its
// key, then the path when folding changed it. The record never moves; it
// and its consumer arrays go when the arena does.
struct ScheduledFile {
    static constexpr uint32_t kConsumersReleased = 1;  // the producer's output arrived or was up to date
    static constexpr uint32_t kPathOfProducer = 2;     // `path` is the producer's own spelling
    // Some job spells the file otherwise than `path` (other letter case): on
    // a file system that tells case apart those are other names, each read
    // on its own.
    static constexpr uint32_t kSpellingsDiffer = 4;

    const char* key;
    const char* path;           // the path as first rendered: what file times and messages use
    DependencyPair producer;    // job null: no selected job creates the file
    DependencyPair* consumers;  // inside the record until they outgrow it
    uint32_t consumerCount;
    uint32_t consumerCapacity;
    ScheduledFile* nextNeeded;  // files no job creates, in the order they were first needed
    uint32_t flags;
    uint32_t pathLength;

    bool produced() const { return producer.job != nullptr; }
    bool spelledAs(const char* text, uint32_t length) const;
    // Consumers still waiting for the producer.
    bool awaited() const { return produced() && consumerCount != 0 && (flags & kConsumersReleased) == 0; }
};

// A record for `key` (`keyLength` bytes) whose path is `path` (`pathLength`
// bytes), with no producer and no consumer; null when memory ran out.
ScheduledFile* NewScheduledFile(ScriptArena& arena, const char* key, uint32_t keyLength, const char* path,
                                uint32_t pathLength);
// False when memory ran out.
bool AddConsumer(ScriptArena& arena, ScheduledFile& file, Job* job, int64_t* slot);

}  // namespace kestrel
