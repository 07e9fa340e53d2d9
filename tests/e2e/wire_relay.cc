#include "e2e/wire_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace kestrel::test {

namespace {

constexpr uint32_t kHeaderSize = 8;

uint32_t U16(const std::string& bytes, size_t at) {
    return static_cast<uint8_t>(bytes[at]) | static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8;
}

bool SendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

int Dial(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

}  // namespace

// The bytes of one direction not yet cut into messages.
struct WireRelay::Direction {
    std::string pending;
    // The next whole message, taken off `pending`; false when it is not all in.
    bool Next(std::string& message) {
        if (pending.size() < kHeaderSize) return false;
        const uint32_t length = U16(pending, 6);
        const uint32_t whole = length < kHeaderSize ? kHeaderSize : length;
        if (pending.size() < whole) return false;
        message = pending.substr(0, whole);
        pending.erase(0, whole);
        return true;
    }
};

WireRelay::~WireRelay() { Stop(); }

void WireRelay::ReplaceResponse(int type, uint32_t occurrence, const std::string& payload) {
    rules_.push_back(Rule{type, occurrence, payload, false});
}

void WireRelay::CutAtRequest(int type, uint32_t occurrence) { rules_.push_back(Rule{type, occurrence, "", true}); }

bool WireRelay::Start(uint16_t agentPort) {
    agentPort_ = agentPort;
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        close(listener_);
        listener_ = -1;
        return false;
    }
    port_ = ntohs(address.sin_port);
    stopping_ = false;
    acceptor_ = std::thread([this] { Accept(); });
    return true;
}

void WireRelay::Accept() {
    uint32_t number = 0;
    for (;;) {
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR) continue;
            return;  // the listener was shut down
        }
        const int on = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ++active_;
        relays_.emplace_back([this, client, number] {
            Relay(client, number);
            --active_;
        });
        ++number;
    }
}

void WireRelay::Record(WireMessage message) {
    std::lock_guard<std::mutex> hold(lock_);
    messages_.push_back(std::move(message));
}

// What one relayed connection knows of its exchange: the request that is
// outstanding and how many requests of each type came before.
struct WireRelay::Session {
    const std::vector<Rule>& rules;
    bool helloSeen = false;
    int outstanding = kWireHello;
    uint32_t occurrence = 0;
    uint32_t counts[256] = {};

    // Classifies a message of the client; false when the rules cut the connection here.
    bool Request(const std::string& message, WireMessage& record) {
        if (record.payloadLength == 0) {
            record.type = kWireKeepAlive;
            return true;
        }
        if (!helloSeen) {
            helloSeen = true;
            record.type = outstanding = kWireHello;
            return true;
        }
        record.type = outstanding = static_cast<uint8_t>(message[kHeaderSize]);
        if (record.payloadLength > 1) record.jobId = static_cast<uint8_t>(message[kHeaderSize + 1]);
        occurrence = ++counts[record.type];
        for (const Rule& rule : rules)
            if (rule.cut && rule.type == record.type && rule.occurrence == occurrence) return false;
        return true;
    }

    // Classifies a message of the agent and replaces the answer the rules name.
    void Response(std::string& message, WireMessage& record) {
        if (record.payloadLength == 0) {
            record.type = kWireKeepAlive;
            return;
        }
        record.type = outstanding;
        for (const Rule& rule : rules) {
            if (rule.cut || rule.type != outstanding || rule.occurrence != occurrence) continue;
            const uint32_t length = kHeaderSize + static_cast<uint32_t>(rule.payload.size());
            message = message.substr(0, 6) + std::string(1, static_cast<char>(length & 0xFF)) +
                      std::string(1, static_cast<char>(length >> 8)) + rule.payload;
            record.payloadLength = static_cast<uint32_t>(rule.payload.size());
        }
    }
};

void WireRelay::Relay(int client, uint32_t number) {
    if (onAccept) onAccept();
    const int agent = Dial(agentPort_);
    if (agent < 0) {
        close(client);
        return;
    }
    Session session{rules_};
    Direction directions[2];  // from the client, from the agent
    const int peers[2] = {agent, client};
    char buffer[65536];
    bool open = true;
    while (open && !stopping_) {
        pollfd fds[2] = {{client, POLLIN, 0}, {agent, POLLIN, 0}};
        const int ready = poll(fds, 2, 200);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        for (int side = 0; side < 2 && open; ++side) {
            if ((fds[side].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            const ssize_t n = recv(fds[side].fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                open = false;
                break;
            }
            directions[side].pending.append(buffer, static_cast<size_t>(n));
            std::string message;
            while (open && directions[side].Next(message)) {
                WireMessage record;
                record.fromClient = side == 0;
                record.time = std::chrono::steady_clock::now();
                record.connection = number;
                record.payloadLength = static_cast<uint32_t>(message.size() - kHeaderSize);
                if (side == 0) {
                    open = session.Request(message, record);
                } else {
                    session.Response(message, record);
                }
                if (keepPayloads) record.payload = message.substr(kHeaderSize);
                if (side == 0 && record.type >= 0 && onRequest) onRequest(record);
                Record(std::move(record));
                if (open && !SendAll(peers[side], message)) open = false;
            }
        }
    }
    close(client);
    close(agent);
}

void WireRelay::Stop() {
    if (listener_ >= 0) {
        shutdown(listener_, SHUT_RDWR);
        if (acceptor_.joinable()) acceptor_.join();
        close(listener_);
        listener_ = -1;
    }
    // The relayed connections end with the client, once what it sent has
    // passed; one that stays longer is cut.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (active_ > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stopping_ = true;
    for (std::thread& relay : relays_)
        if (relay.joinable()) relay.join();
    relays_.clear();
}

std::vector<WireMessage> WireRelay::Messages() const {
    std::lock_guard<std::mutex> hold(lock_);
    return messages_;
}

std::vector<WireMessage> WireRelay::Requests(int type) const {
    std::vector<WireMessage> found;
    for (const WireMessage& message : Messages())
        if (message.fromClient && message.type == type) found.push_back(message);
    return found;
}

std::vector<int> WireRelay::RequestTypes() const {
    std::vector<int> types;
    for (const WireMessage& message : Messages())
        if (message.fromClient && message.type >= 0) types.push_back(message.type);
    return types;
}

}  // namespace kestrel::test
