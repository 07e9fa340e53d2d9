// From the first job attached to a path to a connection whose socket is
// registered and whose Hello is on its way: the record, the preparation
// thread's answer, and the job IDs.
#include <cstring>

#include "client/connection.h"
#include "client/direct_client.h"
#include "client/stages.h"
#include "logs/job_key.h"
#include "platform/system_errors.h"
#include "platform/tcp_sockets.h"
#include "prep/preparation_pipe.h"
#include "runtime/error_codes.h"
#include "runtime/messages.h"
#include "script/objects.h"

namespace kestrel {

namespace {

constexpr char kMachineCreationFailed[] = "Machine creation failed";
constexpr char kNoMemoryToPrepare[] = "Insufficient memory to prepare a connection";
constexpr char kPipeRearmFailed[] = "Preparation thread request error {0}";

const char* PreparationFailureText(uint32_t status) {
    switch (status) {
    case kPreparationNoMemory: return kNoMemoryToPrepare;
    case kPreparationNameSize: return "Error finding the size of the converted encoding";
    case kPreparationNameConversion: return "Error converting the name encoding";
    case kPreparationCannotResolve: return "Cannot resolve the host name";
    case kPreparationNoIpv4Address: return "No suitable address reported for host name";
    case kPreparationNoSocket: return "Cannot create a socket";
    case kPreparationNonBlocking: return "Cannot set the socket to non-blocking";
    case kPreparationCannotConnect: return "Cannot connect";
    case kPreparationSshCommandLine: return "Cannot create ssh command line";
    case kPreparationSshThread: return "Cannot start ssh command line thread";
    case kPreparationSshStart: return "Cannot start ssh command line";
    case kPreparationAgentFirst:
        return "Cannot connect directly to an agent; a connection must be made through a server";
    default: return nullptr;
    }
}

// What the code of a preparation failure is, and so who can describe it.
enum class CodeKind : uint8_t {
    System,    // a failed system call's code
    Resolver,  // the name resolver's result code
    Program,   // one of the program's fixed numbers (runtime/error_codes.h)
};

// The program's fixed numbers mean the same on every system, while on POSIX
// the system would describe another error under the same number: the
// program describes them itself.
const char* ProgramCodeText(int32_t code) {
    switch (code) {
    case kErrorNotEnoughMemory: return "Not enough memory";
    case kErrorInvalidParameter: return "The parameter is incorrect";
    case kErrorNoUnicodeTranslation: return "The text is not valid UTF-8";
    default: return nullptr;
    }
}

CodeKind KindOfStatusCode(uint32_t status, int32_t code) {
    if (status == kPreparationCannotResolve) return CodeKind::Resolver;
    // The ssh command line fails with a socket error or with a fixed number.
    const bool fixed = status == kPreparationNoMemory || status == kPreparationNameSize ||
                       (status == kPreparationSshCommandLine && ProgramCodeText(code) != nullptr);
    return fixed ? CodeKind::Program : CodeKind::System;
}

// " (the description)", or nothing for code 0, which says nothing.
std::string DescribedCode(CodeKind kind, int32_t code) {
    if (code == 0) return "";
    std::string text;
    switch (kind) {
    case CodeKind::System: text = platform::SystemErrorText(code); break;
    case CodeKind::Resolver: text = platform::ResolverErrorText(code); break;
    case CodeKind::Program:
        text = ProgramCodeText(code) != nullptr ? ProgramCodeText(code) : platform::SystemErrorText(code);
        break;
    }
    return " (" + text + ")";
}

// The failure of a connection that never became usable: the first hop's
// failed part in the log, the message that says which machine, which hop
// and why, and its waiting jobs on to their next paths. `detail` (ssh's last
// words) follows the text in the log and the description in the message.
void PreparationFailed(Connection& connection, int32_t code, const char* text, CodeKind kind,
                       const char* detail = nullptr) {
    DirectClient& client = *connection.client;
    connection.state |= kConnectionFailed;
    connection.state &= ~kConnectionPreparing;
    const std::string after = detail != nullptr ? std::string(": ") + detail : std::string();
    SetClientMessage(client, "{0}{1}", {{FormatString, text}, {FormatString, after.c_str()}});
    if (connection.log.IsOpen()) {
        if (!connection.log.AppendHopFailed(static_cast<uint32_t>(code), client.message) || !connection.log.Commit())
            ReportLogWriteFailure(connection);
    }
    const std::string why = text + DescribedCode(kind, code) + after;
    PostMessageText(kPreparationFailedMessage, {{FormatString, connection.machineName},
                                                {FormatString, connection.firstHopUrl},
                                                {FormatString, why.c_str()},
                                                {FormatI32, &code}});
    PreparationThread::EndSsh(connection.preparation, connection.firstHopUrl);
    FailOverWaitingJobs(connection);
}

void FailPreparationStatus(Connection& connection, uint32_t status, uint32_t error) {
    // A name without an IPv4 address is reported without a code.
    const int32_t code = status == kPreparationNoIpv4Address ? 0 : static_cast<int32_t>(error);
    const std::string text = DescribePreparationFailure(status, connection.firstHopUrl, nullptr);
    PreparationFailed(connection, code, text.c_str(), KindOfStatusCode(status, code),
                      connection.preparation.sshFailureText);
}

// Abandons a connection whose socket was set but could not be taken into
// use: the socket is closed and the failure handled like a failed status.
void FailPreparedSocket(Connection& connection, int32_t code, const char* text) {
    if (connection.protocol.socket.loop == nullptr) platform::CloseSocket(connection.preparation.socket);
    connection.preparation.socket = platform::kNoSocket;
    PreparationFailed(connection, code, text, CodeKind::System);
}

void OnPollTimerExpired(IoObject* timer, int32_t) {
    Connection& connection = *static_cast<Connection*>(timer->owner);
    if (!connection.pollWaiting) return;
    connection.pollWaiting = false;
    connection.state &= ~kConnectionRequestOutstanding;
    Dispatch(connection);
}

bool LogFirstHopReached(Connection& connection) {
    const PreparationRequest& r = connection.preparation;
    const bool written = r.sshCommandLine != nullptr
                             ? connection.log.AppendHopReachedBySsh(r.peerAddress, r.peerAddressLength, r.sshCommandLine)
                             : connection.log.AppendHopReached(r.peerAddress, r.peerAddressLength);
    return written && connection.log.Commit();
}

void ConnectionPrepared(Connection& connection) {
    DirectClient& client = *connection.client;
    if (!LogFirstHopReached(connection)) {
        ReportLogWriteFailure(connection);
        return FailPreparedSocket(connection, connection.log.error, "Cannot write to the connection log");
    }
    connection.requestJob = nullptr;
    connection.state &= ~kConnectionJobRequest;
    connection.onFailure = OnConnectionFailed;
    connection.recalculations = 0;
    connection.protocol.buffer = connection.protocol.messageBuffer;
    AttachSocket(connection, connection.preparation.socket);
    SendHello(connection, OnHelloAnswer);

    IoObject& timer = connection.pollTimer;
    timer = IoObject{};
    timer.flags = kIoKindNoHandle;
    timer.owner = &connection;
    timer.failureCallback = OnPollTimerExpired;
    int32_t error = 0;
    if (!EventLoop::Register(client.loop, &timer, &error)) return FailPreparedSocket(connection, error, kMachineCreationFailed);
    if (!EventLoop::Register(client.loop, &connection.protocol.socket, &error)) {
        EventLoop::Unregister(&timer);
        return FailPreparedSocket(connection, error, kMachineCreationFailed);
    }
    if (!connection.jobIds.Init()) {
        EventLoop::Unregister(&timer);
        EventLoop::Unregister(&connection.protocol.socket);
        connection.preparation.socket = platform::kNoSocket;
        return PreparationFailed(connection, kErrorNotEnoughMemory, kNoMemoryToPrepare, CodeKind::Program);
    }
    connection.preparation.socket = platform::kNoSocket;  // the socket object owns it now
    connection.state |= kConnectionActive | kConnectionEstablished;
    connection.nextJobId = 1;
    AddActiveConnection(client, connection);
    // An abort that came while the connection was being prepared.
    std::lock_guard<std::mutex> hold(client.lock);
    if (client.abortRequested && (connection.state & kConnectionActive) != 0)
        EventLoop::CancelFromOtherThread(&connection.protocol.socket);
}

void RearmPreparationPipe(DirectClient& client) {
    if (!client.pipeOpen) return;
    IoObject& pipe = client.preparationPipe;
    int32_t error = 0;
    if (PreparationPipe::ReadNext(pipe, error)) return;
    EventLoop::Unregister(&pipe);
    client.pipeOpen = false;
    PostMessageText(kPipeRearmFailed, {{FormatI32, &error}});
}

}  // namespace

std::string DescribePreparationCode(uint32_t status, int32_t code) {
    return DescribedCode(KindOfStatusCode(status, code), code);
}

std::string DescribePreparationFailure(uint32_t status, const char* url, const char* sshText) {
    const char* known = PreparationFailureText(status);
    std::string text = known != nullptr ? std::string(known)
                                        : FormatToString("Unknown failure {0} for {1}",
                                                         {{FormatU32, &status}, {FormatString, url}});
    // When ssh gave up before its forward answered, its own last words say why.
    if (sshText != nullptr) text += std::string(": ") + sshText;
    return text;
}

bool PrepareConnectionRecord(Connection& connection, const char* jobName, bool& logFailed) {
    (void)jobName;
    logFailed = false;
    if (connection.protocol.messageBuffer != nullptr) return true;
    if (!AllocateMessageBuffer(connection)) return false;
    if (!connection.log.Create(connection.firstHopUrl)) {
        FreeMessageBuffer(connection);
        logFailed = true;
        return false;
    }
    return true;
}

void Prepare(Connection& connection) {
    DirectClient& client = *connection.client;
    connection.usedNext = client.usedConnections;
    client.usedConnections = &connection;
    connection.holdsLog = true;
    if (!connection.log.Start(connection.machineName, connection.pathId) ||
        !connection.log.BeginFirstHop(connection.firstHopUrl)) {
        ReportLogWriteFailure(connection);
        return PreparationFailed(connection, connection.log.error, "Cannot write to the connection log",
                                 CodeKind::System);
    }
    connection.state |= kConnectionPreparing;
    PreparationThread::Submit(client.preparation, connection.preparation);
}

void OnPreparationAnswer(IoObject* pipe) {
    DirectClient& client = *static_cast<DirectClient*>(pipe->owner);
    if ((pipe->flags & kIoStateEndOfStream) != 0) return;
    client.loop = pipe->loop;
    const PreparationResponse answer = client.preparationAnswer;
    Connection& connection = *static_cast<Connection*>(answer.request->owner);
    if (answer.status == kPreparedConnected) ConnectionPrepared(connection);
    else FailPreparationStatus(connection, answer.status, answer.error);
    RearmPreparationPipe(client);
}

bool GiveJobId(Connection& connection, RemoteJob& job) {
    if ((connection.state & kConnectionAllIdsInUse) != 0) return true;
    const uint8_t start = connection.nextJobId;
    uint8_t candidate = start;
    char key[3];
    for (;;) {
        MakeJobKey(candidate, key);
        if (connection.jobIds.Find(key) == nullptr) break;
        candidate = candidate == 254 ? 1 : static_cast<uint8_t>(candidate + 1);
        if (candidate == start) {
            connection.state |= kConnectionAllIdsInUse;
            return true;
        }
    }
    job.jobId = candidate;
    std::memcpy(job.key, key, sizeof key);
    if (!connection.jobIds.Insert(job.key, &job, nullptr)) {
        job.jobId = kNoJobId;
        job.key[0] = '\0';
        ProtocolFailure(connection, kInsufficientMemoryForClient, false);
        return false;
    }
    connection.nextJobId = candidate == 254 ? 1 : static_cast<uint8_t>(candidate + 1);
    return true;
}

void ReleaseJobId(Connection& connection, RemoteJob& job) {
    if (job.jobId == kNoJobId) return;
    if (connection.jobIds.entries != nullptr) connection.jobIds.Remove(job.key);
    job.jobId = kNoJobId;
    job.key[0] = '\0';
}

}  // namespace kestrel
