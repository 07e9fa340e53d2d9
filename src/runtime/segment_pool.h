// SegmentPool: fixed 48-byte nodes (path components) carved from 64 KiB
// blocks without heap calls. The first block is part of the pool itself.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel {

class SegmentPool;

inline constexpr uint32_t kSegmentNodeSize = 48;
inline constexpr uint32_t kSegmentBlockSize = 65536;
inline constexpr uint32_t kSegmentNodesPerBlock = 1364;
// Inside a node the pool owns two pointer-sized words: the first (the
// free-list link while the node is free) and the sixth (the owning block,
// written into every node handed out). The node's owner uses the rest.
inline constexpr size_t kSegmentLinkOffset = 0;
inline constexpr size_t kSegmentBlockOffset = 5 * sizeof(void*);

struct SegmentBlock {
    alignas(void*) unsigned char nodes[kSegmentNodesPerBlock * kSegmentNodeSize];
    // Footer.
    void* freeList;
    uint32_t nextUnused;  // index of the next never-used node; kSegmentNodesPerBlock once all were handed out
    SegmentBlock* next;
    SegmentPool* pool;    // lets a node go back knowing only its block
    uint32_t index;       // position in the chain, the first block 0
};
static_assert(sizeof(SegmentBlock) <= kSegmentBlockSize);

class SegmentPool {
public:
    constexpr SegmentPool() { first_.pool = this; }
    // Gives back the blocks mapped after the first one.
    ~SegmentPool();
    SegmentPool(const SegmentPool&) = delete;
    SegmentPool& operator=(const SegmentPool&) = delete;

    // A node with its owning block set, or null when the system refuses a new block.
    void* Allocate();
    // Pushes the node on its block's free list; that block becomes current.
    static void Free(void* node);

    // Inspection for tests and diagnostics.
    static const SegmentBlock* BlockOf(const void* node);
    const SegmentBlock* CurrentBlock() const { return current_ != nullptr ? current_ : &first_; }
    const SegmentBlock* FirstBlock() const { return &first_; }

private:
    static void* TakeFrom(SegmentBlock& block);

    SegmentBlock first_{};
    SegmentBlock* current_ = nullptr;  // null: the first block
    // Every block before this one in the chain is full (null: the first
    // block), so a search for room starts here rather than at the front.
    SegmentBlock* searchStart_ = nullptr;
    SegmentBlock* last_ = nullptr;  // null: the first block
};

// The process-wide pool, never destroyed.
SegmentPool& ProcessSegmentPool();

}  // namespace kestrel
