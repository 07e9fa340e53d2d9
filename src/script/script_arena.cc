#include "script/script_arena.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace kestrel {

namespace {

constexpr size_t kChunkSize = 64 * 1024;
constexpr size_t kAlignment = alignof(void*);

}  // namespace

ScriptArena* ScriptArena::New() { return new (std::nothrow) ScriptArena(); }

ScriptArena::ScriptArena() : nodes_{AllocateNode, nullptr, this} {}

ScriptArena::~ScriptArena() {
    while (chunks_ != nullptr) {
        Chunk* next = chunks_->next;
        std::free(chunks_);
        chunks_ = next;
    }
}

void ScriptArena::Drop() {
    if (--holders_ == 0) delete this;
}

// A new chunk of kChunkSize to carve from; null when memory ran out.
ScriptArena::Chunk* ScriptArena::NewChunk(size_t& room) {
    void* memory = std::malloc(sizeof(Chunk) + kChunkSize);
    if (memory == nullptr) return nullptr;
    room = kChunkSize;
    return new (memory) Chunk{nullptr};
}

void* ScriptArena::Take(size_t size) {
    size = (size + kAlignment - 1) & ~(kAlignment - 1);
    if (static_cast<size_t>(end_ - next_) < size) {
        // A piece larger than a quarter chunk gets a chunk of its own, so
        // the room left in the current chunk is not thrown away.
        if (size > kChunkSize / 4) {
            void* memory = std::malloc(sizeof(Chunk) + size);
            if (memory == nullptr) return nullptr;
            auto* own = new (memory) Chunk{nullptr};
            // Behind the newest chunk, which stays the one pieces come from.
            if (chunks_ != nullptr) {
                own->next = chunks_->next;
                chunks_->next = own;
            } else {
                chunks_ = own;
            }
            return own + 1;
        }
        size_t room = 0;
        Chunk* chunk = NewChunk(room);
        if (chunk == nullptr) return nullptr;
        chunk->next = chunks_;
        chunks_ = chunk;
        next_ = reinterpret_cast<char*>(chunk + 1);
        end_ = next_ + room;
    }
    void* piece = next_;
    next_ += size;
    return piece;
}

void* ScriptArena::AllocateNode(void* arena) {
    void* node = static_cast<ScriptArena*>(arena)->Take(kSegmentNodeSize);
    // No pool block owns it.
    if (node != nullptr) std::memset(static_cast<char*>(node) + kSegmentBlockOffset, 0, sizeof(void*));
    return node;
}

char* ScriptArena::CopyText(const char* text, uint32_t length) {
    auto* copy = static_cast<char*>(Take(static_cast<size_t>(length) + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

}  // namespace kestrel
