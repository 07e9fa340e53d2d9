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

void* ScriptArena::Take(size_t size) {
    size = (size + kAlignment - 1) & ~(kAlignment - 1);
    if (static_cast<size_t>(end_ - next_) < size) {
        // A piece larger than a quarter chunk gets a chunk of its own, so
        // the room left in the current chunk is not thrown away.
        const bool own = size > kChunkSize / 4;
        const size_t room = own ? size : kChunkSize;
        auto* chunk = static_cast<Chunk*>(std::malloc(sizeof(Chunk) + room));
        if (chunk == nullptr) return nullptr;
        char* start = reinterpret_cast<char*>(chunk + 1);
        if (own) {
            // Behind the newest chunk, which stays the one pieces come from.
            chunk->next = chunks_ != nullptr ? chunks_->next : nullptr;
            if (chunks_ != nullptr)
                chunks_->next = chunk;
            else
                chunks_ = chunk;
            return start;
        }
        chunk->next = chunks_;
        chunks_ = chunk;
        next_ = start;
        end_ = start + room;
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
