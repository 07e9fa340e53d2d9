#include "client/connection.h"

#include <cstdlib>
#include <cstring>

#include "client/direct_client.h"
#include "client/requests.h"
#include "platform/clock.h"
#include "platform/crypto.h"
#include "runtime/messages.h"

namespace kestrel {

namespace {

// A request started while another is outstanding: a fault of the caller.
constexpr char kRequestWhileOutstanding[] =
    "INTERNAL ERROR: A request was started while another was outstanding (26101)";
constexpr char kPayloadTooLong[] = "INTERNAL ERROR: A request payload does not fit its message (26102)";

const char* Url(const Connection& connection) {
    return connection.firstHopUrl != nullptr ? connection.firstHopUrl : "";
}

Connection& Owner(IoObject* object) { return *static_cast<Connection*>(object->owner); }

void StartSocket(Connection& connection) {
    IoObject& socket = connection.protocol.socket;
    // Not registered yet: registration starts the operation.
    if (socket.loop == nullptr) return;
    int32_t error = 0;
    if (!EventLoop::Start(&socket, &error)) ConnectionFailure(connection, kRequestFailed, error);
}

void StartRead(Connection& connection, uint32_t offset, uint32_t count, bool anyData) {
    ConnectionProtocol& p = connection.protocol;
    p.writing = false;
    p.socket.buffer = p.buffer + offset;
    p.socket.length = count;
    p.socket.operation = static_cast<uint8_t>(kIoRead | (anyData ? kIoCompleteOnAnyData : 0));
    p.socket.timeout = p.timeout;
    StartSocket(connection);
}

void StartWrite(Connection& connection, uint32_t count) {
    ConnectionProtocol& p = connection.protocol;
    p.writing = true;
    p.socket.buffer = p.buffer;
    p.socket.length = count;
    p.socket.operation = kIoWrite;
    p.socket.timeout = p.timeout;
    StartSocket(connection);
}

// A keep-alive that arrives alone: in automated mode, a run that has not
// seen a job end for too long is aborted (its sockets fail on the loop).
void CheckWatchdog(Connection& connection) {
    DirectClient* client = connection.client;
    if (client != nullptr && WatchdogExpired(*client, platform::LocalFileTimeNow())) Abort(*client);
}

void OnSocketCompleted(IoObject* object) {
    Connection& connection = Owner(object);
    ConnectionProtocol& p = connection.protocol;
    if (p.writing) {
        p.writing = false;
        // A write cut short by the end of the stream did not deliver the message.
        if (object->position != object->length) return ConnectionFailure(connection, kMachineTerminated, 0);
        return ReadResponse(connection, p.handler);
    }
    const FrameCheck check = CheckResponse(p, object->position);
    switch (check.step) {
    case FrameStep::ReadMore:
        return StartRead(connection, p.receivedCount, kMessageBufferSize - p.receivedCount, true);
    case FrameStep::ReadRest:
        return StartRead(connection, p.receivedCount, p.remainingCount, false);
    case FrameStep::EchoKeepAlive:
        CheckWatchdog(connection);
        return StartWrite(connection, kMessageHeaderSize);
    case FrameStep::IgnoreKeepAlive:
        CheckWatchdog(connection);
        return ReadResponse(connection, p.handler);
    case FrameStep::Complete:
        connection.state &= ~kConnectionRequestOutstanding;
        connection.log.ClearFiller();
        return p.handler(connection, p.buffer, check.length);
    case FrameStep::Closed:
        return ConnectionFailure(connection, kMachineTerminated, 0);
    case FrameStep::WrongConnectionId:
        return ProtocolFailure(connection, kInvalidResponse, true);
    case FrameStep::WrongSequence:
        return ProtocolFailure(connection, kUnexpectedSequence, false);
    case FrameStep::WrongLength:
        return ProtocolFailure(connection, kUnexpectedLength, false);
    }
}

void OnSocketFailed(IoObject* object, int32_t error) {
    Connection& connection = Owner(object);
    connection.protocol.writing = false;
    if (error == 0) return ConnectionFailure(connection, kConnectionTimedOut, 0);
    ConnectionFailure(connection, kConnectionFailedError, error);
}

// `format` gets {0} the first hop URL, {1} the code and {2} `detail`.
void FailConnection(Connection& connection, bool protocol, const char* format, int32_t code, bool malformed,
                    const char* detail = "") {
    connection.state &= ~kConnectionRequestOutstanding;
    connection.state |= kConnectionFailed;
    connection.pollWaiting = false;
    const char* url = Url(connection);
    char local[512];
    const char* text = local;
    if (DirectClient* client = connection.client) {
        SetClientMessage(*client, format, {{FormatString, url}, {FormatI32, &code}, {FormatString, detail}});
        if (malformed) client->stateFlags |= kClientProtocolFailureSeen;
        text = client->message;
    } else {
        FormatText(local, sizeof local, format, {{FormatString, url}, {FormatI32, &code}, {FormatString, detail}});
    }
    if (connection.log.IsOpen()) {
        const uint32_t recorded = static_cast<uint32_t>(code);
        const bool written = protocol ? connection.log.WriteProtocolError(recorded, text)
                                      : connection.log.WriteConnectionError(recorded, text);
        if (!written) ReportLogWriteFailure(connection);
    }
    connection.log.ClearFiller();
    PostMessageText(kMachineFailed, {{FormatString, text}});
    if (connection.onFailure != nullptr) return connection.onFailure(connection);
    CloseConnectionSocket(connection);
}

uint64_t gRequestTimeout = kRequestTimeout;

}  // namespace

uint64_t RequestTimeout() { return gRequestTimeout; }
void SetRequestTimeoutForTests(uint64_t ticks) { gRequestTimeout = ticks; }

bool AllocateMessageBuffer(Connection& connection) {
    ConnectionProtocol& p = connection.protocol;
    if (p.messageBuffer == nullptr) p.messageBuffer = static_cast<uint8_t*>(std::malloc(kMessageBufferSize));
    p.buffer = p.messageBuffer;
    return p.messageBuffer != nullptr;
}

void FreeMessageBuffer(Connection& connection) {
    ConnectionProtocol& p = connection.protocol;
    if (p.buffer == p.messageBuffer) p.buffer = nullptr;
    std::free(p.messageBuffer);
    p.messageBuffer = nullptr;
}

void AttachSocket(Connection& connection, platform::SocketHandle socket) {
    IoObject& object = connection.protocol.socket;
    object = IoObject{};
    object.socket = socket;
    object.owner = &connection;
    object.completionCallback = OnSocketCompleted;
    object.failureCallback = OnSocketFailed;
    connection.protocol.writing = false;
}

void SendHello(Connection& connection, ResponseHandler onAnswer) {
    ConnectionProtocol& p = connection.protocol;
    p.buffer = p.messageBuffer;
    p.connectionId = platform::RandomU32();
    p.sequence = 0;
    p.handler = onAnswer;
    BuildHello(p.buffer, p.connectionId);
    // The Hello and its answer are not logged.
    connection.log.ClearFiller();
    connection.state |= kConnectionRequestOutstanding;
    StartWrite(connection, kHelloLength);
}

bool SendRequest(Connection& connection, uint32_t payloadLength, ResponseHandler handler,
                 const LogFillerInfo& filler) {
    return SendRequestFrom(connection, connection.protocol.messageBuffer, payloadLength, handler, filler);
}

bool SendRequestFrom(Connection& connection, uint8_t* buffer, uint32_t payloadLength, ResponseHandler handler,
                     const LogFillerInfo& filler) {
    if (connection.state & kConnectionRequestOutstanding) {
        ProtocolFailure(connection, kRequestWhileOutstanding, false);
        return false;
    }
    if (payloadLength == 0 || payloadLength > kMaxRequestPayload) {
        ProtocolFailure(connection, kPayloadTooLong, false);
        return false;
    }
    ConnectionProtocol& p = connection.protocol;
    p.buffer = buffer;
    p.sequence = NextSequence(p.sequence);
    WriteHeader(p.buffer, MessageHeader{p.connectionId, p.sequence,
                                        static_cast<uint16_t>(payloadLength + kMessageHeaderSize)});
    connection.state |= kConnectionRequestOutstanding;
    connection.log.SetFiller(filler);
    p.handler = handler;
    StartWrite(connection, payloadLength + kMessageHeaderSize);
    return (connection.state & kConnectionFailed) == 0;
}

void ReadResponse(Connection& connection, ResponseHandler handler) {
    ConnectionProtocol& p = connection.protocol;
    p.handler = handler;
    p.receivedCount = 0;
    p.remainingCount = 0;
    StartRead(connection, 0, kMessageBufferSize, true);
}

FrameCheck CheckResponse(ConnectionProtocol& p, uint32_t n) {
    if (n == 0) return {FrameStep::Closed, 0};
    const uint32_t before = p.receivedCount;
    p.receivedCount += n;
    if (before >= kMessageHeaderSize) {
        // Only the exact remainder was asked for.
        if (n > p.remainingCount) return {FrameStep::WrongLength, 0};
        p.remainingCount -= n;
        if (p.remainingCount == 0) return {FrameStep::Complete, p.receivedCount};
        return {FrameStep::ReadRest, 0};
    }
    for (;;) {
        if (p.receivedCount < kMessageHeaderSize) return {FrameStep::ReadMore, 0};
        const MessageHeader header = ReadHeader(p.buffer);
        if (header.connectionId != p.connectionId) return {FrameStep::WrongConnectionId, 0};
        if (header.length == kMessageHeaderSize) {
            p.receivedCount -= kMessageHeaderSize;
            if (p.receivedCount == 0)
                return {header.sequence == p.sequence ? FrameStep::EchoKeepAlive : FrameStep::IgnoreKeepAlive, 0};
            // The response came with it: the keep-alive is dropped unanswered.
            std::memmove(p.buffer, p.buffer + kMessageHeaderSize, p.receivedCount);
            continue;
        }
        if (header.sequence != p.sequence) return {FrameStep::WrongSequence, 0};
        if (header.length == p.receivedCount) return {FrameStep::Complete, p.receivedCount};
        if (header.length < p.receivedCount) return {FrameStep::WrongLength, 0};
        p.remainingCount = header.length - p.receivedCount;
        return {FrameStep::ReadRest, 0};
    }
}

void ConnectionFailure(Connection& connection, const char* format, int32_t code) {
    FailConnection(connection, false, format, code, false);
}

void ProtocolFailure(Connection& connection, const char* format, bool malformed, int32_t code) {
    FailConnection(connection, true, format, code, malformed);
}

void ConnectionFailureText(Connection& connection, const char* text, int32_t code) {
    FailConnection(connection, false, "{2}", code, false, text);
}

void ProtocolFailureText(Connection& connection, const char* text, bool malformed, int32_t code) {
    FailConnection(connection, true, "{2}", code, malformed, text);
}

void CloseConnectionSocket(Connection& connection) {
    if (connection.client != nullptr) RemoveActiveConnection(*connection.client, connection);
    connection.state &= ~(kConnectionActive | kConnectionRequestOutstanding);
    EventLoop::Unregister(&connection.protocol.socket);
}

bool LogResponsePart(ConnectionLog& log, const uint8_t* payload, const StatusResponse& response) {
    if (!response.logTerminator) return log.Append(payload, response.logLength);
    // The machine's text goes in as the log's string (converted from UTF-16).
    const uint32_t head = static_cast<uint32_t>(response.text - payload);
    return log.Append(payload, head) && log.AppendMachineText(response.text, response.textLength);
}

void ReportLogWriteFailure(const Connection& connection) {
    const int32_t code = connection.log.error;
    PostMessageText(kCannotWriteConnectionLog,
                    {{FormatString, connection.machineName ? connection.machineName : ""}, {FormatI32, &code}});
}

}  // namespace kestrel
