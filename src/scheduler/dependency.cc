#include "scheduler/dependency.h"

#include <cstdlib>
#include <cstring>

namespace kestrel {

namespace {

// Most files have one consumer; the first outgrowing one gets room for four.
constexpr uint32_t kFirstHeapConsumers = 4;

DependencyPair* InsideConsumers(ScheduledFile* file) { return reinterpret_cast<DependencyPair*>(file + 1); }

void DestroyScheduledFileEntry(NameTableEntry* entry) { DestroyScheduledFile(static_cast<ScheduledFile*>(entry->value)); }

char* CopyInto(char* at, const char* text, uint32_t length) {
    std::memcpy(at, text, length);
    at[length] = '\0';
    return at;
}

}  // namespace

ScheduledFile* NewScheduledFile(const char* key, uint32_t keyLength, const char* path, uint32_t pathLength) {
    static_assert(alignof(DependencyPair) <= alignof(ScheduledFile));
    const bool samePath = keyLength == pathLength && std::memcmp(key, path, keyLength) == 0;
    const size_t size = sizeof(ScheduledFile) + sizeof(DependencyPair) + keyLength + 1 + (samePath ? 0 : pathLength + 1);
    auto* file = static_cast<ScheduledFile*>(std::malloc(size));
    if (file == nullptr) return nullptr;
    char* text = reinterpret_cast<char*>(InsideConsumers(file) + 1);
    const char* keyCopy = CopyInto(text, key, keyLength);
    const char* pathCopy = samePath ? keyCopy : CopyInto(text + keyLength + 1, path, pathLength);
    *file = ScheduledFile{keyCopy, pathCopy, DependencyPair{nullptr, nullptr}, InsideConsumers(file), 0, 1, nullptr, 0,
                          pathLength};
    return file;
}

bool ScheduledFile::spelledAs(const char* text, uint32_t length) const {
    return length == pathLength && std::memcmp(text, path, length) == 0;
}

bool AddConsumer(ScheduledFile& file, Job* job, int64_t* slot) {
    if (file.consumerCount == file.consumerCapacity) {
        const uint64_t capacity = file.consumerCapacity < kFirstHeapConsumers ? kFirstHeapConsumers
                                                                               : 2ull * file.consumerCapacity;
        if (capacity > UINT32_MAX) return false;
        auto* grown = static_cast<DependencyPair*>(std::malloc(capacity * sizeof(DependencyPair)));
        if (grown == nullptr) return false;
        std::memcpy(grown, file.consumers, file.consumerCount * sizeof(DependencyPair));
        if (file.consumers != InsideConsumers(&file)) std::free(file.consumers);
        file.consumers = grown;
        file.consumerCapacity = static_cast<uint32_t>(capacity);
    }
    file.consumers[file.consumerCount++] = DependencyPair{job, slot};
    return true;
}

bool InsertScheduledFile(NameTable& table, ScheduledFile* file) {
    return table.Insert(file->key, file, DestroyScheduledFileEntry);
}

void DestroyScheduledFile(ScheduledFile* file) {
    if (file == nullptr) return;
    if (file->consumers != InsideConsumers(file)) std::free(file->consumers);
    std::free(file);
}

const Path& PathOfSlot(const Job& job, const int64_t* slot) {
    const auto index = static_cast<uint32_t>(slot - job.timeSlots);
    if (index < job.preparedInputCount) return job.preparedInputs[index];
    return job.preparedOutputs[index - job.preparedInputCount];
}

}  // namespace kestrel
