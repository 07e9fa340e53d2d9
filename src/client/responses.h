// Response validators: one per row of the message catalogue. Each checks a
// response payload (the bytes after the 8-byte header) and returns null when
// the row is kept, or the protocol-failure message that the malformed response
// earns ({0} stands for the connection's first hop URL).
#pragma once

#include <cstdint>

#include "client/wire.h"

namespace kestrel {

inline constexpr char kHelloUnexpected[] = "The machine {0} sent an unexpected response";
inline constexpr char kEncodingTooLong[] = "Encoding response from {0} too long";
inline constexpr char kEncodingCorrupt[] = "Corrupt encoding response from {0}";
inline constexpr char kSeparatorsTooLong[] = "Separators response from {0} too long";
inline constexpr char kSeparatorsCorrupt[] = "Corrupt separators response from {0}";
inline constexpr char kCapabilitiesTooShort[] = "Capabilities response from {0} too short";
inline constexpr char kCapabilitiesIncorrectType[] = "Capabilities response from {0} incorrect type";
inline constexpr char kCapabilitiesTooLong[] = "Capabilities response from {0} too long";
inline constexpr char kVersionCorrupt[] = "Version response from {0} corrupt";
inline constexpr char kTunnelCorrupt[] = "Tunnel response from {0} corrupt";
inline constexpr char kTunnelCorrupted[] = "Tunnel response from {0} corrupted";
inline constexpr char kStartJobCorrupt[] = "Start job response from {0} corrupt";
inline constexpr char kDevelopmentEnvironmentCorrupt[] = "Set development environment response from {0} corrupt";
inline constexpr char kReplaceEnvironmentCorrupt[] = "Replace environment response from {0} corrupt";
inline constexpr char kPrefixEnvironmentCorrupt[] = "Prefix environment response from {0} corrupt";
inline constexpr char kSuffixEnvironmentCorrupt[] = "Suffix environment response from {0} corrupt";
inline constexpr char kStepStartCorrupt[] = "Step start response from {0} corrupt";
inline constexpr char kInputBeingProcessed[] = "Cannot transfer input to {0}, input is being processed";
inline constexpr char kInputWriteCorrupt[] = "Input write response from {0} corrupt";
inline constexpr char kExecuteCorrupt[] = "Execute response from {0} corrupt";
inline constexpr char kPollCorrupt[] = "Poll response from {0} corrupt";
// One message serves AddOutput, OutputReset and OutputTransfer.
inline constexpr char kAddOutputCorrupt[] = "Add output response from {0} corrupt";
inline constexpr char kEndJobCorrupt[] = "End job response from {0} corrupt";

// The longest socket address a hop record can hold.
inline constexpr uint32_t kMaxPeerAddress = 128;

// What a status-led response carries. `text` is the machine's trailing text,
// the output archive bytes (OutputTransfer 0 and 1) or the peer address
// (Tunnel 0). `logLength` is how many payload bytes, from the start, the
// connection log keeps; when `logTerminator` is set the client adds a 0 byte
// after them. Machine text is kept only up to its first 0 byte, so that the
// log can always be read back.
struct StatusResponse {
    uint32_t status = 0;
    uint32_t errorCode = 0;
    const uint8_t* text = nullptr;
    uint32_t textLength = 0;
    uint32_t logLength = 0;
    bool logTerminator = false;
};

enum class HelloAnswer { Accept, Recalculate, Reject, Unexpected };
// For Reject, `reason` is the rest of the payload after "reject\n".
HelloAnswer ClassifyHelloAnswer(const uint8_t* payload, uint32_t length, const uint8_t*& reason,
                                uint32_t& reasonLength);

struct EncodingResponse {
    const uint8_t* strings[5] = {};  // each 0-terminated, inside the payload
    bool utf16 = false;              // the first string names UTF-16LE
};
const char* CheckEncodingResponse(const uint8_t* payload, uint32_t length, EncodingResponse& out);
// "UTF-16LE", letters in any case.
bool IsUtf16EncodingName(const uint8_t* name, uint32_t length);

struct SeparatorsResponse {
    uint32_t count = 0;               // strings in the payload (may be 0)
    const uint8_t* first = nullptr;   // the path separator, without terminator
    uint32_t firstLength = 0;         // in bytes
};
const char* CheckSeparatorsResponse(const uint8_t* payload, uint32_t length, bool utf16,
                                    SeparatorsResponse& out);

const char* CheckCapabilitiesResponse(const uint8_t* payload, uint32_t length, bool& secure);

struct VersionResponse {
    uint16_t major = 0;
    uint16_t minor = 0;
    uint16_t build = 0;
    uint32_t patch = 0;
};
const char* CheckVersionResponse(const uint8_t* payload, uint32_t length, VersionResponse& out);

// Tunnel: status 0 carries the peer address in `text` (at most 128 bytes),
// status 4 an error code and text.
const char* CheckTunnelResponse(const uint8_t* payload, uint32_t length, StatusResponse& out);

const char* CheckStartJobResponse(const uint8_t* payload, uint32_t length, StatusResponse& out);
const char* CheckDevelopmentEnvironmentResponse(const uint8_t* payload, uint32_t length,
                                                StatusResponse& out);
// `type` is Replace, Prefix or SuffixEnvironment; it picks the message.
const char* CheckEnvironmentResponse(MessageType type, const uint8_t* payload, uint32_t length,
                                     StatusResponse& out);
const char* CheckStepStartResponse(const uint8_t* payload, uint32_t length, StatusResponse& out);
const char* CheckInputWriteResponse(const uint8_t* payload, uint32_t length, StatusResponse& out);
const char* CheckExecuteResponse(const uint8_t* payload, uint32_t length, StatusResponse& out);
const char* CheckAddOutputResponse(const uint8_t* payload, uint32_t length, StatusResponse& out);
const char* CheckOutputResetResponse(const uint8_t* payload, uint32_t length, StatusResponse& out);
const char* CheckOutputTransferResponse(const uint8_t* payload, uint32_t length, StatusResponse& out);
const char* CheckEndJobResponse(const uint8_t* payload, uint32_t length, StatusResponse& out);

// Picks the validator of a status-led request type (everything but Hello,
// Encoding, Separators, Capabilities, Version, Poll and EndConnection, which
// have their own checks or none).
const char* CheckStatusResponse(MessageType request, const uint8_t* payload, uint32_t length,
                                StatusResponse& out);

// Poll events.
enum PollEventCode : uint8_t {
    kPollStdout = 0,
    kPollStdoutEnd = 1,
    kPollStderr = 2,
    kPollStderrEnd = 3,
    kPollReturned = 4,
    kPollSignalled = 5,
    kPollStartFailed = 6,
    kPollClockError = 7,
    kPollChildCommError = 8,
    kPollChildRequestError = 9,
    kPollTerminateFailed = 10,
    kPollStatusCheckFailed = 11,
    kPollStillRunning = 12,
    kPollStdoutThrottled = 13,
    kPollStderrThrottled = 14,
    kPollEndMark = 15,  // only in the connection log
    kPollCapacityUnits = 16,
    kPollCapacityBlocks = 17,
};

struct PollEvent {
    uint8_t code = 0;
    uint8_t jobId = 0;        // events 0 to 11, 13, 14
    uint64_t elapsed = 0;     // nanoseconds since the command started
    uint32_t value = 0;       // events 4 to 11
    uint8_t capacity = 0;     // events 16, 17
    const uint8_t* data = nullptr;  // output bytes (0-3) or message (9-11)
    uint32_t dataLength = 0;
};

// Decodes the event at `offset` and advances past it. False when no whole
// event of a known kind starts there (the response is then malformed).
bool NextPollEvent(const uint8_t* payload, uint32_t length, uint32_t& offset, PollEvent& event);

// Whether `jobId` names a job of the connection whose command is running.
using RunningJobCheck = bool (*)(void* context, uint8_t jobId);

// A Poll response: one or more whole events, filling the payload. Events 1
// and 3 to 11 must name a running job.
const char* CheckPollResponse(const uint8_t* payload, uint32_t length, RunningJobCheck isRunning,
                              void* context);

}  // namespace kestrel
