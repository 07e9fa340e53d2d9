#include "scheduler/dependency.h"

#include <cstdlib>
#include <cstring>

namespace kestrel {

namespace {

DependencyPair* InsidePairs(DependencyRecord* record) { return reinterpret_cast<DependencyPair*>(record + 1); }

void DestroyDependencyEntry(NameTableEntry* entry) {
    DestroyDependencyRecord(static_cast<DependencyRecord*>(entry->value));
}

}  // namespace

DependencyRecord* NewDependencyRecord(const char* key, uint32_t keyLength, uint32_t room, Job* job, int64_t* slot) {
    static_assert(alignof(DependencyPair) <= alignof(DependencyRecord));
    const size_t size = sizeof(DependencyRecord) + room * sizeof(DependencyPair) + keyLength + 1;
    auto* record = static_cast<DependencyRecord*>(std::malloc(size));
    if (record == nullptr) return nullptr;
    DependencyPair* pairs = InsidePairs(record);
    char* keyCopy = reinterpret_cast<char*>(pairs + room);
    std::memcpy(keyCopy, key, keyLength);
    keyCopy[keyLength] = '\0';
    *record = DependencyRecord{keyCopy, pairs, 1, room};
    pairs[0] = DependencyPair{job, slot};
    return record;
}

bool AddDependency(DependencyRecord& record, Job* job, int64_t* slot) {
    if (record.count == record.capacity) {
        const uint64_t capacity = 2ull * record.capacity;
        if (capacity > UINT32_MAX) return false;
        auto* grown = static_cast<DependencyPair*>(std::malloc(capacity * sizeof(DependencyPair)));
        if (grown == nullptr) return false;
        std::memcpy(grown, record.pairs, record.count * sizeof(DependencyPair));
        if (record.pairs != InsidePairs(&record)) std::free(record.pairs);
        record.pairs = grown;
        record.capacity = static_cast<uint32_t>(capacity);
    }
    record.pairs[record.count++] = DependencyPair{job, slot};
    return true;
}

bool InsertDependency(NameTable& table, DependencyRecord* record) {
    return table.Insert(record->key, record, DestroyDependencyEntry);
}

void DestroyDependencyRecord(DependencyRecord* record) {
    if (record == nullptr) return;
    if (record->pairs != InsidePairs(record)) std::free(record->pairs);
    std::free(record);
}

const Path& PathOfSlot(const Job& job, const int64_t* slot) {
    const auto index = static_cast<uint32_t>(slot - job.timeSlots);
    if (index < job.preparedInputCount) return job.preparedInputs[index];
    return job.preparedOutputs[index - job.preparedInputCount];
}

}  // namespace kestrel
