// The value of every file-key table of the scheduler: the jobs that create or
// need one file, each with the address of its time slot for that file.
#pragma once

#include <cstdint>

#include "runtime/name_table.h"
#include "script/job.h"

namespace kestrel {

struct DependencyPair {
    Job* job;
    int64_t* slot;  // in job->timeSlots
};

// One allocation: the record, its first pairs, then its key. The record
// never moves, so it can pass from one table to another under the same key.
struct DependencyRecord {
    const char* key;
    DependencyPair* pairs;  // the pairs inside the allocation until they outgrow it
    uint32_t count;
    uint32_t capacity;
};

// Consumers of a file start with room for 20 jobs; a file has one producer.
inline constexpr uint32_t kConsumerRoom = 20;
inline constexpr uint32_t kProducerRoom = 1;

// A record holding (job, slot) under a copy of `key`; null when memory ran out.
DependencyRecord* NewDependencyRecord(const char* key, uint32_t keyLength, uint32_t room, Job* job, int64_t* slot);
// False when memory ran out.
bool AddDependency(DependencyRecord& record, Job* job, int64_t* slot);
// Inserts the record under its own key; the entry frees it.
bool InsertDependency(NameTable& table, DependencyRecord* record);
void DestroyDependencyRecord(DependencyRecord* record);

// The prepared input or output of `job` that `slot` belongs to.
const Path& PathOfSlot(const Job& job, const int64_t* slot);

}  // namespace kestrel
