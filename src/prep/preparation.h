// Connection preparation: the blocking work of opening a connection path
// (name resolution, the connect, the ssh port forward) runs on a thread of
// its own, which answers each request with one 16-byte PreparationResponse
// through the preparation pipe; the event loop reads the pipe like any other
// stream.
//
//   event-loop thread                      preparation thread
//   PreparationThread::Submit(queue, &r) -> resolves, connects, fills r
//   OnPreparationAnswer(response) <------- Respond(queue, &r, status, error)
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/handles.h"
#include "platform/thread.h"

namespace kestrel {

struct Hop;

// Answer statuses (the error code says why, as the table of each says).
enum PreparationStatus : uint32_t {
    kPreparedConnected = 0,          // the socket is set; error 0
    kPreparationNoMemory = 1,        // error 8
    kPreparationNameSize = 2,        // the host name is not valid UTF-8 (size step); error 1113
    kPreparationNameConversion = 3,  // the host name is not valid UTF-8 (conversion step); never
                                     // sent here: the resolver takes the checked UTF-8 itself
    kPreparationCannotResolve = 4,   // the resolver's own result code
    kPreparationNoIpv4Address = 5,   // error 2
    kPreparationNoSocket = 6,
    kPreparationNonBlocking = 7,
    kPreparationCannotConnect = 8,   // the error of the last attempt
    kPreparationSshCommandLine = 9,  // a socket error, 8, 1113, or 87 for a destination that
                                     // ssh would read as an option (it starts with '-')
    kPreparationSshThread = 10,      // never sent here (no thread is started)
    kPreparationSshStart = 11,
    kPreparationAgentFirst = 12,     // the first hop is an agent; error 0
};

// One connection path to open. The client embeds it in its connection; the
// thread reads `firstHop` and writes the rest before it answers, and the
// event loop reads them only after the answer has arrived.
struct PreparationRequest {
    PreparationRequest* next = nullptr;  // the queue's list
    void* owner = nullptr;               // the client's connection
    const Hop* firstHop = nullptr;

    platform::SocketHandle socket;       // status 0: connected and non-blocking
    uint8_t peerAddress[128] = {};       // the peer's socket address as the platform stores it
    uint32_t peerAddressLength = 0;
    // kvs:// hops: "ssh -N -L 127.0.0.1:{0}:127.0.0.1:{1} {2}" (UTF-8, malloc),
    // the ssh process, and the scratch file that receives what ssh writes to
    // its standard error. After an answer they stay set until EndSsh, also
    // for a failure: status 8 after two early exits keeps the second ssh
    // (ended, not yet collected) so that EndSsh reports its exit code.
    char* sshCommandLine = nullptr;
    platform::ProcessHandle sshProcess;
    platform::FileHandle sshErrors;
    // When ssh ended before its forward answered: the last non-empty line it
    // wrote to standard error (valid UTF-8, malloc), so that the failure can
    // say why; null otherwise. EndSsh frees it.
    char* sshFailureText = nullptr;
};

// Tries of the connect to an ssh forward, each after a pause; at least 120 s
// in display mode, where the user may be watching, and 10 s in plain mode.
inline constexpr uint32_t kSshConnectTriesDisplayMode = 12000;
inline constexpr uint32_t kSshConnectTriesPlainMode = 1000;
inline constexpr uint32_t kSshConnectPauseMilliseconds = 10;

// The only record on the preparation pipe (native byte order).
struct PreparationResponse {
    PreparationRequest* request;
    uint32_t status;
    uint32_t error;
};
static_assert(sizeof(PreparationResponse) == 16);

// The queue between the two threads, owned by the direct client; it runs
// one thread, once. `displayMode` and `serverList` are set before Start.
struct PreparationQueue {
    std::mutex lock;
    std::condition_variable wakeUp;
    bool signalled = false;                 // the wake-up event (manual reset)
    PreparationRequest* head = nullptr;     // most recent submission first
    platform::FileHandle pipeWriteEnd;
    bool displayMode = false;               // 12000 ssh connect tries instead of 1000
    // Copy of KV_SSH_SERVER_LIST (UTF-8), null when the variable is not set.
    char* serverList = nullptr;
    platform::ThreadHandle thread;
    bool stopSubmitted = false;             // under `lock`: the stop request is queued or taken
    bool threadEnded = false;               // under `lock`, set as the thread returns
    std::condition_variable ended;
    // Set with the stop request: an ssh forward that is still being waited
    // for is given up at once instead of after its tries (no answer then).
    std::atomic<bool> stopping{false};
};

namespace PreparationThread {

// Pushes the request at the head of the queue and wakes the thread.
void Submit(PreparationQueue& queue, PreparationRequest& request);
// Starts the thread; false with the system error when it cannot be started.
bool Start(PreparationQueue& queue, int32_t& error);
// Queues the stop request (once; later calls do nothing). The thread ends
// when it reaches it; requests behind it in the same batch get no answer.
void RequestStop(PreparationQueue& queue);
// RequestStop, then waits up to `milliseconds` for the thread to end. When it
// has ended (or never started) the pipe's write end is closed, so that the
// reader sees the end, and true returned; false when it has not (it is then
// left to end by itself and the queue must stay in place).
bool Stop(PreparationQueue& queue, uint32_t milliseconds);
// Writes one response to the pipe; a failure posts "Cannot write to response
// pipe, error {0}". (A reader that is gone is a failure only because the
// program ignores SIGPIPE from start-up on.)
void Respond(PreparationQueue& queue, PreparationRequest& request, uint32_t status, uint32_t error);
// Connection teardown of a kvs:// path, for every request whose
// sshCommandLine is set, whatever its answer was (event-loop thread, after
// the answer or after Stop): ends its ssh process (posting the three
// messages of the teardown as they apply), collects it, and frees and
// clears the ssh fields (sshFailureText included). `hopText` names the hop
// in the messages.
void EndSsh(PreparationRequest& request, const char* hopText);

// KV_SSH_SERVER_LIST, read once at start-up. False with the error when it
// cannot be read (an absent variable is not a failure): 8 means no memory
// for the copy ("Insufficient memory for the direct client"), anything else
// is a system error ("Cannot get the KV_SSH_SERVER_LIST value, error {0}").
bool ReadServerList(PreparationQueue& queue, int32_t& error);
void ReleaseServerList(PreparationQueue& queue);

// The ssh destination for `host`: the first entry user@host of `serverList`
// (entries separated by ':' or ';', entries without '@' skipped) whose host
// (after its last '@', as ssh splits it) equals `host` exactly, else `host`
// itself. Writes at most `room` bytes
// with a NUL and returns the length (without the NUL) it needs.
uint32_t SshDestination(const char* serverList, const char* host, char* out, uint32_t room);

}  // namespace PreparationThread

}  // namespace kestrel
