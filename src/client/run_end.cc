// The end of the run: the preparation thread stopped, every connection told
// goodbye and closed one after the other, every connection log handed over
// for the build log.
#include <cstdio>
#include <cstdlib>

#include "client/connection.h"
#include "client/direct_client.h"
#include "client/requests.h"
#include "client/stages.h"
#include "runtime/messages.h"

namespace kestrel {

namespace {

// The run controller waits this long for the preparation thread to end.
constexpr uint32_t kPreparationStopMilliseconds = 120000;

void StopPreparationThread(DirectClient& client) {
    if ((client.stateFlags & kClientPreparationQueueSetUp) == 0) return;
    if (!PreparationThread::Stop(client.preparation, kPreparationStopMilliseconds)) {
        std::fputs("stop_preparation_thread_prp wait failed\n", stderr);
        return;
    }
    client.stateFlags &= ~kClientPreparationQueueSetUp;
}

void OnEndConnectionResponse(Connection& connection, uint8_t*, uint32_t) { CloseConnection(connection); }

// Connections whose preparation never answered (the thread was stopped
// first, or the run was aborted meanwhile) still hold their jobs and log.
void DropUnansweredConnections(DirectClient& client) {
    const bool aborted = IsAbortRequested(client);
    for (Connection* c = client.usedConnections; c != nullptr; c = c->usedNext) {
        if ((c->state & kConnectionPreparing) == 0 || (c->state & kConnectionActive) != 0) continue;
        c->state &= ~kConnectionPreparing;
        c->state |= kConnectionFailed;
        AbandonAllJobs(*c, aborted ? JobFailure::Run : JobFailure::RecordOnly);
        if (c->holdsLog) HandOverLog(*c);
    }
}

void SendEndConnection(Connection& connection) {
    PayloadWriter writer = BeginPayload(connection.protocol.messageBuffer, false);
    BuildBareRequest(writer, MessageType::EndConnection);
    SendRequest(connection, writer.length, OnEndConnectionResponse, {});
}

}  // namespace

void HandOverLog(Connection& connection) {
    DirectClient& client = *connection.client;
    connection.holdsLog = false;
    TempLog* file = connection.log.HandOver();
    if (file == nullptr) return;
    if (client.handedLogCount == client.handedLogCapacity) {
        const uint32_t capacity = client.handedLogCapacity == 0 ? 1 : 2 * client.handedLogCapacity;
        auto* grown = static_cast<HandedLog*>(std::realloc(client.handedLogs, capacity * sizeof(HandedLog)));
        if (grown == nullptr) {
            PostMessageText(kInsufficientMemoryForClient);
            client.buildLogLost = true;
            return;
        }
        client.handedLogs = grown;
        client.handedLogCapacity = capacity;
    }
    client.handedLogs[client.handedLogCount++] = HandedLog{file, (connection.state & kConnectionUtf16) != 0};
}

void CloseConnection(Connection& connection) {
    DirectClient& client = *connection.client;
    if ((connection.state & kConnectionActive) != 0) {
        RemoveActiveConnection(client, connection);
        connection.state &= ~(kConnectionActive | kConnectionRequestOutstanding);
        connection.pollWaiting = false;
        if (connection.jobIds.entries != nullptr) connection.jobIds.Destroy();
        connection.jobIds = NameTable{};
        EventLoop::Unregister(&connection.protocol.socket);
        EventLoop::Unregister(&connection.pollTimer);
    }
    PreparationThread::EndSsh(connection.preparation, connection.firstHopUrl);
    if (connection.holdsLog) HandOverLog(connection);
    if ((client.stateFlags & kClientEnding) != 0) EndRun(client);
}

void EndRun(DirectClient& client) {
    if ((client.stateFlags & kClientRunning) == 0) return;
    StopPreparationThread(client);
    Connection* connection = client.activeConnections;
    if (connection == nullptr) {
        DropUnansweredConnections(client);
        if (client.pipeOpen) {
            client.pipeOpen = false;
            EventLoop::Unregister(&client.preparationPipe);
        }
        client.stateFlags &= ~(kClientRunning | kClientEnding);
        return;
    }
    client.stateFlags |= kClientEnding;
    const bool aborted = IsAbortRequested(client);
    if (connection->pollWaiting) {
        // Waiting out a poll delay is not a request: the goodbye need not wait.
        connection->pollWaiting = false;
        connection->state &= ~kConnectionRequestOutstanding;
    }
    if ((connection->state & kConnectionRequestOutstanding) != 0) {
        if (aborted) {
            std::lock_guard<std::mutex> hold(client.lock);
            EventLoop::CancelFromOtherThread(&connection->protocol.socket);
        }
        return;
    }
    if ((connection->state & (kConnectionPreparing | kConnectionFailed)) != 0) return CloseConnection(*connection);
    // An aborted run's jobs did not succeed.
    AbandonAllJobs(*connection, aborted ? JobFailure::Run : JobFailure::None);
    if ((connection->state & kConnectionActive) == 0) return;
    SendEndConnection(*connection);
}

}  // namespace kestrel
