#include "client/requests.h"

#include <cstring>

#include "runtime/utf16.h"
#include "runtime/utf8.h"

namespace kestrel {

namespace {

// Walks the UTF-8 text and, when `out` is set, writes it as UTF-16LE.
// Returns the byte size of the conversion, or -1 for ill-formed input.
int64_t ConvertToUtf16(const char* text, uint32_t length, uint8_t* out) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text);
    int64_t size = 0;
    uint32_t at = 0;
    while (at < length) {
        uint32_t code = 0;
        const uint32_t used = DecodeUtf8(bytes + at, length - at, code);
        if (used == 0) return -1;
        at += used;
        uint8_t units[4];
        const uint32_t unitBytes = 2 * EncodeUtf16Le(code, units);
        if (out) std::memcpy(out + size, units, unitBytes);
        size += unitBytes;
    }
    return size;
}

bool HasRoom(const PayloadWriter& writer, uint64_t count) {
    return writer.length + count <= writer.capacity;
}

}  // namespace

PayloadWriter BeginPayload(uint8_t* message, bool utf16, uint32_t capacity) {
    PayloadWriter writer;
    writer.payload = message + kMessageHeaderSize;
    writer.capacity = capacity > kMaxRequestPayload ? kMaxRequestPayload : capacity;
    writer.utf16 = utf16;
    return writer;
}

bool AppendByte(PayloadWriter& writer, uint8_t value) {
    if (!HasRoom(writer, 1)) return false;
    writer.payload[writer.length++] = value;
    return true;
}

bool AppendBytes(PayloadWriter& writer, const void* bytes, uint32_t count) {
    if (!HasRoom(writer, count)) return false;
    if (count > 0) std::memcpy(writer.payload + writer.length, bytes, count);
    writer.length += count;
    return true;
}

bool AppendTerminator(PayloadWriter& writer) {
    const uint32_t width = writer.utf16 ? 2 : 1;
    if (!HasRoom(writer, width)) return false;
    std::memset(writer.payload + writer.length, 0, width);
    writer.length += width;
    return true;
}

uint32_t EncodedTextSize(const char* text, uint32_t length, bool utf16) {
    if (!utf16) return length + 1;
    const int64_t size = ConvertToUtf16(text, length, nullptr);
    return size < 0 ? 0 : static_cast<uint32_t>(size + 2);
}

TextAppend AppendText(PayloadWriter& writer, const char* text, uint32_t length) {
    const uint32_t size = EncodedTextSize(text, length, writer.utf16);
    if (size == 0) return TextAppend::InvalidText;
    if (!HasRoom(writer, size)) return TextAppend::TooLong;
    if (writer.utf16) {
        ConvertToUtf16(text, length, writer.payload + writer.length);
        writer.length += size - 2;
    } else {
        if (length > 0) std::memcpy(writer.payload + writer.length, text, length);
        writer.length += length;
    }
    AppendTerminator(writer);
    return TextAppend::Done;
}

void BuildHello(uint8_t* message, uint32_t connectionId) {
    WriteHeader(message, MessageHeader{connectionId, 0, static_cast<uint16_t>(kHelloLength)});
    std::memcpy(message + kMessageHeaderSize, kHelloText, kHelloTextLength);
}

void BuildBareRequest(PayloadWriter& writer, MessageType type) {
    writer.length = 0;
    AppendByte(writer, static_cast<uint8_t>(type));
}

void BuildJobRequest(PayloadWriter& writer, MessageType type, uint8_t jobId) {
    writer.length = 0;
    AppendByte(writer, static_cast<uint8_t>(type));
    AppendByte(writer, jobId);
}

void BuildStartJob(PayloadWriter& writer, uint8_t jobId, uint8_t concurrency) {
    BuildJobRequest(writer, MessageType::StartJob, jobId);
    AppendByte(writer, concurrency);
}

TextAppend BuildEnvironmentEdit(PayloadWriter& writer, MessageType type, uint8_t jobId,
                                const char* name, uint32_t nameLength, const char* value,
                                uint32_t valueLength) {
    BuildJobRequest(writer, type, jobId);
    const TextAppend named = AppendText(writer, name, nameLength);
    if (named != TextAppend::Done) return named;
    return AppendText(writer, value, valueLength);
}

bool BuildSetDevelopmentEnvironment(PayloadWriter& writer, uint8_t jobId, const uint8_t* name,
                                    uint32_t lengthWithZero) {
    BuildJobRequest(writer, MessageType::SetDevelopmentEnvironment, jobId);
    return AppendBytes(writer, name, lengthWithZero);
}

void BeginAddOutput(PayloadWriter& writer, uint8_t jobId) {
    if (writer.capacity > kMaxAddOutputPayload) writer.capacity = kMaxAddOutputPayload;
    BuildJobRequest(writer, MessageType::AddOutput, jobId);
}

TextAppend AddOutputPath(PayloadWriter& writer, const char* path, uint32_t length) {
    return AppendText(writer, path, length);
}

void BeginInputWrite(uint8_t* message, uint8_t jobId) {
    message[kMessageHeaderSize] = static_cast<uint8_t>(MessageType::InputWrite);
    message[kMessageHeaderSize + 1] = jobId;
}

void BuildTunnel(PayloadWriter& writer, const char* url, uint32_t length) {
    writer.length = 0;
    AppendByte(writer, static_cast<uint8_t>(MessageType::Tunnel));
    AppendBytes(writer, url, length > kMaxTunnelUrl ? kMaxTunnelUrl : length);
    AppendByte(writer, 0);
}

bool BeginExecute(PayloadWriter& writer, uint8_t jobId, const uint8_t* bitmap,
                  uint32_t bitmapBytes) {
    BuildJobRequest(writer, MessageType::Execute, jobId);
    if (bitmapBytes == 0) {
        AppendByte(writer, 0);
        // UTF-16 strings must start at an even offset.
        if (writer.utf16) AppendByte(writer, 0);
        return true;
    }
    // Strings follow the bitmap at offset 4 + count.
    const uint32_t count = writer.utf16 && (4 + bitmapBytes) % 2 != 0 ? bitmapBytes + 1 : bitmapBytes;
    if (count > 255) return false;
    AppendByte(writer, 1);
    AppendByte(writer, static_cast<uint8_t>(count));
    AppendBytes(writer, bitmap, bitmapBytes);
    if (count != bitmapBytes) AppendByte(writer, 0);
    return true;
}

TextAppend AddExecuteString(PayloadWriter& writer, const char* text, uint32_t length) {
    return AppendText(writer, text, length);
}

}  // namespace kestrel
