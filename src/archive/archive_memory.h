// Buffers of the archive writer and reader (pax records, large header data,
// the reader's path work areas), from the process-wide block pool. Safe to
// use from several threads: access to the pool is serialized.
#pragma once

#include <cstdint>

namespace kestrel {

struct ArchiveBuffer {
    uint8_t* data = nullptr;
    uint32_t capacity = 0;
    void* descriptor = nullptr;  // the allocator's handle for freeing
};

// Replaces `buffer` by one of at least `size` bytes; contents are not kept.
// False (buffer unchanged) when memory ran out.
bool AllocateArchiveBuffer(uint32_t size, ArchiveBuffer& buffer);

// Grows `buffer` to at least `size` bytes keeping its first `keep` bytes.
bool GrowArchiveBuffer(uint32_t size, uint32_t keep, ArchiveBuffer& buffer);

void FreeArchiveBuffer(ArchiveBuffer& buffer);

}  // namespace kestrel
