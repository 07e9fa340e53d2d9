// Arbitrary bytes from a machine, delivered in reads of arbitrary sizes:
// CheckResponse assembles them, and every response validator runs over each
// payload that comes out whole.
#include <cstdint>
#include <cstring>
#include <vector>

#include "client/connection.h"
#include "client/responses.h"

namespace kestrel {
namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

bool OddJobsRun(void*, uint8_t jobId) { return (jobId & 1) != 0; }

void RequireWithin(const StatusResponse& r, const uint8_t* payload, uint32_t length) {
    Require(r.logLength <= length);
    if (r.text != nullptr) Require(r.text >= payload && r.text + r.textLength <= payload + length);
    // What the log keeps of machine text never holds a 0 byte.
    if (r.logTerminator) Require(std::memchr(r.text, 0, r.logLength - static_cast<uint32_t>(r.text - payload)) == nullptr);
}

void Validate(const uint8_t* payload, uint32_t length) {
    static constexpr MessageType kStatusRows[] = {
        MessageType::StartJob,       MessageType::PrefixEnvironment, MessageType::SuffixEnvironment,
        MessageType::ReplaceEnvironment, MessageType::EndJob,       MessageType::StepStart,
        MessageType::SetDevelopmentEnvironment, MessageType::AddOutput, MessageType::OutputReset,
        MessageType::OutputTransfer, MessageType::InputWrite,       MessageType::Execute,
        MessageType::Tunnel,
    };
    for (MessageType type : kStatusRows) {
        StatusResponse r;
        if (CheckStatusResponse(type, payload, length, r) == nullptr) RequireWithin(r, payload, length);
    }
    const uint8_t* reason;
    uint32_t reasonLength;
    if (ClassifyHelloAnswer(payload, length, reason, reasonLength) == HelloAnswer::Reject)
        Require(reason + reasonLength == payload + length);
    EncodingResponse encoding;
    if (CheckEncodingResponse(payload, length, encoding) == nullptr)
        for (const uint8_t* s : encoding.strings) Require(s >= payload && s < payload + length);
    for (bool utf16 : {false, true}) {
        SeparatorsResponse separators;
        if (CheckSeparatorsResponse(payload, length, utf16, separators) == nullptr && separators.count > 0)
            Require(separators.first + separators.firstLength < payload + length);
    }
    bool secure;
    CheckCapabilitiesResponse(payload, length, secure);
    VersionResponse version;
    CheckVersionResponse(payload, length, version);
    const bool pollAccepted = CheckPollResponse(payload, length, OddJobsRun, nullptr) == nullptr;
    uint32_t offset = 0;
    PollEvent event;
    bool whole = length > 0;
    while (offset < length) {
        if (!NextPollEvent(payload, length, offset, event)) {
            whole = false;
            break;
        }
        Require(offset <= length);
        if (event.data != nullptr) Require(event.data + event.dataLength <= payload + length);
    }
    // An accepted Poll response is one that decodes whole.
    if (pollAccepted) Require(whole);
}

}  // namespace
}  // namespace kestrel

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    if (size < 7) return 0;
    static std::vector<uint8_t> buffer(kMessageBufferSize);
    ConnectionProtocol p;
    p.buffer = buffer.data();
    p.connectionId = ReadU32(data);
    p.sequence = ReadU16(data + 4);
    uint32_t seed = data[6] | 1u;
    size_t at = 7;
    bool expectingHeader = true;  // the next read starts a response
    while (at < size) {
        if (expectingHeader) p.receivedCount = p.remainingCount = 0;
        const uint32_t room = p.receivedCount >= kMessageHeaderSize ? p.remainingCount
                                                                     : kMessageBufferSize - p.receivedCount;
        Require(room > 0 && p.receivedCount + room <= kMessageBufferSize);
        // Read sizes from a small generator: mostly short, sometimes everything.
        seed = seed * 1103515245u + 12345u;
        uint32_t chunk = (seed >> 16) % 64 == 0 ? room : 1 + (seed >> 8) % 23;
        if (chunk > room) chunk = room;
        if (chunk > size - at) chunk = static_cast<uint32_t>(size - at);
        std::memcpy(buffer.data() + p.receivedCount, data + at, chunk);
        at += chunk;
        const FrameCheck check = CheckResponse(p, chunk);
        expectingHeader = false;
        switch (check.step) {
        case FrameStep::ReadMore:
        case FrameStep::ReadRest:
            break;
        case FrameStep::EchoKeepAlive:
            Require(ReadHeader(buffer.data()).length == 8 && ReadHeader(buffer.data()).sequence == p.sequence);
            expectingHeader = true;
            break;
        case FrameStep::IgnoreKeepAlive:
            expectingHeader = true;
            break;
        case FrameStep::Complete: {
            const MessageHeader header = ReadHeader(buffer.data());
            Require(header.length == check.length && check.length > kMessageHeaderSize);
            Require(header.connectionId == p.connectionId && header.sequence == p.sequence);
            Validate(buffer.data() + kMessageHeaderSize, check.length - kMessageHeaderSize);
            expectingHeader = true;
            break;
        }
        default:
            return 0;
        }
    }
    return 0;
}
