#include "script/job.h"

#include <cstdlib>
#include <new>

#include "script/prepare_job.h"
#include "script/script_arena.h"

namespace kestrel {

namespace {

constexpr uint32_t kFirstJobMachines = 2;

}  // namespace

// The record and its name live in the arena, like the job's files.
Job* NewJob(const char* name, uint32_t length, ScriptArena* arena) {
    void* memory = arena->Take(sizeof(Job));
    if (memory == nullptr) return nullptr;
    auto* job = new (memory) Job();
    job->arena = arena;
    arena->Hold();
    for (FileList* list : {&job->inputs, &job->outputs, &job->failedOutputs}) list->arena = arena;
    for (DataBlock* block : {&job->data, &job->environmentPrefix, &job->environmentSuffix, &job->environmentReplace})
        block->arena = arena;
    job->name = arena->CopyText(name, length);
    if (job->name == nullptr) {
        DestroyJob(job);
        return nullptr;
    }
    return job;
}

bool AppendJobMachine(Job& job, Machine* machine) {
    if (job.machinesEnd == job.machinesLimit) {
        const size_t count = job.machineCount();
        const size_t capacity = job.machines == nullptr ? kFirstJobMachines : 2 * count;
        auto* grown = static_cast<JobMachine*>(std::realloc(job.machines, capacity * sizeof(JobMachine)));
        if (grown == nullptr) return false;
        job.machines = grown;
        job.machinesEnd = grown + count;
        job.machinesLimit = grown + capacity;
    }
    *job.machinesEnd++ = JobMachine{machine, 0, 0, 0};
    return true;
}

void DestroyJob(Job* job) {
    if (job == nullptr) return;
    ReleasePreparation(*job);
    ReleaseCommandList(job->commands);
    job->relativeDirectory.Release();
    job->rootDirectory.Release();
    ReleaseMembers(job->data);
    ReleaseMembers(job->environmentPrefix);
    ReleaseMembers(job->environmentSuffix);
    ReleaseMembers(job->environmentReplace);
    ReleaseFileListEntries(job->inputs);
    ReleaseFileListEntries(job->outputs);
    ReleaseFileListEntries(job->failedOutputs);
    std::free(job->developmentEnvironment);
    job->strings.release();
    std::free(job->directoryText);
    std::free(job->machines);
    // Last: the record, and the paths released above, are the arena's.
    ScriptArena* arena = job->arena;
    job->~Job();
    arena->Drop();
}

void DestroyJobEntry(NameTableEntry* entry) {
    DestroyJob(static_cast<Job*>(entry->value));
    std::free(const_cast<char*>(entry->key));
}

}  // namespace kestrel
