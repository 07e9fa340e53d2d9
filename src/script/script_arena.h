// ScriptArena: the path nodes and path texts of a script's jobs, carved from
// large chunks and freed all at once when the last holder is gone. A job's
// files are many small pieces (a text and a node for every component of
// every file) that all live exactly as long as the job, so none of them is
// freed on its own. The scheduler keeps its file records in one too.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/path.h"

namespace kestrel {

class ScriptArena {
public:
    // An arena with one holder (the caller); null when memory ran out.
    static ScriptArena* New();

    void Hold() { ++holders_; }
    // The last drop frees the arena and everything carved from it.
    void Drop();

    // Nodes for paths that live as long as one of the holders: a path using
    // them gives nothing back on Release.
    const NodeAllocator* Nodes() const { return &nodes_; }
    // A NUL-terminated copy of `length` bytes; null when memory ran out.
    char* CopyText(const char* text, uint32_t length);
    // Room for `length` bytes and a terminator; null when memory ran out.
    char* NewText(uint32_t length) { return static_cast<char*>(Take(static_cast<size_t>(length) + 1)); }
    // `size` bytes aligned for a pointer; null when memory ran out.
    void* Take(size_t size);

private:
    struct Chunk {
        Chunk* next;
        bool large;  // a platform large region, else from the heap
    };

    ScriptArena();
    ~ScriptArena();
    Chunk* NewChunk(size_t& room);
    static void* AllocateNode(void* arena);

    NodeAllocator nodes_;
    Chunk* chunks_ = nullptr;
    char* next_ = nullptr;  // free room in the newest chunk
    char* end_ = nullptr;
    size_t chunkBytes_ = 0;  // taken in heap chunks so far
    uint32_t holders_ = 1;
};

}  // namespace kestrel
