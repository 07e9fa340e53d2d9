#include "client/direct_client.h"

#include <cstdlib>

#include "client/connection.h"
#include "client/stages.h"
#include "eventloop/event_loop.h"
#include "platform/anonymous_pipe.h"
#include "platform/clock.h"
#include "prep/preparation_pipe.h"
#include "runtime/messages.h"
#include "runtime/temp_files.h"
#include "script/block_framework.h"

namespace kestrel {

DirectClient::~DirectClient() {
    if (messageOwned) std::free(const_cast<char*>(message));
    std::free(handedLogs);
}

namespace {


void SetStaticMessage(DirectClient& client, const char* text) {
    if (client.messageOwned) std::free(const_cast<char*>(client.message));
    client.message = text;
    client.messageOwned = false;
}

}  // namespace

bool DirectClient::Start(const ClientStartParameters& parameters, bool& allOutputMade) {
    allOutputMade = false;
    stateFlags = kClientRunning;
    activeJobCount = 0;
    openFileBudget = parameters.openFileBudget;
    activeConnections = nullptr;
    SetStaticMessage(*this, nullptr);
    ParserContext& context = *parameters.context;
    machines = context.machines;
    context.machines = NameTable{};
    context.flags &= ~ParserContext::kMachinesOwned;

    if (IsAbortRequested(*this)) {
        SetStaticMessage(*this, "Aborted");
        return false;
    }
    if (!names.Init()) {
        stateFlags &= ~kClientRunning;
        SetStaticMessage(*this, kInsufficientMemoryForClient);
        return false;
    }
    stateFlags |= kClientNameTableSetUp;
    stateFlags |= kClientSchedulerSetUp;
    if (!scheduler.Schedule(context, parameters.jobName, parameters.compareFileTimes) || !scheduler.Decide()) {
        stateFlags &= ~kClientRunning;
        SetClientMessage(*this, "{0}", {{FormatString, scheduler.message}});
        return false;
    }
    allOutputMade = scheduler.readyHead == nullptr;
    if (allOutputMade) return true;
    if (!IsDisplayMode()) PrintStatusLine("Running jobs");
    SetUpPreparation();
    startTime = platform::LocalFileTimeNow();
    startBias = platform::TimeZoneBiasMinutes();
    stateFlags |= kClientPreparationQueueSetUp;
    AttachReleasedJobs(*this);
    automated = parameters.automated;
    if (automated) {
        stateFlags |= kClientWatchdogArmed;
        lastActivityTime = startTime;
    }
    return true;
}

bool DirectClient::OpenPreparationPipe(int32_t& error) {
    return PreparationPipe::Open(preparation, preparationPipe, preparationAnswer, OnPreparationAnswer, this, error);
}

void DirectClient::ClosePreparationPipe() {
    if (preparationPipe.loop == nullptr) {
        platform::CloseFile(preparationPipe.handle);
    }
    preparationPipe = IoObject{};
    platform::CloseFile(preparation.pipeWriteEnd);
    pipeOpen = false;
}

void DirectClient::SetUpPreparation() {
    preparation.displayMode = IsDisplayMode();
    pipeOpen = true;
}

void DirectClient::Destroy() {
    if ((stateFlags & kClientRunning) != 0 && (stateFlags & kClientPreparationQueueSetUp) != 0) EndRun(*this);
    stateFlags &= ~kClientRunning;
    // Logs that no build log took are deleted with the other temporary files.
    handedLogCount = 0;
    if (machines.entries != nullptr) machines.Destroy();
    if ((stateFlags & kClientNameTableSetUp) != 0) names.Destroy();
    if ((stateFlags & kClientSchedulerSetUp) != 0) scheduler.Release();
    stateFlags &= ~(kClientNameTableSetUp | kClientSchedulerSetUp);
    SetStaticMessage(*this, nullptr);
}

bool IsAbortRequested(DirectClient& client) {
    std::lock_guard<std::mutex> hold(client.lock);
    return client.abortRequested;
}

void Abort(DirectClient& client) {
    std::lock_guard<std::mutex> hold(client.lock);
    client.abortRequested = true;
    for (Connection* c = client.activeConnections; c != nullptr; c = c->activeNext)
        if (c->protocol.socket.loop != nullptr) EventLoop::CancelFromOtherThread(&c->protocol.socket);
}

void AddActiveConnection(DirectClient& client, Connection& connection) {
    std::lock_guard<std::mutex> hold(client.lock);
    connection.activePrevious = nullptr;
    connection.activeNext = client.activeConnections;
    if (client.activeConnections != nullptr) client.activeConnections->activePrevious = &connection;
    client.activeConnections = &connection;
}

void RemoveActiveConnection(DirectClient& client, Connection& connection) {
    std::lock_guard<std::mutex> hold(client.lock);
    const bool listed = connection.activePrevious != nullptr || client.activeConnections == &connection;
    if (!listed) return;
    if (connection.activePrevious != nullptr) connection.activePrevious->activeNext = connection.activeNext;
    else client.activeConnections = connection.activeNext;
    if (connection.activeNext != nullptr) connection.activeNext->activePrevious = connection.activePrevious;
    connection.activeNext = connection.activePrevious = nullptr;
}

void SetClientMessage(DirectClient& client, const char* format, std::initializer_list<FormatArg> args) {
    if (client.messageOwned) std::free(const_cast<char*>(client.message));
    client.message = nullptr;
    client.messageOwned = false;
    const uint32_t size = FormatText(nullptr, 0, format, args);
    char* text = static_cast<char*>(std::malloc(size));
    if (text == nullptr) {
        client.message = kInsufficientMemoryForClient;
        return;
    }
    FormatText(text, size, format, args);
    client.message = text;
    client.messageOwned = true;
}

bool WatchdogExpired(const DirectClient& client, int64_t now) {
    if ((client.stateFlags & kClientWatchdogArmed) == 0) return false;
    const int64_t since = client.lastActivityTime > client.startTime ? client.lastActivityTime : client.startTime;
    return now - since >= kWatchdogSeconds * platform::kTicksPerSecond;
}

}  // namespace kestrel
