// One client connection, from its Hello to its end: reads each request,
// carries it out and answers it, strictly one at a time. The byte stream is
// behind Transport, so that the whole request handling can be driven from a
// buffer (the fuzz harness) as well as from a socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/agent_job.h"
#include "agent/agent_machine.h"
#include "agent/reply.h"
#include "agent/wire_text.h"
#include "client/wire.h"

namespace kestrel::agent {

class Transport {
public:
    virtual ~Transport() = default;
    // Exactly `count` bytes; `ended` tells a clean end of stream before any of them.
    virtual bool Read(uint8_t* data, uint32_t count, bool& ended) = 0;
    virtual bool Write(const uint8_t* data, uint32_t count) = 0;
    // Reads fail once this moment has passed (a buffer has no need of it).
    virtual void SetReadDeadline(std::chrono::steady_clock::time_point) {}
    // Whether the last failed read ran out of time.
    virtual bool TimedOut() const { return false; }
    // The socket, for a tunnel's relay; -1 when there is none.
    virtual int SocketFd() const { return -1; }
};

class Session {
public:
    // `served`: the connection holds one of the machine's places; without
    // one its Hello is answered with a rejection. `ticket`: its entry among
    // the machine's connections that have not finished their Hello (0: none).
    Session(AgentMachine& machine, Transport& transport, uint64_t number, bool served = true, uint64_t ticket = 0);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Serves the connection until it ends. Every job left is then ended too.
    void Run();

    // Called during long work: sends a keep-alive when the request has been
    // busy for the keep-alive interval.
    void Tick();

    bool Utf16() const { return machine_.Options().utf16; }

private:
    enum class After { Continue, Close, Tunnel };

    struct Request {
        uint8_t type = 0;
        const uint8_t* payload = nullptr;  // the type byte first
        uint32_t length = 0;
    };

    // Framing and faults.
    bool ReadMessage(MessageHeader& header, bool& ended);
    void LogReadFailure(bool ended) const;
    bool SendMessage(uint32_t connectionId, uint16_t sequence, const uint8_t* payload, uint32_t length);
    bool SendKeepAlive(uint16_t sequence);
    bool SendReply(uint32_t kind, uint16_t sequence);
    bool WaitForEcho();
    void Delay(uint32_t milliseconds, uint16_t sequence);

    // Admission and negotiation.
    After OnHello(const MessageHeader& header);
    After Dispatch(const Request& request);
    void OnEncoding();
    void OnSeparators();
    void OnCapabilities();
    void OnVersion();
    After OnTunnel(const Request& request);
    bool AdmitThroughTunnel(int fd, std::string& refusal);

    // Job set-up and end.
    void OnStartJob(const Request& request);
    void OnSetDevelopmentEnvironment(const Request& request);
    void OnEnvironmentEdit(const Request& request);
    void OnEndJob(const Request& request);
    void EndJob(AgentJob& job);
    // Before the job's next command: a keeper still looking after what the
    // last one left running stays with the job until its end.
    void RetireCommand(AgentJob& job);

    // Input and commands.
    void OnInputWrite(const Request& request);
    void RepeatInputFailure(const AgentJob& job);
    void FailInputTransfer(AgentJob& job, int32_t code, const std::string& text);
    bool StartInputExtraction(AgentJob& job);
    void ExtractInputPiece(AgentJob& job, const uint8_t* piece, uint32_t count);
    void OnStepStart(const Request& request);
    void OnExecute(const Request& request);
    bool EnterWorkingDirectory(const AgentJob& job, const WireString& directoryText, int& directoryFd);
    std::unique_ptr<RunningCommand> LaunchCommand(const AgentJob& job, std::vector<std::string>& arguments,
                                                  int directoryFd);
    void OnPoll();
    uint32_t TakeCommandEvents(AgentJob& job, uint32_t reserve);
    void TakeStartReport(const AgentJob& job, RunningCommand& command);
    bool AnythingRunning() const;
    void WaitForNews(std::chrono::milliseconds hold);
    void WaitForRoom();
    uint32_t LeastRoomWanted() const;
    void ReturnGrantedRoom();
    bool TakeGrantedRoom(uint32_t units);
    std::chrono::milliseconds PollHold() const;

    // Outputs.
    void OnAddOutput(const Request& request);
    void OnOutputReset(const Request& request);
    void OnOutputTransfer(const Request& request);

    AgentJob* FindJob(const Request& request);
    void Status(uint32_t status) { reply_.U32(status); }
    // Status, error code and text (in the machine's encoding).
    void StatusWithError(uint32_t status, int32_t code, const std::string& text);
    void Log(const std::string& line) const;

    AgentMachine& machine_;
    Transport& transport_;
    uint64_t number_;
    uint32_t connectionId_ = 0;
    uint16_t sequence_ = 0;  // of the request being answered
    bool admitted_ = false;
    bool served_;  // holds one of the machine's connection places
    uint64_t ticket_;
    std::chrono::steady_clock::time_point helloDeadline_;
    uint32_t hellos_ = 0;
    uint32_t requests_ = 0;
    bool negotiated_ = false;  // a request other than Tunnel was served
    int tunnelFd_ = -1;

    std::map<uint8_t, std::unique_ptr<AgentJob>> jobs_;
    // Jobs refused for capacity and not started since: Poll reports capacity then.
    std::map<uint8_t, uint32_t> waitingForCapacity_;
    // Room the machine set aside for a waiting job while a Poll was held:
    // the next StartJob takes it, any other request gives it back.
    uint32_t grantedUnits_ = 0;
    uint32_t pollRotation_ = 0;
    bool polled_ = false;
    std::chrono::steady_clock::time_point lastPollAnswer_;

    bool busy_ = false;
    std::chrono::steady_clock::time_point lastKeepAlive_;
    bool writeFailed_ = false;

    uint8_t in_[kMessageBufferSize];
    Reply reply_;
};

}  // namespace kestrel::agent
