// The framing of every message between the client and a build machine
// (little-endian integers, runtime/little_endian.h): the 8-byte header, the
// sequence rule and the sizes that keep a whole message inside one 64 KiB
// buffer.
#pragma once

#include <cstdint>

#include "runtime/little_endian.h"

namespace kestrel {

inline constexpr uint32_t kMessageHeaderSize = 8;
inline constexpr uint32_t kMessageBufferSize = 65536;
// The 16-bit length field counts the header too.
inline constexpr uint32_t kMaxMessageLength = 65535;
inline constexpr uint32_t kMaxRequestPayload = kMaxMessageLength - kMessageHeaderSize;
// 90 seconds in 100-ns units: every read and write on a connection.
inline constexpr uint64_t kRequestTimeout = 900000000;

// Request type codes: the first payload byte of every request but the Hello.
enum class MessageType : uint8_t {
    StartJob = 0,
    PrefixEnvironment = 1,
    SuffixEnvironment = 2,
    ReplaceEnvironment = 3,
    EndJob = 5,
    EndConnection = 6,
    StepStart = 7,
    SetDevelopmentEnvironment = 8,
    AddOutput = 9,
    OutputReset = 10,
    OutputTransfer = 11,
    InputWrite = 12,
    Execute = 13,
    Encoding = 17,
    Separators = 18,
    Version = 19,
    Capabilities = 21,
    Tunnel = 22,
    Poll = 26,
};

struct MessageHeader {
    uint32_t connectionId = 0;
    uint16_t sequence = 0;
    uint16_t length = 0;
};

inline MessageHeader ReadHeader(const uint8_t* message) {
    return MessageHeader{ReadU32(message), ReadU16(message + 4), ReadU16(message + 6)};
}

inline void WriteHeader(uint8_t* message, const MessageHeader& header) {
    WriteU32(message, header.connectionId);
    WriteU16(message + 4, header.sequence);
    WriteU16(message + 6, header.length);
}

// The Hello owns sequence 0; later requests count 1..65535 and wrap to 1.
inline uint16_t NextSequence(uint16_t sequence) {
    return sequence == 65535 ? uint16_t{1} : static_cast<uint16_t>(sequence + 1);
}

}  // namespace kestrel
