// A relay on loopback between build/kestrel and a kestrel-agent that reads
// the framing of both directions as the bytes pass: every message is
// recorded (with the request type it belongs to and when it passed), the
// answer to a chosen request can be replaced, the connection can be cut at a
// chosen request, and a test can act once the client has connected (the
// client has scheduled its jobs by then) before any byte is relayed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrel::test {

// WireMessage::type for the messages that have no type byte.
inline constexpr int kWireHello = -1;
inline constexpr int kWireKeepAlive = -2;

struct WireMessage {
    bool fromClient = false;
    int type = 0;           // a request's type byte; a response carries its request's type
    uint8_t jobId = 0;      // the second payload byte of a request, when it has one
    uint32_t payloadLength = 0;
    std::string payload;    // kept when the relay keeps payloads
    std::chrono::steady_clock::time_point time;
    uint32_t connection = 0;  // which accepted connection, from 0
};

class WireRelay {
public:
    WireRelay() = default;
    ~WireRelay();
    WireRelay(const WireRelay&) = delete;
    WireRelay& operator=(const WireRelay&) = delete;

    // Set before Start.
    // Runs once per accepted connection, before the agent is dialled.
    std::function<void()> onAccept;
    // Runs for every request of the client before it is passed on.
    std::function<void(const WireMessage&)> onRequest;
    // Keeps every payload (large transfers may turn this off).
    bool keepPayloads = true;
    // Replaces the payload of the response to the `occurrence`-th request (from
    // 1, counted per connection) of `type`.
    void ReplaceResponse(int type, uint32_t occurrence, const std::string& payload);
    // Closes both sides instead of passing on the `occurrence`-th request of `type`.
    void CutAtRequest(int type, uint32_t occurrence);

    // Listens on 127.0.0.1 (a free port) and relays to `agentPort`.
    bool Start(uint16_t agentPort);
    uint16_t port() const { return port_; }
    // Stops listening and waits for the relayed connections to end (call it
    // once the client has exited, before reading what passed).
    void Stop();

    std::vector<WireMessage> Messages() const;
    // The requests of `type` that the client sent, in order.
    std::vector<WireMessage> Requests(int type) const;
    // The request types the client sent, in order (keep-alives and the Hello left out).
    std::vector<int> RequestTypes() const;

private:
    struct Rule {
        int type;
        uint32_t occurrence;
        std::string payload;
        bool cut;
    };
    struct Direction;
    struct Session;
    void Accept();
    void Relay(int client, uint32_t number);
    void Record(WireMessage message);

    int listener_ = -1;
    uint16_t port_ = 0;
    uint16_t agentPort_ = 0;
    std::thread acceptor_;
    std::vector<std::thread> relays_;
    std::vector<Rule> rules_;
    std::atomic<int> active_{0};
    std::atomic<bool> stopping_{false};
    mutable std::mutex lock_;
    std::vector<WireMessage> messages_;
};

}  // namespace kestrel::test
