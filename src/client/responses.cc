#include "client/responses.h"

#include <cstring>

namespace kestrel {

namespace {

// Length of the machine's text up to its first 0 byte: the log stores it as a
// 0-terminated string, so anything after an embedded 0 could not be read back.
uint32_t LoggableTextLength(const uint8_t* text, uint32_t length) {
    const void* zero = std::memchr(text, 0, length);
    return zero ? static_cast<uint32_t>(static_cast<const uint8_t*>(zero) - text) : length;
}

// Status, then nothing the log keeps.
void StatusOnly(const uint8_t* payload, StatusResponse& out) {
    out = StatusResponse{};
    out.status = ReadU32(payload);
    out.logLength = 4;
}

// Status, then text from `at` to the end; the log keeps both and a 0 byte.
void StatusAndText(const uint8_t* payload, uint32_t length, uint32_t at, StatusResponse& out) {
    out.text = payload + at;
    out.textLength = length - at;
    out.logLength = at + LoggableTextLength(out.text, out.textLength);
    out.logTerminator = true;
}

// Status, error code, then text to the end.
void StatusCodeAndText(const uint8_t* payload, uint32_t length, StatusResponse& out) {
    out.errorCode = ReadU32(payload + 4);
    StatusAndText(payload, length, 8, out);
}

bool Matches(const uint8_t* payload, uint32_t length, const char* text) {
    return length == std::strlen(text) && std::memcmp(payload, text, length) == 0;
}

}  // namespace

HelloAnswer ClassifyHelloAnswer(const uint8_t* payload, uint32_t length, const uint8_t*& reason,
                                uint32_t& reasonLength) {
    reason = nullptr;
    reasonLength = 0;
    if (length >= 7 && std::memcmp(payload, "reject\n", 7) == 0) {
        reason = payload + 7;
        reasonLength = length - 7;
        return HelloAnswer::Reject;
    }
    if (Matches(payload, length, "recalculate")) return HelloAnswer::Recalculate;
    if (Matches(payload, length, "accept")) return HelloAnswer::Accept;
    return HelloAnswer::Unexpected;
}

bool IsUtf16EncodingName(const uint8_t* name, uint32_t length) {
    static constexpr char kName[] = "utf-16le";
    if (length != sizeof kName - 1) return false;
    for (uint32_t i = 0; i < length; ++i) {
        uint8_t c = name[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c - 'A' + 'a');
        if (c != static_cast<uint8_t>(kName[i])) return false;
    }
    return true;
}

const char* CheckEncodingResponse(const uint8_t* payload, uint32_t length, EncodingResponse& out) {
    out = EncodingResponse{};
    if (length > 127) return kEncodingTooLong;
    uint32_t at = 0;
    for (int i = 0; i < 5; ++i) {
        const uint32_t start = at;
        while (at < length && payload[at] != 0) ++at;
        if (at == length || at == start) return kEncodingCorrupt;
        out.strings[i] = payload + start;
        ++at;
    }
    if (at != length) return kEncodingCorrupt;
    out.utf16 = IsUtf16EncodingName(out.strings[0],
                                    static_cast<uint32_t>(std::strlen(reinterpret_cast<const char*>(out.strings[0]))));
    return nullptr;
}

const char* CheckSeparatorsResponse(const uint8_t* payload, uint32_t length, bool utf16,
                                    SeparatorsResponse& out) {
    out = SeparatorsResponse{};
    if (length > 8) return kSeparatorsTooLong;
    const uint32_t unit = utf16 ? 2 : 1;
    if (length % unit != 0) return kSeparatorsCorrupt;
    auto isZero = [&](uint32_t at) { return utf16 ? ReadU16(payload + at) == 0 : payload[at] == 0; };
    uint32_t at = 0;
    while (at < length) {
        const uint32_t start = at;
        while (at < length && !isZero(at)) at += unit;
        if (at == length || at == start) return kSeparatorsCorrupt;
        if (out.count++ == 0) {
            out.first = payload + start;
            out.firstLength = at - start;
        }
        at += unit;
    }
    return nullptr;
}

const char* CheckCapabilitiesResponse(const uint8_t* payload, uint32_t length, bool& secure) {
    secure = false;
    if (length < 3) return kCapabilitiesTooShort;
    if (payload[0] != 0) return kCapabilitiesIncorrectType;
    if (length > 3) return kCapabilitiesTooLong;
    secure = (payload[2] & 1) != 0;
    return nullptr;
}

const char* CheckVersionResponse(const uint8_t* payload, uint32_t length, VersionResponse& out) {
    out = VersionResponse{};
    if (length != 10) return kVersionCorrupt;
    out.major = ReadU16(payload);
    out.minor = ReadU16(payload + 2);
    out.build = ReadU16(payload + 4);
    out.patch = ReadU32(payload + 6);
    return nullptr;
}

const char* CheckTunnelResponse(const uint8_t* payload, uint32_t length, StatusResponse& out) {
    if (length < 4) return kTunnelCorrupt;
    StatusOnly(payload, out);
    switch (out.status) {
    case 0: {
        if (length < 8) return kTunnelCorrupt;
        const uint32_t addressLength = ReadU32(payload + 4);
        // The hop record holds at most 128 address bytes.
        if (addressLength > kMaxPeerAddress || length != 8 + addressLength) return kTunnelCorrupt;
        out.text = payload + 8;
        out.textLength = addressLength;
        out.logLength = length;
        return nullptr;
    }
    case 1:
    case 3:
        return length == 4 ? nullptr : kTunnelCorrupt;
    case 4:
        if (length < 12) return kTunnelCorrupt;
        StatusCodeAndText(payload, length, out);
        return nullptr;
    default:
        return kTunnelCorrupted;
    }
}

const char* CheckStartJobResponse(const uint8_t* payload, uint32_t length, StatusResponse& out) {
    if (length < 4) return kStartJobCorrupt;
    StatusOnly(payload, out);
    if (out.status > 8) return kStartJobCorrupt;
    if (out.status >= 4 && out.status <= 6) {
        if (length != 8) return kStartJobCorrupt;
        out.errorCode = ReadU32(payload + 4);
        out.logLength = 8;
    }
    return nullptr;
}

const char* CheckDevelopmentEnvironmentResponse(const uint8_t* payload, uint32_t length,
                                                StatusResponse& out) {
    if (length < 4) return kDevelopmentEnvironmentCorrupt;
    StatusOnly(payload, out);
    return out.status > 6 ? kDevelopmentEnvironmentCorrupt : nullptr;
}

const char* CheckEnvironmentResponse(MessageType type, const uint8_t* payload, uint32_t length,
                                     StatusResponse& out) {
    const char* fault = type == MessageType::PrefixEnvironment   ? kPrefixEnvironmentCorrupt
                        : type == MessageType::SuffixEnvironment ? kSuffixEnvironmentCorrupt
                                                                 : kReplaceEnvironmentCorrupt;
    if (length != 4) return fault;
    StatusOnly(payload, out);
    return out.status > 4 ? fault : nullptr;
}

const char* CheckStepStartResponse(const uint8_t* payload, uint32_t length, StatusResponse& out) {
    if (length < 4) return kStepStartCorrupt;
    StatusOnly(payload, out);
    switch (out.status) {
    case 2:
        if (length != 8) return kStepStartCorrupt;
        out.errorCode = ReadU32(payload + 4);
        out.logLength = 8;
        return nullptr;
    case 3:
        if (length < 9) return kStepStartCorrupt;
        StatusCodeAndText(payload, length, out);
        return nullptr;
    default:
        return out.status > 5 ? kStepStartCorrupt : nullptr;
    }
}

const char* CheckInputWriteResponse(const uint8_t* payload, uint32_t length, StatusResponse& out) {
    if (length < 4) return kInputWriteCorrupt;
    StatusOnly(payload, out);
    switch (out.status) {
    case 4:
        if (length < 8) return kInputWriteCorrupt;
        out.errorCode = ReadU32(payload + 4);
        out.logLength = 8;
        return nullptr;
    case 5:
        if (length < 9) return kInputWriteCorrupt;
        StatusCodeAndText(payload, length, out);
        return nullptr;
    case 6:
        return kInputBeingProcessed;
    default:
        return out.status > 6 ? kInputWriteCorrupt : nullptr;
    }
}

const char* CheckExecuteResponse(const uint8_t* payload, uint32_t length, StatusResponse& out) {
    if (length < 4) return kExecuteCorrupt;
    StatusOnly(payload, out);
    if (out.status > 9) return kExecuteCorrupt;
    if (out.status == 6) {
        if (length < 9) return kExecuteCorrupt;
        StatusCodeAndText(payload, length, out);
    }
    return nullptr;
}

const char* CheckAddOutputResponse(const uint8_t* payload, uint32_t length, StatusResponse& out) {
    if (length < 4) return kAddOutputCorrupt;
    StatusOnly(payload, out);
    switch (out.status) {
    case 6:
    case 7:
        if (length < 5) return kAddOutputCorrupt;
        StatusAndText(payload, length, 4, out);
        return nullptr;
    case 8:
        if (length < 9) return kAddOutputCorrupt;
        StatusCodeAndText(payload, length, out);
        return nullptr;
    default:
        return out.status > 8 || length != 4 ? kAddOutputCorrupt : nullptr;
    }
}

const char* CheckOutputResetResponse(const uint8_t* payload, uint32_t length, StatusResponse& out) {
    if (length != 4) return kAddOutputCorrupt;
    StatusOnly(payload, out);
    return out.status > 4 ? kAddOutputCorrupt : nullptr;
}

const char* CheckOutputTransferResponse(const uint8_t* payload, uint32_t length, StatusResponse& out) {
    if (length < 4) return kAddOutputCorrupt;
    StatusOnly(payload, out);
    switch (out.status) {
    case 0:
    case 1:
        // Archive bytes follow; the log keeps the status alone.
        out.text = payload + 4;
        out.textLength = length - 4;
        return nullptr;
    case 5:
        if (length < 9) return kAddOutputCorrupt;
        StatusCodeAndText(payload, length, out);
        return nullptr;
    default:
        return out.status > 5 || length != 4 ? kAddOutputCorrupt : nullptr;
    }
}

const char* CheckEndJobResponse(const uint8_t* payload, uint32_t length, StatusResponse& out) {
    if (length != 4) return kEndJobCorrupt;
    StatusOnly(payload, out);
    return out.status > 2 ? kEndJobCorrupt : nullptr;
}

const char* CheckStatusResponse(MessageType request, const uint8_t* payload, uint32_t length,
                                StatusResponse& out) {
    switch (request) {
    case MessageType::StartJob: return CheckStartJobResponse(payload, length, out);
    case MessageType::PrefixEnvironment:
    case MessageType::SuffixEnvironment:
    case MessageType::ReplaceEnvironment: return CheckEnvironmentResponse(request, payload, length, out);
    case MessageType::EndJob: return CheckEndJobResponse(payload, length, out);
    case MessageType::StepStart: return CheckStepStartResponse(payload, length, out);
    case MessageType::SetDevelopmentEnvironment:
        return CheckDevelopmentEnvironmentResponse(payload, length, out);
    case MessageType::AddOutput: return CheckAddOutputResponse(payload, length, out);
    case MessageType::OutputReset: return CheckOutputResetResponse(payload, length, out);
    case MessageType::OutputTransfer: return CheckOutputTransferResponse(payload, length, out);
    case MessageType::InputWrite: return CheckInputWriteResponse(payload, length, out);
    case MessageType::Execute: return CheckExecuteResponse(payload, length, out);
    case MessageType::Tunnel: return CheckTunnelResponse(payload, length, out);
    default: return nullptr;
    }
}

bool NextPollEvent(const uint8_t* payload, uint32_t length, uint32_t& offset, PollEvent& event) {
    if (offset >= length) return false;
    const uint8_t* at = payload + offset;
    const uint32_t remaining = length - offset;
    event = PollEvent{};
    event.code = at[0];
    uint32_t size;
    switch (event.code) {
    case kPollStdout:
    case kPollStdoutEnd:
    case kPollStderr:
    case kPollStderrEnd:
        if (remaining < 12) return false;
        event.jobId = at[1];
        event.elapsed = ReadU64(at + 2);
        event.dataLength = ReadU16(at + 10);
        event.data = at + 12;
        size = 12 + event.dataLength;
        break;
    case kPollReturned:
    case kPollSignalled:
    case kPollStartFailed:
    case kPollClockError:
    case kPollChildCommError:
        size = 14;
        if (remaining < size) return false;
        event.jobId = at[1];
        event.elapsed = ReadU64(at + 2);
        event.value = ReadU32(at + 10);
        break;
    case kPollChildRequestError:
    case kPollTerminateFailed:
    case kPollStatusCheckFailed:
        if (remaining < 15) return false;
        event.jobId = at[1];
        event.dataLength = at[2];
        event.elapsed = ReadU64(at + 3);
        event.value = ReadU32(at + 11);
        event.data = at + 15;
        size = 15 + event.dataLength;
        break;
    case kPollStillRunning:
        size = 1;
        break;
    case kPollStdoutThrottled:
    case kPollStderrThrottled:
        size = 10;
        if (remaining < size) return false;
        event.jobId = at[1];
        event.elapsed = ReadU64(at + 2);
        break;
    case kPollCapacityUnits:
    case kPollCapacityBlocks:
        size = 2;
        if (remaining < size) return false;
        event.capacity = at[1];
        break;
    default:
        return false;
    }
    if (remaining < size) return false;
    offset += size;
    return true;
}

const char* CheckPollResponse(const uint8_t* payload, uint32_t length, RunningJobCheck isRunning,
                              void* context) {
    if (length == 0) return kPollCorrupt;
    uint32_t offset = 0;
    while (offset < length) {
        PollEvent event;
        if (!NextPollEvent(payload, length, offset, event)) return kPollCorrupt;
        const bool namesRunningJob = event.code == kPollStdoutEnd ||
                                     (event.code >= kPollStderrEnd && event.code <= kPollStatusCheckFailed);
        if (namesRunningJob && (isRunning == nullptr || !isRunning(context, event.jobId)))
            return kPollCorrupt;
    }
    return nullptr;
}

}  // namespace kestrel
