// BlockPool: a size-class allocator on 64 KiB pages of mapped memory, for the
// archive reader's buffers. Objects of one class share a page; sizes above
// the largest class get a region of their own. An allocation is identified by
// its pointer and its page descriptor, and both are given back to free it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/process.h"

namespace kestrel {

inline constexpr uint32_t kBlockPoolPageSize = 65536;
inline constexpr uint32_t kDescriptorBlockSize = 65536;
inline constexpr uint32_t kDescriptorsPerBlock = 1167;
inline constexpr uint32_t kBlockPoolMaxClasses = 12;

// 16 to 2048 bytes always; 4096 to 32768 only where the allocation
// granularity is at least twice the class size.
constexpr uint32_t BlockPoolClassCount(uint32_t granularity) {
    uint32_t count = 8;
    for (uint32_t size = 4096; size <= 32768 && granularity >= 2 * size; size *= 2) ++count;
    return count;
}
inline constexpr uint32_t kBlockPoolClassCount = BlockPoolClassCount(platform::kAllocationGranularity);

struct DescriptorBlock;

struct PageDescriptor {
    DescriptorBlock* block;     // owning descriptor block
    PageDescriptor* next;       // next page of the class; next recycled descriptor while recycled
    PageDescriptor* previous;   // previous page of the class
    unsigned char* base;        // page or large region; a recycled small page keeps its memory
    void* freeList;             // freed objects, linked through their first word
    unsigned char* nextUnused;  // next never-used object; null at the page end
    uint32_t available;         // objects still available; 0 for a large region
    uint32_t objectSize;        // class size, or the region size (65536 or more) for a large region
};

struct DescriptorBlock {
    DescriptorBlock* next;
    DescriptorBlock* previous;
    PageDescriptor* recycled;
    uint32_t nextUnused;  // index of the next never-used descriptor
    PageDescriptor* classes[kBlockPoolMaxClasses];  // pages of each class that are not entirely free
    PageDescriptor descriptors[kDescriptorsPerBlock];
    // Descriptors handed out and not given back. Counting those in use rather
    // than those free keeps an all-zero block a valid empty one.
    uint32_t inUse;
};
static_assert(sizeof(DescriptorBlock) <= kDescriptorBlockSize);

class BlockPool {
public:
    constexpr BlockPool() = default;
    // Gives back every page, region and descriptor block it mapped.
    ~BlockPool();
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    // False when the system refuses memory.
    bool Allocate(size_t size, PageDescriptor*& descriptor, void*& pointer);
    void Free(PageDescriptor* descriptor, void* pointer);

    // Inspection for tests and diagnostics.
    uint32_t DescriptorBlockCount() const;

private:
    PageDescriptor* AcquireDescriptor();
    void ReturnDescriptor(PageDescriptor* descriptor);
    bool AllocateLarge(size_t size, PageDescriptor*& descriptor, void*& pointer);

    DescriptorBlock first_{};
    DescriptorBlock* current_ = nullptr;  // null: the first block
};

// The process-wide pool, never destroyed.
BlockPool& ProcessBlockPool();

}  // namespace kestrel
