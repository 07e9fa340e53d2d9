// The machine's answer to the Hello, the Tunnel requests through servers to
// the last hop, and the negotiation that follows: encoding, separators,
// capabilities and version.
#include <cstring>

#include "client/connection.h"
#include "client/direct_client.h"
#include "client/requests.h"
#include "client/responses.h"
#include "client/stages.h"
#include "runtime/messages.h"
#include "runtime/utf16.h"
#include "runtime/utf8.h"
#include "script/objects.h"

namespace kestrel {

namespace {

constexpr uint32_t kMaxRecalculations = 100;
constexpr char kTooBusy[] = "The machine {0} is too busy to accept connections";
constexpr char kInsecureMachine[] =
    "A secure connection was made to a machine configured insecurely. Insecure connections to {0} are possible.";

const uint8_t* Payload(uint8_t* message) { return message + kMessageHeaderSize; }
uint32_t PayloadLength(uint32_t length) { return length - kMessageHeaderSize; }

void SendTunnel(Connection& connection);
void OnTunnelResponse(Connection& connection, uint8_t* message, uint32_t length);

void SendBare(Connection& connection, MessageType type, ResponseHandler handler, LogFiller filler) {
    PayloadWriter writer = BeginPayload(connection.protocol.messageBuffer, false);
    BuildBareRequest(writer, type);
    if (filler != LogFiller::None && !connection.log.BeginRecord(writer.payload, writer.length))
        return LogWriteFailed(connection);
    SendRequest(connection, writer.length, handler, {filler});
}

// The tunnel is refused by the server: the connection and its jobs fail.
void TunnelFailed(Connection& connection) {
    DirectClient& client = *connection.client;
    connection.state |= kConnectionFailed;
    client.resultFlags |= kClientJobFailed;
    AbandonAllJobs(connection, JobFailure::Run);
    CloseConnection(connection);
    if (RunIsOver(client)) EndRun(client);
}

void NextHopOrNegotiate(Connection& connection) {
    if (connection.currentHop->next != nullptr) {
        connection.currentHop = connection.currentHop->next;
        return SendTunnel(connection);
    }
    ContinueHandshake(connection);
}

void SendTunnel(Connection& connection) {
    PayloadWriter writer = BeginPayload(connection.protocol.messageBuffer, false);
    const char* url = connection.currentHop->url;
    BuildTunnel(writer, url, static_cast<uint32_t>(std::strlen(url)));
    if (!connection.log.BeginRecord(writer.payload, writer.length)) return LogWriteFailed(connection);
    SendRequest(connection, writer.length, OnTunnelResponse, {LogFiller::Tunnel});
}

void OnTunnelResponse(Connection& connection, uint8_t* message, uint32_t length) {
    const uint8_t* payload = Payload(message);
    StatusResponse response;
    if (const char* fault = CheckTunnelResponse(payload, PayloadLength(length), response))
        return ProtocolFailure(connection, fault, true);
    ConnectionLog& log = connection.log;
    if (response.status == 0) {
        if (!LogResponsePart(log, payload, response) || !log.Commit()) return LogWriteFailed(connection);
        return NextHopOrNegotiate(connection);
    }
    if (!LogResponsePart(log, payload, response) || !log.AppendTime() || !log.Commit())
        return LogWriteFailed(connection);
    TunnelFailed(connection);
}

void OnEncodingResponse(Connection& connection, uint8_t* message, uint32_t length);
void OnSeparatorsResponse(Connection& connection, uint8_t* message, uint32_t length);
void OnCapabilitiesResponse(Connection& connection, uint8_t* message, uint32_t length);
void OnVersionResponse(Connection& connection, uint8_t* message, uint32_t length);

void OnEncodingResponse(Connection& connection, uint8_t* message, uint32_t length) {
    EncodingResponse response;
    if (const char* fault = CheckEncodingResponse(Payload(message), PayloadLength(length), response))
        return ProtocolFailure(connection, fault, true);
    if (response.utf16) {
        connection.state |= kConnectionUtf16;
        connection.log.utf16 = true;
    }
    SendBare(connection, MessageType::Separators, OnSeparatorsResponse, LogFiller::None);
}

// The separator as UTF-8 (for command arguments and output paths) and as
// the machine writes it (for archive names). False when it cannot be used.
bool KeepSeparator(Connection& connection, const SeparatorsResponse& response) {
    MachineSeparator& separator = connection.separator;
    if (response.count == 0) return true;  // no separator announced: '/' stays
    if (response.firstLength > sizeof separator.wire) return false;
    std::memcpy(separator.wire, response.first, response.firstLength);
    separator.wireLength = response.firstLength;
    if ((connection.state & kConnectionUtf16) == 0) {
        if (response.firstLength >= sizeof separator.utf8) return false;
        std::memcpy(separator.utf8, response.first, response.firstLength);
        separator.utf8Length = response.firstLength;
        return true;
    }
    uint8_t utf8[sizeof separator.utf8];
    uint32_t written = 0;
    const uint32_t units = response.firstLength / 2;
    for (uint32_t at = 0; at < units;) {
        uint32_t code = 0;
        const uint32_t taken = DecodeUtf16Le(response.first + 2 * at, units - at, code);
        if (taken == 0) return false;
        uint8_t bytes[4];
        const uint32_t n = EncodeUtf8(code, bytes);
        if (written + n > 3) return false;
        std::memcpy(utf8 + written, bytes, n);
        written += n;
        at += taken;
    }
    std::memcpy(separator.utf8, utf8, written);
    separator.utf8Length = written;
    return true;
}

void OnSeparatorsResponse(Connection& connection, uint8_t* message, uint32_t length) {
    SeparatorsResponse response;
    const bool utf16 = (connection.state & kConnectionUtf16) != 0;
    if (const char* fault = CheckSeparatorsResponse(Payload(message), PayloadLength(length), utf16, response))
        return ProtocolFailure(connection, fault, true);
    if (!KeepSeparator(connection, response)) return ProtocolFailure(connection, kSeparatorsCorrupt, true);
    SendBare(connection, MessageType::Capabilities, OnCapabilitiesResponse, LogFiller::None);
}

const Hop* LastHop(const Connection& connection) {
    const Hop* hop = connection.hops;
    while (hop != nullptr && hop->next != nullptr) hop = hop->next;
    return hop;
}

void OnCapabilitiesResponse(Connection& connection, uint8_t* message, uint32_t length) {
    bool secure = false;
    if (const char* fault = CheckCapabilitiesResponse(Payload(message), PayloadLength(length), secure))
        return ProtocolFailure(connection, fault, true);
    const Hop* last = LastHop(connection);
    if (!secure && last != nullptr && last->protocol == HopProtocol::Tunnel)
        PostWarningText(kInsecureMachine, {{FormatString, connection.firstHopUrl}});
    SendBare(connection, MessageType::Version, OnVersionResponse, LogFiller::Version);
}

void OnVersionResponse(Connection& connection, uint8_t* message, uint32_t length) {
    VersionResponse version;
    const uint8_t* payload = Payload(message);
    if (const char* fault = CheckVersionResponse(payload, PayloadLength(length), version))
        return ProtocolFailure(connection, fault, true);
    connection.majorVersion = version.major;
    connection.minorVersion = version.minor;
    connection.build = version.build;
    connection.patch = version.patch;
    if (!connection.log.Append(payload, PayloadLength(length)) || !connection.log.Commit())
        return LogWriteFailed(connection);
    for (RemoteJob* job = StageList(connection, Stage::Start).head; job != nullptr; job = job->next)
        if (job->jobId == kNoJobId && !GiveJobId(connection, *job)) return;
    Dispatch(connection);
}

}  // namespace

void OnHelloAnswer(Connection& connection, uint8_t* message, uint32_t length) {
    const uint8_t* reason = nullptr;
    uint32_t reasonLength = 0;
    switch (ClassifyHelloAnswer(Payload(message), PayloadLength(length), reason, reasonLength)) {
    case HelloAnswer::Reject: {
        const CountedString text{reinterpret_cast<const char*>(reason), reasonLength};
        const std::string why = FormatToString("{0}", {{FormatCountedString, &text}});
        return ProtocolFailureText(connection, why.c_str(), false);
    }
    case HelloAnswer::Recalculate:
        if (++connection.recalculations > kMaxRecalculations) return ConnectionFailure(connection, kTooBusy, 0);
        return SendHello(connection, OnHelloAnswer);
    case HelloAnswer::Accept:
        connection.state &= ~kConnectionPreparing;
        connection.currentHop = connection.hops;
        return NextHopOrNegotiate(connection);
    case HelloAnswer::Unexpected:
        return ProtocolFailure(connection, kHelloUnexpected, true);
    }
}

void ContinueHandshake(Connection& connection) {
    SendBare(connection, MessageType::Encoding, OnEncodingResponse, LogFiller::None);
}

}  // namespace kestrel
