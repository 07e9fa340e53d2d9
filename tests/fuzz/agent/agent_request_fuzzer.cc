// Requests of arbitrary content after a valid Hello, through the agent's
// whole request handling (framing, admission, jobs, archives, outputs)
// without a socket. Every answer the agent writes must keep the row of the
// client's catalogue for the request it answers; the agent may also close.
//
// Input: a flags byte (bit 0: a UTF-16LE machine; bit 1: the rest is raw
// stream bytes), then requests as a u16 length and that many payload bytes,
// which the harness frames with the right connection id and sequence.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "agent/agent_machine.h"
#include "agent/options.h"
#include "agent/os/files.h"
#include "agent/session.h"
#include "client/requests.h"
#include "client/responses.h"
#include "client/wire.h"

namespace kestrel::agent {
namespace {

constexpr uint32_t kConnectionId = 0x4B455354;

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

bool AnyJobRuns(void*, uint8_t) { return true; }

// Checks one answer against the client's row for the request it answers.
void CheckAnswer(uint32_t kind, bool utf16, const uint8_t* payload, uint32_t length) {
    Require(length > 0);
    if (kind == kHelloKind) {
        const uint8_t* reason;
        uint32_t reasonLength;
        Require(ClassifyHelloAnswer(payload, length, reason, reasonLength) != HelloAnswer::Unexpected);
        return;
    }
    switch (static_cast<MessageType>(kind)) {
    case MessageType::Encoding: {
        EncodingResponse encoding;
        Require(CheckEncodingResponse(payload, length, encoding) == nullptr && encoding.utf16 == utf16);
        return;
    }
    case MessageType::Separators: {
        SeparatorsResponse separators;
        Require(CheckSeparatorsResponse(payload, length, utf16, separators) == nullptr);
        return;
    }
    case MessageType::Capabilities: {
        bool secure = false;
        Require(CheckCapabilitiesResponse(payload, length, secure) == nullptr);
        return;
    }
    case MessageType::Version: {
        VersionResponse version;
        Require(CheckVersionResponse(payload, length, version) == nullptr);
        return;
    }
    case MessageType::Poll: Require(CheckPollResponse(payload, length, AnyJobRuns, nullptr) == nullptr); return;
    case MessageType::EndConnection: return;
    default: {
        StatusResponse response;
        Require(CheckStatusResponse(static_cast<MessageType>(kind), payload, length, response) == nullptr);
        return;
    }
    }
}

class BufferTransport final : public Transport {
public:
    BufferTransport(const std::string& stream, bool utf16) : stream_(stream), utf16_(utf16) {}

    bool Read(uint8_t* data, uint32_t count, bool& ended) override {
        ended = at_ == stream_.size();
        if (stream_.size() - at_ < count) return false;
        std::memcpy(data, stream_.data() + at_, count);
        at_ += count;
        // Follow the framing the agent reads, to know what each answer is for.
        if (expectingHeader_) {
            const MessageHeader header = ReadHeader(data);
            expectingHeader_ = header.length <= kMessageHeaderSize;
        } else {
            kind_ = messages_++ == 0 ? kHelloKind : data[0];
            expectingHeader_ = true;
        }
        return true;
    }

    bool Write(const uint8_t* data, uint32_t count) override {
        Require(count >= kMessageHeaderSize);
        const MessageHeader header = ReadHeader(data);
        Require(header.length == count);
        Require(header.connectionId == kConnectionId);
        if (count > kMessageHeaderSize) CheckAnswer(kind_, utf16_, data + kMessageHeaderSize, count - kMessageHeaderSize);
        return true;
    }

private:
    const std::string& stream_;
    bool utf16_;
    size_t at_ = 0;
    bool expectingHeader_ = true;
    uint32_t messages_ = 0;
    uint32_t kind_ = kHelloKind;
};

std::string Frame(uint16_t sequence, const std::string& payload) {
    uint8_t header[kMessageHeaderSize];
    WriteHeader(header, MessageHeader{kConnectionId, sequence, static_cast<uint16_t>(payload.size() + kMessageHeaderSize)});
    return std::string(reinterpret_cast<char*>(header), kMessageHeaderSize) + payload;
}

struct Harness {
    AgentOptions options[2];
    AgentMachine* machines[2] = {};
    std::string workPath;

    Harness() {
        char pattern[] = "/tmp/kestrel-agent-fuzz-XXXXXX";
        Require(mkdtemp(pattern) != nullptr);
        workPath = pattern;
        for (int i = 0; i < 2; ++i) {
            options[i].utf16 = i == 1;
            options[i].pollHoldMs = 0;
            options[i].developmentEnvironments.push_back({"dev", {{"A", "B"}}});
            machines[i] = new AgentMachine(options[i]);
            machines[i]->spawnProcesses = false;
            int fd = -1;
            int error = 0;
            Require(os::OpenWorkDirectory(workPath, fd, error));
            machines[i]->UseWorkDirectory(fd, workPath);
        }
    }
};

Harness& TheHarness() {
    static Harness* harness = [] {
        auto* created = new Harness;
        std::atexit([] { rmdir(TheHarness().workPath.c_str()); });
        return created;
    }();
    return *harness;
}

}  // namespace
}  // namespace kestrel::agent

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    using namespace kestrel::agent;
    if (size == 0) return 0;
    const bool utf16 = (data[0] & 1) != 0;
    const bool raw = (data[0] & 2) != 0;
    std::string stream = Frame(0, std::string(kHelloText, kHelloTextLength));
    if (raw) {
        stream.append(reinterpret_cast<const char*>(data + 1), size - 1);
    } else {
        uint16_t sequence = 0;
        for (size_t at = 1; at + 2 <= size;) {
            size_t length = ReadU16(data + at);
            at += 2;
            if (length > size - at) length = size - at;
            if (length > kMaxRequestPayload) length = kMaxRequestPayload;
            if (length == 0) continue;
            sequence = NextSequence(sequence);
            stream += Frame(sequence, std::string(reinterpret_cast<const char*>(data + at), length));
            at += length;
        }
    }
    Harness& harness = TheHarness();
    BufferTransport transport(stream, utf16);
    // About 130 KiB of buffers: not on the stack.
    auto session = std::make_unique<Session>(*harness.machines[utf16 ? 1 : 0], transport, 1);
    session->Run();
    return 0;
}
