// The response being built: one 64 KiB message, header space first, with
// little-endian appends that never run past the largest payload.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "client/wire.h"

namespace kestrel::agent {

class Reply {
public:
    void Clear() { length_ = 0; }

    void U8(uint8_t value) { Put(&value, 1); }
    void U16(uint16_t value) {
        uint8_t bytes[2];
        WriteU16(bytes, value);
        Put(bytes, 2);
    }
    void U32(uint32_t value) {
        uint8_t bytes[4];
        WriteU32(bytes, value);
        Put(bytes, 4);
    }
    void U64(uint64_t value) {
        uint8_t bytes[8];
        WriteU64(bytes, value);
        Put(bytes, 8);
    }
    // Bytes are cut to the room that is left.
    void Bytes(const void* bytes, uint32_t count) { Put(bytes, count); }
    void Bytes(std::string_view bytes) { Put(bytes.data(), static_cast<uint32_t>(bytes.size())); }

    // Space for `count` more payload bytes, which the caller fills; null when they do not fit.
    uint8_t* Extend(uint32_t count) {
        if (count > Room()) return nullptr;
        uint8_t* at = Payload() + length_;
        length_ += count;
        return at;
    }
    // Gives back the unused end of an Extend.
    void Shrink(uint32_t count) { length_ = count < length_ ? length_ - count : 0; }

    uint8_t* Message() { return buffer_; }
    uint8_t* Payload() { return buffer_ + kMessageHeaderSize; }
    const uint8_t* Payload() const { return buffer_ + kMessageHeaderSize; }
    uint32_t Length() const { return length_; }
    uint32_t Room() const { return kMaxRequestPayload - length_; }

private:
    void Put(const void* bytes, uint32_t count) {
        if (count > Room()) count = Room();
        std::memcpy(Payload() + length_, bytes, count);
        length_ += count;
    }

    uint8_t buffer_[kMessageBufferSize];
    uint32_t length_ = 0;
};

}  // namespace kestrel::agent
