#include "archive/archive_memory.h"

#include <cstring>
#include <mutex>

#include "runtime/block_pool.h"

namespace kestrel {

namespace {

// The block pool itself is single-threaded; the agent runs archives on one
// thread per connection, so the archive's use of it is serialized here.
std::mutex gPoolLock;

}  // namespace

bool AllocateArchiveBuffer(uint32_t size, ArchiveBuffer& buffer) {
    PageDescriptor* descriptor = nullptr;
    void* pointer = nullptr;
    {
        std::lock_guard<std::mutex> hold(gPoolLock);
        if (!ProcessBlockPool().Allocate(size == 0 ? 1 : size, descriptor, pointer)) return false;
    }
    FreeArchiveBuffer(buffer);
    buffer.data = static_cast<uint8_t*>(pointer);
    buffer.capacity = size;
    buffer.descriptor = descriptor;
    return true;
}

bool GrowArchiveBuffer(uint32_t size, uint32_t keep, ArchiveBuffer& buffer) {
    if (size <= buffer.capacity) return true;
    ArchiveBuffer grown;
    if (!AllocateArchiveBuffer(size, grown)) return false;
    if (keep > 0) std::memcpy(grown.data, buffer.data, keep);
    FreeArchiveBuffer(buffer);
    buffer = grown;
    return true;
}

void FreeArchiveBuffer(ArchiveBuffer& buffer) {
    if (buffer.data != nullptr) {
        std::lock_guard<std::mutex> hold(gPoolLock);
        ProcessBlockPool().Free(static_cast<PageDescriptor*>(buffer.descriptor), buffer.data);
    }
    buffer = ArchiveBuffer{};
}

}  // namespace kestrel
