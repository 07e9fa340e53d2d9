// The preparation thread as the client drives it: a queue with its real
// pipe, an event loop that reads the answers through the pipe's own reader
// description, hops and requests, and the checks a test makes on what comes
// back (a Hello over the answered socket, the process table, the messages).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "eventloop/event_loop.h"
#include "prep/preparation.h"
#include "script/objects.h"

namespace kestrel::test {

class PreparationHarness {
public:
    PreparationHarness();
    // Stops the thread (bounded), releases the server list, closes the pipe.
    ~PreparationHarness();
    PreparationHarness(const PreparationHarness&) = delete;
    PreparationHarness& operator=(const PreparationHarness&) = delete;

    bool opened() const { return opened_; }
    bool Start();
    // Runs an event loop on the pipe until `count` answers have arrived, the
    // pipe has ended (pipeEnded()) or `seconds` have passed. Once only: the
    // loop closes the read end when it lets go of it.
    std::vector<PreparationResponse> Collect(size_t count, int seconds = 60);
    bool pipeEnded() const { return pipeEnded_; }

    PreparationQueue queue;

private:
    static void OnAnswer(IoObject* reader);
    static void OnTimer(IoObject* timer, int32_t error);
    void Finish();

    bool opened_ = false;
    bool collected_ = false;
    bool pipeEnded_ = false;
    size_t wanted_ = 0;
    IoObject reader_;
    IoObject timer_;
    PreparationResponse answer_{};
    std::vector<PreparationResponse> answers_;
};

Hop MakeHop(HopProtocol protocol, const char* host, uint16_t port, const char* url = "kv://test");

// The port of an IPv4 socket address as the thread stores it.
uint16_t PortOf(const PreparationRequest& request);
bool IsLoopbackAddress(const PreparationRequest& request);

// Sends the Hello over the answered socket and reads the machine's answer:
// "accept", "recalculate", "reject" or what went wrong.
std::string ExchangeHello(platform::SocketHandle socket);
bool IsNonBlocking(platform::SocketHandle socket);

// Standard output redirected into a file while it lives; posted messages of
// plain mode land there.
class CapturedOutput {
public:
    CapturedOutput();
    ~CapturedOutput();
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;
    // Everything written so far.
    std::string Text();

private:
    int saved_ = -1;
    int file_ = -1;
};

}  // namespace kestrel::test
