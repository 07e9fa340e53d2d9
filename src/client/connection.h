// The client's side of one connection path to one machine, and the protocol
// layer every request goes through: the request is sent from the message
// buffer, the response read back into it, keep-alives echoed, and framing
// faults and I/O failures turned into connection or protocol failures.
//
// The record is shared with the script's machine path: the parser's fields
// (machine name, PathID, hops) and the run controller's (job lists, job ID
// table, poll timer) join this struct as those parts are built; the protocol
// state stays grouped in `protocol` so that nothing here moves.
//
// Sending a request and handling its response:
//
//   PayloadWriter w = BeginPayload(c.protocol.messageBuffer, utf16);
//   BuildJobRequest(w, MessageType::Execute, jobId);
//   c.log.BeginRecord(w.payload, w.length);                 // the request part
//   SendRequest(c, w.length, OnExecuteResponse, {LogFiller::Status});
//
//   void OnExecuteResponse(Connection& c, uint8_t* message, uint32_t length) {
//       RemoteJob& job = RequestJob(c);
//       StatusResponse r;
//       if (!TakeStatusResponse(c, message, length, CheckExecuteResponse, r)) return;
//       ...
//   }
#pragma once

#include <cstdint>

#include "client/remote_job.h"
#include "client/responses.h"
#include "client/wire.h"
#include "eventloop/event_loop.h"
#include "logs/connection_log.h"
#include "prep/preparation.h"
#include "runtime/name_table.h"

namespace kestrel {

struct DirectClient;
struct Connection;
struct Hop;
struct MachinePath;

// Connection::state
inline constexpr uint32_t kConnectionActive = 0x01;
inline constexpr uint32_t kConnectionRequestOutstanding = 0x04;
inline constexpr uint32_t kConnectionPreparing = 0x08;
inline constexpr uint32_t kConnectionUtf16 = 0x10;
inline constexpr uint32_t kConnectionAllIdsInUse = 0x20;
inline constexpr uint32_t kConnectionEstablished = 0x40;
inline constexpr uint32_t kConnectionFailed = 0x80;
inline constexpr uint32_t kConnectionJobRequest = 0x100;

// Failure texts of this layer ({0} the first hop URL, {1} the error code).
inline constexpr char kMachineTerminated[] = "Machine {0} immediately terminated the connection";
inline constexpr char kConnectionTimedOut[] = "Connection to {0} timed out";
inline constexpr char kConnectionFailedError[] = "Connection to {0} failed, error {1}";
inline constexpr char kRequestFailed[] = "Request for machine {0} failed, error {1}";
inline constexpr char kInvalidResponse[] = "The machine {0} sent an invalid response";
inline constexpr char kUnexpectedSequence[] = "Unexpected sequence received";
inline constexpr char kUnexpectedLength[] = "Unexpected message length received";
inline constexpr char kMachineFailed[] = "Machine failed with connection error: {0}";
// A connection that could not be prepared: the machine, the first hop's URL,
// the failure with the system's description of its code, and the code.
inline constexpr char kPreparationFailedMessage[] = "Machine {0} ({1}): {2}, error {3}";

// Runs when a whole response is in: `message` is the buffer (header first),
// `length` the message length, header included.
using ResponseHandler = void (*)(Connection& connection, uint8_t* message, uint32_t length);
// The run controller's part of a failure (fail the jobs, close the connection).
using ConnectionFailureHandler = void (*)(Connection& connection);

// What CheckResponse asks for after a read.
enum class FrameStep : uint8_t {
    ReadMore,           // the header is not in yet: read on, appending
    ReadRest,           // read exactly remainingCount more bytes
    EchoKeepAlive,      // a lone keep-alive of the outstanding request: write it back
    IgnoreKeepAlive,    // a lone keep-alive of another request: read again
    Complete,           // the response is in the buffer
    Closed,             // the read brought nothing: the machine closed the stream
    WrongConnectionId,
    WrongSequence,
    WrongLength,        // more bytes arrived than the message holds
};

struct FrameCheck {
    FrameStep step;
    uint32_t length;  // Complete: the message length
};

// The time-out of every read and write on a connection: 90 seconds. Only a
// test program of the suite shortens it (before anything else runs), so
// that a machine that stays silent can be tried out in seconds.
uint64_t RequestTimeout();
void SetRequestTimeoutForTests(uint64_t ticks);

// The protocol state of a connection.
struct ConnectionProtocol {
    IoObject socket;                     // the stream; its owner word is the Connection
    uint8_t* messageBuffer = nullptr;    // the connection's own 64 KiB buffer
    uint8_t* buffer = nullptr;           // the buffer of the current exchange (set per request)
    uint32_t connectionId = 0;
    uint16_t sequence = 0;               // of the latest request
    uint32_t receivedCount = 0;          // of the response being read
    uint32_t remainingCount = 0;
    ResponseHandler handler = nullptr;   // of the outstanding request
    uint64_t timeout = RequestTimeout();  // of every read and write
    bool writing = false;                // the socket's operation is a write
};

// The machine's path separator, in both forms the client needs.
struct MachineSeparator {
    char utf8[4] = {'/', 0, 0, 0};  // joins path components in command arguments and output paths
    uint32_t utf8Length = 1;
    uint8_t wire[32] = {'/'};       // in the machine's encoding, for archive names
    uint32_t wireLength = 1;
};

struct Connection {
    const char* machineName = nullptr;
    uint32_t pathId = 0;
    const char* firstHopUrl = nullptr;   // {0} of every connection message
    DirectClient* client = nullptr;
    MachinePath* path = nullptr;         // the script's record of this path
    const Hop* hops = nullptr;           // first hop first
    uint32_t state = 0;
    ConnectionProtocol protocol;
    ConnectionLog log;
    bool holdsLog = false;               // the log is still the connection's (not handed over)
    // The job whose request is outstanding (with kConnectionJobRequest).
    void* requestJob = nullptr;
    ConnectionFailureHandler onFailure = nullptr;
    Connection* activeNext = nullptr;    // the client's active list
    Connection* activePrevious = nullptr;
    Connection* usedNext = nullptr;      // the client's list of connections that were tried

    // Preparation and admission.
    PreparationRequest preparation;
    const Hop* currentHop = nullptr;     // the hop the stream reaches now
    uint32_t recalculations = 0;

    // Negotiation results.
    MachineSeparator separator;
    uint16_t majorVersion = 0;
    uint16_t minorVersion = 0;
    uint16_t build = 0;
    uint32_t patch = 0;

    // Jobs.
    JobList stages[kStageCount];
    RemoteJob* capacityWaiter = nullptr;  // the one job refused for capacity
    RemoteJobPool pool;
    NameTable jobIds;                     // job key -> RemoteJob
    uint8_t nextJobId = 1;

    // Polling: a pure timer, and the current back-off step.
    IoObject pollTimer;
    uint64_t pollDelay = 0;               // 100-ns units; 0: the next wait is the first
    bool pollWaiting = false;             // the request-outstanding mark is the poll timer's

    // A dispatcher pass is running; another was asked for meanwhile.
    bool dispatching = false;
    bool redispatch = false;
};

// The 64 KiB message buffer, allocated when the first job is attached.
bool AllocateMessageBuffer(Connection& connection);
void FreeMessageBuffer(Connection& connection);

// Sets up the socket object on a connected socket; the caller registers it
// with the event loop, which starts whatever operation is set up (the Hello).
void AttachSocket(Connection& connection, platform::SocketHandle socket);

// Draws a new connection id, resets the sequence to 0 and writes the Hello;
// its answer goes to `onAnswer`. On a socket not yet registered, the write
// starts when it is registered.
void SendHello(Connection& connection, ResponseHandler onAnswer);

// The payload is in the message buffer from offset 8. Numbers the request,
// fills the header, marks the request outstanding, remembers the log filler
// and writes the message; once written, the response is read into the same
// buffer and handed to `handler`. Returns false (after reporting the failure)
// when the request could not be sent.
bool SendRequest(Connection& connection, uint32_t payloadLength, ResponseHandler handler,
                 const LogFillerInfo& filler);
// The same from another buffer of the same form (the input transfer's), which
// then also receives the response.
bool SendRequestFrom(Connection& connection, uint8_t* buffer, uint32_t payloadLength,
                     ResponseHandler handler, const LogFillerInfo& filler);

// Reads a response from the buffer start and hands it to `handler`.
void ReadResponse(Connection& connection, ResponseHandler handler);

// The framing checks after a read of `n` new bytes: updates the counts and
// moves bytes past a dropped keep-alive to the buffer start.
FrameCheck CheckResponse(ConnectionProtocol& protocol, uint32_t n);

// Failure entry points. `format` gets {0} the first hop URL and {1} the code.
// Both write the client's message and the error record, post the failure and
// then hand the connection to onFailure (or close its socket when none is set).
void ConnectionFailure(Connection& connection, const char* format, int32_t code);
// `malformed`: a response broke its catalogue row or carried a wrong
// connection id; the run is then marked as having seen a protocol error.
void ProtocolFailure(Connection& connection, const char* format, bool malformed, int32_t code = 0);

// The same with a text that is used as it stands (a machine's reason, say).
void ConnectionFailureText(Connection& connection, const char* text, int32_t code);
void ProtocolFailureText(Connection& connection, const char* text, bool malformed, int32_t code = 0);

// Takes the connection off the client's active list and closes its socket.
void CloseConnectionSocket(Connection& connection);

// Appends the stored part of a checked response: its first logLength bytes
// and, for machine text, the 0 byte that ends it.
bool LogResponsePart(ConnectionLog& log, const uint8_t* payload, const StatusResponse& response);

// Posts "Cannot write to the log for connection {0}, error {1}".
void ReportLogWriteFailure(const Connection& connection);

}  // namespace kestrel
