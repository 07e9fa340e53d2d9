// zlib's allocations served from fixed slots inside the archive writer or
// reader: compression and decompression never touch the heap, and a request
// zlib was not expected to make fails instead of growing memory.
#pragma once

#include <cstdint>

#include <zlib.h>

namespace kestrel {

template <uint32_t SlotCount>
class ZlibSlots {
public:
    // Slot 0 takes the stream state (whatever size the linked zlib asks for, up
    // to `stateCapacity`); the others take requests of exactly their size,
    // in slot order among equal sizes.
    struct Layout {
        uint32_t stateCapacity;
        uint32_t sizes[SlotCount - 1];
    };

    ZlibSlots(uint8_t* memory, const Layout& layout) {
        uint32_t offset = 0;
        for (uint32_t i = 0; i < SlotCount; ++i) {
            capacity_[i] = i == 0 ? layout.stateCapacity : layout.sizes[i - 1];
            memory_[i] = memory + offset;
            offset += (capacity_[i] + 63) & ~63u;
            used_[i] = false;
        }
    }

    void Attach(z_stream& stream) {
        stream.zalloc = &ZlibSlots::Allocate;
        stream.zfree = &ZlibSlots::Free;
        stream.opaque = this;
    }

    static constexpr uint32_t BytesFor(const Layout& layout) {
        uint32_t total = (layout.stateCapacity + 63) & ~63u;
        for (uint32_t i = 0; i + 1 < SlotCount; ++i) total += (layout.sizes[i] + 63) & ~63u;
        return total;
    }

private:
    static voidpf Allocate(voidpf opaque, uInt items, uInt size) {
        auto* self = static_cast<ZlibSlots*>(opaque);
        const uint64_t bytes = static_cast<uint64_t>(items) * size;
        bool exactMatch = false;
        for (uint32_t i = 1; i < SlotCount; ++i) {
            if (bytes != self->capacity_[i]) continue;
            exactMatch = true;
            if (!self->used_[i]) {
                self->used_[i] = true;
                return self->memory_[i];
            }
        }
        if (exactMatch || self->used_[0] || bytes > self->capacity_[0]) return Z_NULL;
        self->used_[0] = true;
        return self->memory_[0];
    }

    static void Free(voidpf opaque, voidpf address) {
        auto* self = static_cast<ZlibSlots*>(opaque);
        for (uint32_t i = 0; i < SlotCount; ++i) {
            if (self->memory_[i] == address) self->used_[i] = false;
        }
    }

    uint8_t* memory_[SlotCount];
    uint32_t capacity_[SlotCount];
    bool used_[SlotCount];
};

// deflate at memory level 9 and window bits 15: state, window, previous-match
// table (64 KiB each), hash heads and pending buffer (128 KiB each).
using DeflateSlots = ZlibSlots<5>;
inline constexpr DeflateSlots::Layout kDeflateLayout{16384, {65536, 65536, 131072, 131072}};
inline constexpr uint32_t kDeflateSlotBytes = DeflateSlots::BytesFor(kDeflateLayout);

// inflate with a 32 KiB window: state and window.
using InflateSlots = ZlibSlots<2>;
inline constexpr InflateSlots::Layout kInflateLayout{16384, {32768}};
inline constexpr uint32_t kInflateSlotBytes = InflateSlots::BytesFor(kInflateLayout);

}  // namespace kestrel
