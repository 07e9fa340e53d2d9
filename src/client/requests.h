// Request builders: each writes one request payload into a connection's
// message buffer from offset 8, leaving the header to SendRequest.
#pragma once

#include <cstdint>

#include "client/wire.h"

namespace kestrel {

// The Hello text; it travels without type byte and without terminator.
inline constexpr char kHelloText[] = "Kestrelvane Direct 1.0";
inline constexpr uint32_t kHelloTextLength = sizeof kHelloText - 1;
inline constexpr uint32_t kHelloLength = kMessageHeaderSize + kHelloTextLength;

// An AddOutput payload stops one byte short of the longest payload.
inline constexpr uint32_t kMaxAddOutputPayload = 65526;
// InputWrite: type byte and job ID, then the archive piece.
inline constexpr uint32_t kInputWriteDataOffset = kMessageHeaderSize + 2;
inline constexpr uint32_t kMaxInputWritePiece = 65525;
// A Tunnel URL is cut to this many bytes before its 0 byte.
inline constexpr uint32_t kMaxTunnelUrl = 1023;

// Appends to the payload of a message buffer. Every append checks the room
// first and leaves the payload unchanged when it does not fit.
struct PayloadWriter {
    uint8_t* payload = nullptr;  // message buffer + 8
    uint32_t capacity = kMaxRequestPayload;
    uint32_t length = 0;
    bool utf16 = false;  // the machine's text encoding
};

// Starts a payload in `message` (a 65536-byte buffer).
PayloadWriter BeginPayload(uint8_t* message, bool utf16, uint32_t capacity = kMaxRequestPayload);

bool AppendByte(PayloadWriter& writer, uint8_t value);
bool AppendBytes(PayloadWriter& writer, const void* bytes, uint32_t count);
// Zero bytes: a terminator in the machine's encoding (one or two).
bool AppendTerminator(PayloadWriter& writer);

enum class TextAppend { Done, TooLong, InvalidText };
// UTF-8 `text` in the machine's encoding followed by its terminator. On a
// UTF-16 machine the text is converted; ill-formed UTF-8 is refused.
TextAppend AppendText(PayloadWriter& writer, const char* text, uint32_t length);

// Length of `text` (UTF-8, `length` bytes) in the machine's encoding, terminator
// included; 0 when it is not valid UTF-8 and must be converted.
uint32_t EncodedTextSize(const char* text, uint32_t length, bool utf16);

// The complete 30-byte Hello message (header included) with sequence 0.
void BuildHello(uint8_t* message, uint32_t connectionId);

// A request that is only its type byte: Encoding, Separators, Version,
// Capabilities, Poll, EndConnection.
void BuildBareRequest(PayloadWriter& writer, MessageType type);

// Requests made of the type byte and the job ID: EndJob, StepStart,
// OutputReset, OutputTransfer.
void BuildJobRequest(PayloadWriter& writer, MessageType type, uint8_t jobId);

void BuildStartJob(PayloadWriter& writer, uint8_t jobId, uint8_t concurrency);

// Replace, Prefix or SuffixEnvironment: name and value, each with its terminator.
TextAppend BuildEnvironmentEdit(PayloadWriter& writer, MessageType type, uint8_t jobId,
                                const char* name, uint32_t nameLength, const char* value,
                                uint32_t valueLength);

// `name` holds the development environment's bytes with their 0 byte, as stored
// in the job (the 0 is one byte in either encoding).
bool BuildSetDevelopmentEnvironment(PayloadWriter& writer, uint8_t jobId, const uint8_t* name,
                                    uint32_t lengthWithZero);

// AddOutput: begin with the type and job ID, then add paths while they fit
// (the payload is held to kMaxAddOutputPayload).
void BeginAddOutput(PayloadWriter& writer, uint8_t jobId);
TextAppend AddOutputPath(PayloadWriter& writer, const char* path, uint32_t length);

// Writes the type byte and job ID of an InputWrite into `message`; the archive
// piece goes at message + kInputWriteDataOffset; the payload length is n + 2.
void BeginInputWrite(uint8_t* message, uint8_t jobId);

// Tunnel: the URL cut to 1023 bytes and one 0 byte, whatever the encoding.
void BuildTunnel(PayloadWriter& writer, const char* url, uint32_t length);

// Execute. `bitmap` has one bit per argument part (bit i in byte i / 8, least
// significant first) and `bitmapBytes` bytes, 0 when no part is an environment
// expansion. Writes type, job ID, the flag byte and the bitmap (or the UTF-16
// pad byte); false when the bitmap cannot be described in one count byte.
bool BeginExecute(PayloadWriter& writer, uint8_t jobId, const uint8_t* bitmap,
                  uint32_t bitmapBytes);
// Working directory, executable and each parameter, in that order.
TextAppend AddExecuteString(PayloadWriter& writer, const char* text, uint32_t length);

// Bitmap bytes needed when part `lastEnvironmentPart` is the last expansion.
inline uint32_t ExecuteBitmapBytes(uint32_t lastEnvironmentPart) { return lastEnvironmentPart / 8 + 1; }

inline void SetBitmapBit(uint8_t* bitmap, uint32_t part) {
    bitmap[part / 8] = static_cast<uint8_t>(bitmap[part / 8] | 1u << (part % 8));
}

}  // namespace kestrel
