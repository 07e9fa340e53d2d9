#include "client/remote_job.h"

#include <cstdlib>
#include <new>

#include "client/connection.h"
#include "client/stages.h"

namespace kestrel {

struct RemoteJobPool::Block {
    Block* next;
    uint32_t count;
    // `count` records follow.
    RemoteJob* records() { return reinterpret_cast<RemoteJob*>(this + 1); }
};

namespace {

constexpr uint32_t kFirstPoolBlock = 20;

}  // namespace

RemoteJob* RemoteJobPool::Take() {
    if (free == nullptr) {
        // The pool doubles: a new block as large as all the records so far.
        const uint32_t count = capacity == 0 ? kFirstPoolBlock : capacity;
        void* memory = std::malloc(sizeof(Block) + sizeof(RemoteJob) * count);
        if (memory == nullptr) return nullptr;
        Block* block = static_cast<Block*>(memory);
        block->next = blocks;
        block->count = count;
        blocks = block;
        capacity += count;
        RemoteJob* records = block->records();
        for (uint32_t i = 0; i < count; ++i) {
            RemoteJob* record = new (&records[i]) RemoteJob{};
            record->next = free;
            free = record;
        }
    }
    RemoteJob* record = free;
    free = record->next;
    *record = RemoteJob{};
    return record;
}

void RemoteJobPool::Give(RemoteJob* record) {
    *record = RemoteJob{};
    record->next = free;
    free = record;
}

void RemoteJobPool::Release() {
    while (blocks != nullptr) {
        Block* next = blocks->next;
        std::free(blocks);
        blocks = next;
    }
    free = nullptr;
    capacity = 0;
}

JobList& StageList(Connection& connection, Stage stage) {
    return connection.stages[static_cast<uint32_t>(stage)];
}

void UnlinkJob(RemoteJob& job) {
    if (job.stage == Stage::Pooled) return;
    JobList& list = StageList(*job.connection, job.stage);
    if (job.previous != nullptr) job.previous->next = job.next;
    else list.head = job.next;
    if (job.next != nullptr) job.next->previous = job.previous;
    job.next = job.previous = nullptr;
    --list.count;
    job.stage = Stage::Pooled;
}

void MoveJob(RemoteJob& job, Stage stage) {
    UnlinkJob(job);
    JobList& list = StageList(*job.connection, stage);
    job.previous = nullptr;
    job.next = list.head;
    if (list.head != nullptr) list.head->previous = &job;
    list.head = &job;
    ++list.count;
    job.stage = stage;
}

}  // namespace kestrel
