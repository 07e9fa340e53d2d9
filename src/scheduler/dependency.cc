#include "scheduler/dependency.h"

#include <cstdlib>
#include <cstring>

namespace kestrel {

namespace {

// Most files have one consumer; the first outgrowing one gets room for four.
constexpr uint32_t kFirstMoreConsumers = 4;

DependencyPair* InsideConsumers(ScheduledFile* file) { return reinterpret_cast<DependencyPair*>(file + 1); }

char* CopyInto(char* at, const char* text, uint32_t length) {
    std::memcpy(at, text, length);
    at[length] = '\0';
    return at;
}

}  // namespace

ScheduledFile* NewScheduledFile(ScriptArena& arena, const char* key, uint32_t keyLength, const char* path,
                                uint32_t pathLength) {
    static_assert(alignof(DependencyPair) <= alignof(ScheduledFile));
    const bool samePath = keyLength == pathLength && std::memcmp(key, path, keyLength) == 0;
    const size_t size = sizeof(ScheduledFile) + sizeof(DependencyPair) + keyLength + 1 + (samePath ? 0 : pathLength + 1);
    auto* file = static_cast<ScheduledFile*>(arena.Take(size));
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

bool AddConsumer(ScriptArena& arena, ScheduledFile& file, Job* job, int64_t* slot) {
    if (file.consumerCount == file.consumerCapacity) {
        const uint64_t capacity =
            file.consumerCapacity < kFirstMoreConsumers ? kFirstMoreConsumers : 2ull * file.consumerCapacity;
        if (capacity > UINT32_MAX / sizeof(DependencyPair)) return false;
        // The old array stays in the arena: consumer lists only grow.
        auto* grown = static_cast<DependencyPair*>(arena.Take(capacity * sizeof(DependencyPair)));
        if (grown == nullptr) return false;
        std::memcpy(grown, file.consumers, file.consumerCount * sizeof(DependencyPair));
        file.consumers = grown;
        file.consumerCapacity = static_cast<uint32_t>(capacity);
    }
    file.consumers[file.consumerCount++] = DependencyPair{job, slot};
    return true;
}

}  // namespace kestrel
