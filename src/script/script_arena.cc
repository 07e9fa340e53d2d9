#include "script/script_arena.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/large_region.h"

namespace kestrel {

namespace {

constexpr size_t kChunkSize = 64 * 1024;
// Past this much in heap chunks the arena takes large regions that the
// system may back with huge pages: a big script then pays one page fault per
// region rather than one per 4 KiB page, which is a good part of the time a
// build with nothing to do takes (a small script stays on the heap).
constexpr size_t kLargeAfter = 4 * 1024 * 1024;
constexpr size_t kAlignment = alignof(void*);

}  // namespace

ScriptArena* ScriptArena::New() { return new (std::nothrow) ScriptArena(); }

ScriptArena::ScriptArena() : nodes_{AllocateNode, nullptr, this} {}

ScriptArena::~ScriptArena() {
    while (chunks_ != nullptr) {
        Chunk* next = chunks_->next;
        if (chunks_->large)
            platform::UnmapLargeRegion(chunks_);
        else
            std::free(chunks_);
        chunks_ = next;
    }
}

void ScriptArena::Drop() {
    if (--holders_ == 0) delete this;
}

// A new chunk to carve from: a large region once the arena has grown, else
// kChunkSize from the heap. Null when memory ran out.
ScriptArena::Chunk* ScriptArena::NewChunk(size_t& room) {
    if (chunkBytes_ >= kLargeAfter) {
        if (void* region = platform::MapLargeRegion()) {
            room = platform::kLargeRegionSize - sizeof(Chunk);
            return new (region) Chunk{nullptr, true};
        }
    }
    void* memory = std::malloc(sizeof(Chunk) + kChunkSize);
    if (memory == nullptr) return nullptr;
    chunkBytes_ += kChunkSize;
    room = kChunkSize;
    return new (memory) Chunk{nullptr, false};
}

void* ScriptArena::Take(size_t size) {
    size = (size + kAlignment - 1) & ~(kAlignment - 1);
    if (static_cast<size_t>(end_ - next_) < size) {
        // A piece larger than a quarter chunk gets a chunk of its own, so
        // the room left in the current chunk is not thrown away.
        if (size > kChunkSize / 4) {
            void* memory = std::malloc(sizeof(Chunk) + size);
            if (memory == nullptr) return nullptr;
            auto* own = new (memory) Chunk{nullptr, false};
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
