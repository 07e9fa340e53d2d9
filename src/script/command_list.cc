#include "script/command_list.h"

#include "script/objects.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace kestrel {

namespace {

constexpr uint32_t kFirstCommands = 2;
constexpr uint32_t kFirstParts = 2;
constexpr uint32_t kFirstParameterBytes = 128;

// Doubles a malloc'd array of trivially copyable records; false when it cannot grow.
template <typename T>
bool Grow(T*& first, T*& end, T*& limit, uint32_t firstSize) {
    const size_t count = static_cast<size_t>(end - first);
    const size_t capacity = first == nullptr ? firstSize : 2 * static_cast<size_t>(limit - first);
    if (capacity > UINT32_MAX / sizeof(T)) return false;
    auto* grown = static_cast<T*>(std::malloc(capacity * sizeof(T)));
    if (grown == nullptr) return false;
    if (count > 0) std::memcpy(static_cast<void*>(grown), first, count * sizeof(T));
    std::free(first);
    first = grown;
    end = grown + count;
    limit = grown + capacity;
    return true;
}

}  // namespace

const char* TextPool::add(const char* text, uint32_t length, uint32_t firstSize) {
    const uint64_t needed = static_cast<uint64_t>(length) + 1;
    TextChunk* chunk = chunks;
    if (chunk == nullptr || chunk->capacity - chunk->used < needed) {
        uint64_t capacity = chunk == nullptr ? firstSize : 2ull * lastCapacity;
        if (capacity < needed) capacity = needed;
        if (capacity > UINT32_MAX) return nullptr;
        void* memory = std::malloc(sizeof(TextChunk) + capacity);
        if (memory == nullptr) return nullptr;
        chunk = static_cast<TextChunk*>(memory);
        chunk->next = chunks;
        chunk->used = 0;
        chunk->capacity = static_cast<uint32_t>(capacity);
        chunks = chunk;
        lastCapacity = chunk->capacity;
    }
    char* copy = chunk->bytes() + chunk->used;
    if (length > 0) std::memcpy(copy, text, length);
    copy[length] = '\0';
    chunk->used += static_cast<uint32_t>(needed);
    return copy;
}

const char* TextPool::intern(const char* text, uint32_t length, uint32_t firstSize) {
    for (TextChunk* chunk = chunks; chunk != nullptr; chunk = chunk->next) {
        const char* at = chunk->bytes();
        const char* end = at + chunk->used;
        while (at < end) {
            const size_t held = std::strlen(at);
            if (held == length && std::memcmp(at, text, length) == 0) return at;
            at += held + 1;
        }
    }
    return add(text, length, firstSize);
}

void TextPool::release() {
    while (chunks != nullptr) {
        TextChunk* next = chunks->next;
        std::free(chunks);
        chunks = next;
    }
    lastCapacity = 0;
}

Command* AppendCommand(CommandList& list) {
    if (list.commandsEnd == list.commandsLimit &&
        !Grow(list.commands, list.commandsEnd, list.commandsLimit, kFirstCommands)) {
        return nullptr;
    }
    Command* command = list.commandsEnd++;
    std::memset(static_cast<void*>(command), 0, sizeof *command);
    return command;
}

ArgumentPart* AppendPart(Command& command) {
    if (command.partsEnd == command.partsLimit &&
        !Grow(command.parts, command.partsEnd, command.partsLimit, kFirstParts)) {
        return nullptr;
    }
    ArgumentPart* part = command.partsEnd++;
    std::memset(static_cast<void*>(part), 0, sizeof *part);
    return part;
}

bool ReserveParts(Command& command, uint32_t count) {
    if (count == 0) return true;
    command.parts = static_cast<ArgumentPart*>(std::malloc(static_cast<size_t>(count) * sizeof(ArgumentPart)));
    if (command.parts == nullptr) return false;
    command.partsEnd = command.parts;
    command.partsLimit = command.parts + count;
    return true;
}

void ReleaseCommandList(CommandList& list) {
    for (Command* command = list.commands; command != list.commandsEnd; ++command) std::free(command->parts);
    std::free(list.commands);
    list.commands = list.commandsEnd = list.commandsLimit = nullptr;
    list.text.release();
}

const char* NextParameter(const char* name) {
    const char* next = name + std::strlen(name) + 1;
    return *next != '\0' ? next : nullptr;
}

const char* FindParameter(const Step& step, const char* name, uint32_t length) {
    for (const char* formal = step.firstParameter(); formal != nullptr; formal = NextParameter(formal)) {
        if (std::strlen(formal) == length && std::memcmp(formal, name, length) == 0) return formal;
    }
    return nullptr;
}

bool AppendParameter(Step& step, const char* name, uint32_t length) {
    return AppendTerminatedString(step.parameterNames, step.parameterEnd, step.parameterLimit, name, length,
                                  kFirstParameterBytes);
}

Step* NewStep() { return new (std::nothrow) Step(); }

void DestroyStep(Step* step) {
    if (step == nullptr) return;
    std::free(step->parameterNames);
    step->strings.release();
    ReleaseCommandList(step->commands);
    delete step;
}

void DestroyStepEntry(NameTableEntry* entry) {
    DestroyStep(static_cast<Step*>(entry->value));
    std::free(const_cast<char*>(entry->key));
}

}  // namespace kestrel
