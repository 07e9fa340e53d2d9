#include "runtime/segment_pool.h"

#include <cstring>
#include <new>

#include "platform/memory.h"

namespace kestrel {

namespace {

// The pool's words are read and written as raw bytes: the rest of the node
// belongs to whatever record its owner builds there.
template <typename T>
T LoadWord(const void* node, size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const unsigned char*>(node) + offset, sizeof value);
    return value;
}

template <typename T>
void StoreWord(void* node, size_t offset, T value) {
    std::memcpy(static_cast<unsigned char*>(node) + offset, &value, sizeof value);
}

}  // namespace

SegmentPool::~SegmentPool() {
    for (SegmentBlock* block = first_.next; block != nullptr;) {
        SegmentBlock* next = block->next;
        platform::UnmapMemory(block, kSegmentBlockSize);
        block = next;
    }
}

const SegmentBlock* SegmentPool::BlockOf(const void* node) {
    return LoadWord<const SegmentBlock*>(node, kSegmentBlockOffset);
}

void* SegmentPool::TakeFrom(SegmentBlock& block) {
    void* node = block.freeList;
    if (node != nullptr) {
        block.freeList = LoadWord<void*>(node, kSegmentLinkOffset);
    } else if (block.nextUnused < kSegmentNodesPerBlock) {
        node = block.nodes + static_cast<size_t>(block.nextUnused++) * kSegmentNodeSize;
    } else {
        return nullptr;
    }
    StoreWord(node, kSegmentBlockOffset, &block);
    return node;
}

void* SegmentPool::Allocate() {
    SegmentBlock* current = current_ != nullptr ? current_ : &first_;
    if (void* node = TakeFrom(*current)) return node;
    // The first block with room, skipping the front of the chain known to be full.
    for (SegmentBlock* block = searchStart_ != nullptr ? searchStart_ : &first_; block != nullptr; block = block->next) {
        current_ = searchStart_ = block;
        if (void* node = TakeFrom(*block)) return node;
    }
    int error = 0;
    void* memory = platform::MapMemory(kSegmentBlockSize, error);
    if (memory == nullptr) return nullptr;
    SegmentBlock* last = last_ != nullptr ? last_ : &first_;
    auto* block = new (memory) SegmentBlock{};
    block->pool = this;
    block->index = last->index + 1;
    last->next = block;
    last_ = current_ = searchStart_ = block;
    return TakeFrom(*block);
}

void SegmentPool::Free(void* node) {
    auto* block = LoadWord<SegmentBlock*>(node, kSegmentBlockOffset);
    StoreWord(node, kSegmentLinkOffset, block->freeList);
    block->freeList = node;
    SegmentPool& pool = *block->pool;
    pool.current_ = block;
    if (pool.searchStart_ != nullptr && block->index < pool.searchStart_->index) pool.searchStart_ = block;
}

namespace {

// Constant-initialised before anything runs and never destroyed, so nodes
// stay valid for whatever still holds them at exit.
union ProcessPool {
    constexpr ProcessPool() : pool() {}
    ~ProcessPool() {}
    SegmentPool pool;
};
constinit ProcessPool gProcessPool;

}  // namespace

SegmentPool& ProcessSegmentPool() { return gProcessPool.pool; }

}  // namespace kestrel
