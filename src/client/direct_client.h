// The direct client: runs the scheduled jobs on their machines.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <mutex>

#include "eventloop/event_loop.h"
#include "platform/handles.h"
#include "prep/preparation.h"
#include "runtime/format.h"
#include "runtime/name_table.h"
#include "scheduler/job_scheduler.h"

namespace kestrel {

struct Connection;
struct ParserContext;
struct TempLog;

// DirectClient::stateFlags
inline constexpr uint32_t kClientPreparationQueueSetUp = 0x02;
inline constexpr uint32_t kClientSchedulerSetUp = 0x04;
inline constexpr uint32_t kClientRunning = 0x08;
inline constexpr uint32_t kClientNameTableSetUp = 0x10;
inline constexpr uint32_t kClientEnding = 0x20;
// A malformed response or a wrong connection id was met: the driver raises a
// panic report when the run ends.
inline constexpr uint32_t kClientProtocolFailureSeen = 0x80;
// Automated mode: a keep-alive also checks for a run that has stalled.
inline constexpr uint32_t kClientWatchdogArmed = 0x100;

// DirectClient::resultFlags
inline constexpr uint32_t kClientJobFailed = 0x40;

// Seconds without a job ending after which the automated watchdog aborts.
inline constexpr int64_t kWatchdogSeconds = 1801;

// What the driver hands to DirectClient::Start.
struct ClientStartParameters {
    const char* jobName = nullptr;  // --job, or null for the job main
    ParserContext* context = nullptr;
    int32_t openFileBudget = 0;
    bool compareFileTimes = true;  // false with --rebuild
    bool automated = false;
};

// A connection log handed over at its connection's end, in the order the
// connections ended: the build log writer reads them in this order.
struct HandedLog {
    TempLog* file;
    bool utf16;
};

struct DirectClient {
    DirectClient() = default;
    ~DirectClient();
    DirectClient(const DirectClient&) = delete;
    DirectClient& operator=(const DirectClient&) = delete;

    // Guards the list of active connections and the abort request.
    std::mutex lock;
    // Set by the user's abort (backspace in the display); the run controller
    // sees it and winds the build down.
    bool abortRequested = false;
    // Connections whose preparation succeeded, newest first (under `lock`).
    Connection* activeConnections = nullptr;

    uint32_t stateFlags = 0;
    uint32_t resultFlags = 0;
    // The current failure text; heap-owned when messageOwned.
    const char* message = nullptr;
    bool messageOwned = false;
    // Local FILETIME counts: the run's start and the last time a job ended.
    int64_t startTime = 0;
    int64_t lastActivityTime = 0;

    JobScheduler scheduler;
    // Taken over from the parser context at start; values are Machines.
    NameTable machines;
    NameTable names;
    uint32_t activeJobCount = 0;
    // How many temporary files the build log writer may keep open at once.
    int32_t openFileBudget = 0;
    // Minutes to add to local time for UTC, taken at the start of the run.
    int32_t startBias = 0;
    bool automated = false;

    // The preparation thread's queue, and the pipe it answers through (opened
    // by the driver before Start), read by `preparationPipe` into
    // `preparationAnswer`.
    PreparationQueue preparation;
    IoObject preparationPipe;
    PreparationResponse preparationAnswer{};
    bool pipeOpen = false;  // preparationPipe is registered and read
    // The loop that carries the run (known once the pipe is registered).
    EventLoop* loop = nullptr;

    // Connections that were tried, most recent first.
    Connection* usedConnections = nullptr;
    HandedLog* handedLogs = nullptr;
    uint32_t handedLogCount = 0;
    uint32_t handedLogCapacity = 0;
    // Set when the build log could not be prepared (memory): its logs are not converted.
    bool buildLogLost = false;

    // Takes over the machines, selects and schedules the jobs, and attaches
    // the jobs that can run to their machines. False with the reason in
    // `message`. `allOutputMade` is true when no job needs to run.
    bool Start(const ClientStartParameters& parameters, bool& allOutputMade);
    // Frees what the client holds: machines, tables, the scheduler and its
    // jobs, the message. The record can be started again afterwards.
    void Destroy();

    // The preparation pipe, before Start: its read end is described in
    // `preparationPipe`, its write end kept for the preparation thread. False
    // with the system error.
    bool OpenPreparationPipe(int32_t& error);
    // Closes both ends of a pipe that the event loop never took over.
    void ClosePreparationPipe();

private:
    void SetUpPreparation();
};

// Whether the user's abort was asked for (read under the client lock).
bool IsAbortRequested(DirectClient& client);

// The abort of the run (backspace, or the automated watchdog): under the
// client lock, marks the request and cancels the socket operations of every
// active connection; they then fail on the event loop thread.
void Abort(DirectClient& client);

// Adds a connection at the head of the active list, or takes it out.
void AddActiveConnection(DirectClient& client, Connection& connection);
void RemoveActiveConnection(DirectClient& client, Connection& connection);

// Formats the client's message (into the heap; the memory message when that
// fails).
void SetClientMessage(DirectClient& client, const char* format, std::initializer_list<FormatArg> args = {});

// Whether the automated watchdog should abort at local time `now`: armed, and
// 1801 seconds or more since the later of the start and the last job end.
bool WatchdogExpired(const DirectClient& client, int64_t now);

}  // namespace kestrel
