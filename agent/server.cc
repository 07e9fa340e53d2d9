#include "agent/server.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "agent/agent_machine.h"
#include "agent/os/signals.h"
#include "agent/os/files.h"
#include "agent/os/tcp.h"
#include "agent/os/thread.h"
#include "agent/session.h"
#include "platform/process.h"

namespace kestrel::agent {

namespace {

// How long an orderly stop waits for connections to end their jobs.
constexpr uint32_t kShutdownWaitMs = 30000;

class SocketTransport final : public Transport {
public:
    explicit SocketTransport(int fd) : fd_(fd) {}
    bool Read(uint8_t* data, uint32_t count, bool& ended) override {
        int error = 0;
        return os::ReadExact(fd_, data, count, ended, error);
    }
    bool Write(const uint8_t* data, uint32_t count) override {
        int error = 0;
        return os::WriteAll(fd_, data, count, error);
    }
    int SocketFd() const override { return fd_; }

private:
    int fd_;
};

struct ConnectionStart {
    AgentMachine* machine;
    int fd;
};

void ServeConnection(void* raw) {
    ConnectionStart start = *static_cast<ConnectionStart*>(raw);
    delete static_cast<ConnectionStart*>(raw);
    AgentMachine& machine = *start.machine;
    machine.Track(start.fd);
    {
        SocketTransport transport(start.fd);
        std::unique_ptr<Session> session(new (std::nothrow) Session(machine, transport, machine.NextConnectionNumber()));
        if (session) {
            session->Run();
        } else {
            std::fprintf(stderr, "kestrel-agent: insufficient memory for a connection\n");
        }
    }
    machine.Untrack(start.fd);
    os::CloseDescriptor(start.fd);
    // Last: once counted out, the machine may be gone.
    machine.ThreadEnded();
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
    AgentMachine machine(options);
    std::string message;
    if (!machine.OpenWorkDirectory(message)) {
        std::fprintf(stderr, "kestrel-agent: %s\n", message.c_str());
        return 1;
    }
    int listener = -1;
    std::string shown;
    if (!os::ListenTcp(options.listenHost, options.listenPort, listener, shown, error)) {
        std::fprintf(stderr, "kestrel-agent: cannot listen on %s:%u: %s\n", options.listenHost.c_str(),
                     static_cast<unsigned>(options.listenPort), std::strerror(error));
        return 1;
    }
    std::printf("listening on %s\n", shown.c_str());
    std::fflush(stdout);
    for (;;) {
        int fd = -1;
        if (!os::AcceptTcp(listener, signals, -1, fd, error)) {
            std::fprintf(stderr, "kestrel-agent: cannot accept connections: %s\n", std::strerror(error));
            break;
        }
        if (fd < 0) {
            if (os::TakeTerminationSignal(signals) != 0) break;
            continue;
        }
        machine.ThreadStarted();
        if (!os::StartDetachedThread(ServeConnection, new ConnectionStart{&machine, fd}, error)) {
            std::fprintf(stderr, "kestrel-agent: cannot start a connection thread: %s\n", std::strerror(error));
            os::CloseDescriptor(fd);
            machine.ThreadEnded();
        }
    }
    os::CloseDescriptor(listener);
    if (!machine.ShutDown(kShutdownWaitMs)) {
        // A thread still works with the machine: leave without tearing it down.
        std::fprintf(stderr, "kestrel-agent: connections did not end in time; their work areas stay until the next start\n");
        std::fflush(stderr);
        std::_Exit(1);
    }
    machine.Log("stopped");
    return 0;
}

}  // namespace kestrel::agent
