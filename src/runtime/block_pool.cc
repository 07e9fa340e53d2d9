#include "runtime/block_pool.h"

#include <cstring>
#include <new>

#include "platform/memory.h"

namespace kestrel {

namespace {

constexpr uint32_t kSmallestClass = 16;
constexpr uint32_t kLargestClass = kSmallestClass << (kBlockPoolClassCount - 1);
constexpr size_t kGranularity = platform::kAllocationGranularity;

// Index of the smallest class that holds `size`; size <= kLargestClass.
uint32_t ClassIndex(size_t size) {
    uint32_t index = 0;
    for (size_t classSize = kSmallestClass; classSize < size; classSize *= 2) ++index;
    return index;
}

bool IsLarge(const PageDescriptor* descriptor) { return descriptor->objectSize >= kBlockPoolPageSize; }

size_t MappedSize(const PageDescriptor* descriptor) {
    return IsLarge(descriptor) ? descriptor->objectSize : kBlockPoolPageSize;
}

void* TakeObject(PageDescriptor* page) {
    void* object = page->freeList;
    if (object != nullptr) {
        std::memcpy(&page->freeList, object, sizeof(void*));
    } else {
        object = page->nextUnused;
        page->nextUnused += page->objectSize;
        if (page->nextUnused == page->base + kBlockPoolPageSize) page->nextUnused = nullptr;
    }
    --page->available;
    return object;
}

void LinkPage(PageDescriptor*& head, PageDescriptor* page) {
    page->previous = nullptr;
    page->next = head;
    if (head != nullptr) head->previous = page;
    head = page;
}

void UnlinkPage(PageDescriptor*& head, PageDescriptor* page) {
    if (page->previous != nullptr)
        page->previous->next = page->next;
    else
        head = page->next;
    if (page->next != nullptr) page->next->previous = page->previous;
    page->next = page->previous = nullptr;
}

}  // namespace

BlockPool::~BlockPool() {
    for (DescriptorBlock* block = &first_; block != nullptr;) {
        DescriptorBlock* next = block->next;
        // Every descriptor ever handed out is either in use or recycled; both
        // may still hold memory.
        for (uint32_t i = 0; i < block->nextUnused; ++i) {
            PageDescriptor* descriptor = &block->descriptors[i];
            platform::UnmapMemory(descriptor->base, MappedSize(descriptor));
        }
        if (block != &first_) platform::UnmapMemory(block, kDescriptorBlockSize);
        block = next;
    }
}

PageDescriptor* BlockPool::AcquireDescriptor() {
    DescriptorBlock* block = current_ != nullptr ? current_ : &first_;
    for (;;) {
        PageDescriptor* descriptor = block->recycled;
        if (descriptor != nullptr) {
            block->recycled = descriptor->next;
        } else if (block->nextUnused < kDescriptorsPerBlock) {
            descriptor = &block->descriptors[block->nextUnused++];
            descriptor->block = block;
            descriptor->base = nullptr;
        }
        if (descriptor != nullptr) {
            ++block->inUse;
            descriptor->next = descriptor->previous = nullptr;
            return descriptor;
        }
        if (block->next == nullptr) {
            int error = 0;
            void* memory = platform::MapMemory(kDescriptorBlockSize, error);
            if (memory == nullptr) return nullptr;
            auto* fresh = new (memory) DescriptorBlock{};
            fresh->previous = block;
            block->next = fresh;
        }
        block = block->next;
        current_ = block;
    }
}

void BlockPool::ReturnDescriptor(PageDescriptor* descriptor) {
    DescriptorBlock* block = descriptor->block;
    descriptor->next = block->recycled;
    block->recycled = descriptor;
    if (--block->inUse != 0 || block == &first_) return;
    // Every descriptor of a later block is free again: give back the pages the
    // recycled ones kept, then the block itself.
    for (PageDescriptor* recycled = block->recycled; recycled != nullptr; recycled = recycled->next)
        platform::UnmapMemory(recycled->base, MappedSize(recycled));
    block->previous->next = block->next;
    if (block->next != nullptr) block->next->previous = block->previous;
    if (current_ == block) current_ = block->previous;
    platform::UnmapMemory(block, kDescriptorBlockSize);
}

bool BlockPool::AllocateLarge(size_t size, PageDescriptor*& descriptor, void*& pointer) {
    if (size > UINT32_MAX - (kGranularity - 1)) return false;  // the region size is kept in 32 bits
    const size_t rounded = (size + kGranularity - 1) / kGranularity * kGranularity;
    PageDescriptor* fresh = AcquireDescriptor();
    if (fresh == nullptr) return false;
    // A recycled small page is of no use to a region of another size.
    platform::UnmapMemory(fresh->base, MappedSize(fresh));
    fresh->base = nullptr;
    int error = 0;
    void* region = platform::MapMemory(rounded, error);
    if (region == nullptr) {
        ReturnDescriptor(fresh);
        return false;
    }
    fresh->base = static_cast<unsigned char*>(region);
    fresh->freeList = nullptr;
    fresh->nextUnused = nullptr;
    fresh->available = 0;
    fresh->objectSize = static_cast<uint32_t>(rounded);
    descriptor = fresh;
    pointer = region;
    return true;
}

bool BlockPool::Allocate(size_t size, PageDescriptor*& descriptor, void*& pointer) {
    if (size > kLargestClass) return AllocateLarge(size, descriptor, pointer);
    const uint32_t index = ClassIndex(size);
    for (DescriptorBlock* block = &first_; block != nullptr; block = block->next) {
        for (PageDescriptor* page = block->classes[index]; page != nullptr; page = page->next) {
            if (page->available == 0) continue;
            descriptor = page;
            pointer = TakeObject(page);
            return true;
        }
    }
    PageDescriptor* page = AcquireDescriptor();
    if (page == nullptr) return false;
    if (page->base == nullptr) {  // a recycled small page keeps its memory for reuse
        int error = 0;
        page->base = static_cast<unsigned char*>(platform::MapMemory(kBlockPoolPageSize, error));
        if (page->base == nullptr) {
            ReturnDescriptor(page);
            return false;
        }
    }
    const uint32_t objectSize = kSmallestClass << index;
    page->objectSize = objectSize;
    page->freeList = nullptr;
    page->nextUnused = page->base + objectSize;
    page->available = kBlockPoolPageSize / objectSize - 1;
    LinkPage(page->block->classes[index], page);
    descriptor = page;
    pointer = page->base;
    return true;
}

void BlockPool::Free(PageDescriptor* descriptor, void* pointer) {
    if (IsLarge(descriptor)) {
        platform::UnmapMemory(descriptor->base, descriptor->objectSize);
        descriptor->base = nullptr;
        ReturnDescriptor(descriptor);
        return;
    }
    std::memcpy(pointer, &descriptor->freeList, sizeof(void*));
    descriptor->freeList = pointer;
    if (++descriptor->available < kBlockPoolPageSize / descriptor->objectSize) return;
    UnlinkPage(descriptor->block->classes[ClassIndex(descriptor->objectSize)], descriptor);
    ReturnDescriptor(descriptor);
}

uint32_t BlockPool::DescriptorBlockCount() const {
    uint32_t count = 0;
    for (const DescriptorBlock* block = &first_; block != nullptr; block = block->next) ++count;
    return count;
}

namespace {

// Constant-initialised and never destroyed, like the segment pool.
union ProcessPool {
    constexpr ProcessPool() : pool() {}
    ~ProcessPool() {}
    BlockPool pool;
};
constinit ProcessPool gProcessPool;

}  // namespace

BlockPool& ProcessBlockPool() { return gProcessPool.pool; }

}  // namespace kestrel
