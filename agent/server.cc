#include "agent/server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "agent/agent_machine.h"
#include "agent/allow_list.h"
#include "agent/os/errors.h"
#include "agent/os/files.h"
#include "agent/os/host.h"
#include "agent/os/process.h"
#include "agent/os/signals.h"
#include "agent/os/tcp.h"
#include "agent/os/thread.h"
#include "agent/session.h"
#include "platform/process.h"

namespace kestrel::agent {

namespace {

// How long an orderly stop waits for connections to end their jobs.
constexpr uint32_t kShutdownWaitMs = 30000;
// Descriptors kept free of connections for the jobs (work areas, pipes,
// keepers, removals): at least this many, or a quarter of the limit.
constexpr uint64_t kJobDescriptorReserve = 16;
// Places for rejections, connections pushed out to make room that have not
// closed yet, and the accept itself, on top of the served ones.
constexpr uint64_t kOtherConnectionDescriptors = 17;
// Back-off after an accept that found no room: doubling up to the most.
constexpr int kFirstBackoffMs = 10;
constexpr int kLongestBackoffMs = 1000;
// Orphans of a lost keeper are looked for at most this often, and idle
// keepers beyond need end; the accept loop wakes this often to see whether
// it should.
constexpr auto kStraySweepInterval = std::chrono::seconds(1);
constexpr int kAcceptWakeMs = 1000;

class SocketTransport final : public Transport {
public:
    SocketTransport(int fd, uint32_t writeTimeoutMs) : fd_(fd), writeTimeoutMs_(writeTimeoutMs) {}
    bool Read(uint8_t* data, uint32_t count, bool& ended) override {
        int error = 0;
        const bool ok = os::ReadExact(fd_, data, count, readDeadline_, ended, error);
        timedOut_ = !ok && error == os::kErrorTimedOut;
        return ok;
    }
    bool Write(const uint8_t* data, uint32_t count) override {
        int error = 0;
        // A client that stops reading must not hold the connection for ever.
        const os::Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(writeTimeoutMs_);
        return os::WriteAll(fd_, data, count, deadline, error);
    }
    void SetReadDeadline(std::chrono::steady_clock::time_point deadline) override { readDeadline_ = deadline; }
    bool TimedOut() const override { return timedOut_; }
    int SocketFd() const override { return fd_; }

private:
    int fd_;
    uint32_t writeTimeoutMs_;
    os::Deadline readDeadline_ = os::Deadline::max();
    bool timedOut_ = false;
};

struct ConnectionStart {
    AgentMachine* machine;
    int fd;
    Admission admission;
};

void ServeConnection(void* raw) {
    ConnectionStart start = *static_cast<ConnectionStart*>(raw);
    delete static_cast<ConnectionStart*>(raw);
    AgentMachine& machine = *start.machine;
    machine.Track(start.fd);
    {
        SocketTransport transport(start.fd, machine.Options().idleTimeoutMs);
        std::unique_ptr<Session> session(new (std::nothrow) Session(machine, transport, machine.NextConnectionNumber(),
                                                                    start.admission.place == Place::Served,
                                                                    start.admission.ticket));
        if (session) {
            session->Run();
        } else {
            std::fprintf(stderr, "kestrel-agent: insufficient memory for a connection\n");
        }
    }
    machine.Untrack(start.fd);
    machine.EndConnection(start.admission.ticket, start.admission.place, start.fd);
    // Last: once counted out, the machine may be gone.
    machine.ThreadEnded();
}

// Loopback only, or clients named by --allow: what Capabilities reports.
// Anything else is said at start-up, with the safer ways.
void SetSecurity(AgentMachine& machine, const os::SocketAddress& bound, const std::string& shown) {
    const std::vector<AllowedNetwork>& allow = machine.Options().allow;
    const bool secure = IsLoopback(bound) || ListRestricts(allow);
    machine.SetConfiguredSecurely(secure);
    if (secure) return;
    std::fprintf(stderr,
                 "kestrel-agent: warning: listening on %s %s: everyone who can reach this port can run commands "
                 "as %s. Reach an agent on loopback through kvs:// (ssh) paths instead, or name the clients "
                 "with --allow CIDR.\n",
                 shown.c_str(), allow.empty() ? "without --allow" : "with an --allow list that admits every address",
                 os::UserName().c_str());
}

// So many connections at once that jobs find no descriptor would fail the
// jobs: the places shrink to what the limit of open files leaves.
void FitPlacesToDescriptors(AgentMachine& machine) {
    const uint64_t limit = os::DescriptorLimit();
    if (limit == 0) return;
    const uint64_t reserve = std::max(kJobDescriptorReserve, limit / 4);
    const uint64_t used = os::OpenDescriptorCount() + reserve + kOtherConnectionDescriptors;
    const uint64_t room = limit > used ? limit - used : 0;
    const uint32_t wanted = machine.Options().maxConnections;
    if (room >= wanted) return;
    const uint32_t places = static_cast<uint32_t>(std::max<uint64_t>(room, 1));
    machine.SetPlaceLimit(places);
    std::fprintf(stderr,
                 "kestrel-agent: the limit of %llu open files leaves room for %u connections at once, not the %u of "
                 "--max-connections\n",
                 static_cast<unsigned long long>(limit), places, wanted);
}

// Accepts that found no descriptor or memory: the agent waits a little
// longer each time and says so once per burst.
class AcceptBackoff {
public:
    void Failed(int error) {
        if (delayMs_ == 0) {
            std::fprintf(stderr, "kestrel-agent: cannot accept connections for now (%s); trying again\n",
                         std::strerror(error));
        }
        delayMs_ = delayMs_ == 0 ? kFirstBackoffMs : std::min(delayMs_ * 2, kLongestBackoffMs);
    }
    void Succeeded() { delayMs_ = 0; }
    int DelayMs() const { return delayMs_; }

private:
    int delayMs_ = 0;
};

void StartConnection(AgentMachine& machine, int fd, const os::SocketAddress& peer) {
    const std::vector<AllowedNetwork>& allow = machine.Options().allow;
    if (!allow.empty() && !PeerAllowed(allow, peer)) {
        machine.Log("refused a connection from " + ShowHost(peer) + ": not in --allow");
        os::CloseDescriptor(fd);
        return;
    }
    const Admission admission = machine.Admit(fd, peer);
    if (admission.place == Place::None) {
        machine.Log("closed a connection from " + ShowHost(peer) + " at once: every place is taken");
        os::CloseDescriptor(fd);
        return;
    }
    machine.ThreadStarted();
    int error = 0;
    if (!os::StartDetachedThread(ServeConnection, new ConnectionStart{&machine, fd, admission}, error)) {
        std::fprintf(stderr, "kestrel-agent: cannot start a connection thread: %s\n", std::strerror(error));
        machine.EndConnection(admission.ticket, admission.place, fd);
        machine.ThreadEnded();
    }
}

// Until a termination signal (exit code 0) or a failure of the listener (1).
int AcceptConnections(AgentMachine& machine, int listener, int signals) {
    AcceptBackoff backoff;
    auto lastSweep = std::chrono::steady_clock::now() - kStraySweepInterval;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastSweep >= kStraySweepInterval) {
            if (machine.StraysWanted()) machine.EndStrays();
            machine.TrimIdleKeepers();
            lastSweep = now;
        }
        int fd = -1;
        int error = 0;
        os::SocketAddress peer;
        switch (os::AcceptTcp(listener, signals, kAcceptWakeMs, fd, peer, error)) {
        case os::AcceptResult::Accepted:
            backoff.Succeeded();
            StartConnection(machine, fd, peer);
            break;
        case os::AcceptResult::Nothing:
            if (os::TakeTerminationSignal(signals) != 0) return 0;
            break;
        case os::AcceptResult::OutOfRoom:
            // A connection that has not finished its Hello gives its
            // descriptor to whoever waits in the queue.
            if (!os::IsMemoryShortage(error) && machine.FreeDescriptorForAccept()) break;
            backoff.Failed(error);
            if (os::AwaitTerminationSignal(signals, backoff.DelayMs()) != 0) return 0;
            break;
        case os::AcceptResult::Failed:
            std::fprintf(stderr, "kestrel-agent: cannot accept connections: %s\n", std::strerror(error));
            return 1;
        }
    }
}

}  // namespace

int RunServer(const AgentOptions& options) {
    platform::IgnoreBrokenPipe();
    int signals = -1;
    int error = 0;
    if (!os::OpenTerminationSignals(signals, error)) {
        std::fprintf(stderr, "kestrel-agent: cannot watch for termination signals: %s\n", std::strerror(error));
        return 1;
    }
    // Orphans of a job whose keeper is lost come to us rather than to init.
    if (!os::BecomeChildSubreaper(error)) {
        std::fprintf(stderr, "kestrel-agent: cannot become the reaper of orphaned job processes: %s\n",
                     std::strerror(error));
    }
    AgentMachine machine(options);
    std::string message;
    if (!machine.OpenWorkDirectory(message)) {
        std::fprintf(stderr, "kestrel-agent: %s\n", message.c_str());
        return 1;
    }
    int listener = -1;
    os::SocketAddress bound;
    std::string shown;
    if (!os::ListenTcp(options.listenHost, options.listenPort, listener, bound, shown, error)) {
        std::fprintf(stderr, "kestrel-agent: cannot listen on %s:%u: %s\n", options.listenHost.c_str(),
                     static_cast<unsigned>(options.listenPort), std::strerror(error));
        return 1;
    }
    SetSecurity(machine, bound, shown);
    FitPlacesToDescriptors(machine);
    // The first commands find their keepers waiting.
    machine.StartKeepersAhead();
    std::printf("listening on %s\n", shown.c_str());
    std::fflush(stdout);
    const int exitCode = AcceptConnections(machine, listener, signals);
    os::CloseDescriptor(listener);
    if (!machine.ShutDown(kShutdownWaitMs)) {
        // A thread still works with the machine: leave without tearing it down.
        std::fprintf(stderr, "kestrel-agent: connections did not end in time; their work areas stay until the next start\n");
        std::fflush(stderr);
        std::_Exit(1);
    }
    machine.DismissIdleKeepers();
    // Nothing a job started outlives the agent; the last rounds reap.
    for (int round = 0; round < 100 && machine.EndStrays(); ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    machine.Log("stopped");
    return exitCode;
}

}  // namespace kestrel::agent
