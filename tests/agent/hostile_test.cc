// Clients that never finish what they started, crowds of idle connections,
// a descriptor limit that runs out, and addresses the agent does not serve:
// the agent closes what stalls, stays up and goes on serving the others.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "agent/agent_fixture.h"

namespace kestrel::test {
namespace {

using Hostile = AgentTest;

constexpr char kHello[] = "Kestrelvane Direct 1.0";

std::string HeaderBytes(uint16_t length, uint16_t sequence) {
    uint8_t header[kMessageHeaderSize];
    WriteHeader(header, MessageHeader{RawPeer::kId, sequence, length});
    return std::string(reinterpret_cast<char*>(header), sizeof header);
}

// Opens, Hellos and negotiates until the agent admits the client (a crowd
// may hold every place for a while). Empty on success.
std::string OpenWhenThereIsRoom(WireClient& client, uint16_t port) {
    std::string failure;
    const bool opened = WaitUntil([&] {
        failure = client.Open(port);
        return failure.empty();
    });
    return opened ? "" : failure;
}

// A job on an admitted client: input, command, output, end.
void RunSmallJob(WireClient& client, const std::string& root, uint8_t job) {
    WriteFile(root + "/in.txt", "through the crowd\n");
    ASSERT_EQ(StartJob(client, job, 1).status(), 0u);
    const InputResult input = SendInputs(client, job, root, {"in.txt"});
    ASSERT_EQ(input.failure, "");
    ASSERT_EQ(input.last.status(), 0u) << input.last.text;
    ASSERT_EQ(StepStart(client, job).status(), 0u);
    const CommandResult copied = RunCommand(client, job, "", {"sh", "-c", "cat in.txt; cp in.txt out.txt"});
    ASSERT_EQ(copied.failure, "");
    EXPECT_EQ(copied.out, "through the crowd\n");
    EXPECT_TRUE(copied.returned);
    ASSERT_EQ(AddOutputs(client, job, {"out.txt"}).status(), 0u);
    TempDir fetched;
    const OutputResult output = FetchOutputs(client, job, fetched.path());
    ASSERT_EQ(output.failure, "");
    EXPECT_EQ(ReadFile(fetched / "out.txt"), "through the crowd\n");
    EXPECT_EQ(EndJob(client, job).status(), 0u);
}

TEST_F(Hostile, StalledConnectionsAreClosedAfterTheirTimeOuts) {
    StartAgent({"--test-hello-timeout-ms", "300", "--test-idle-timeout-ms", "700"});
    struct Case {
        const char* name;
        bool hello;         // admitted first
        std::string bytes;  // then these, then silence
    };
    const Case cases[] = {
        {"connected and silent", false, ""},
        {"half a Hello", false, HeaderBytes(30, 0) + "Kes"},
        {"a Hello, then silence", true, ""},
        {"a 65,535-byte request cut after 3 bytes", true, HeaderBytes(65535, 1) + "abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawPeer peer(agent.port());
        if (c.hello) {
            ASSERT_TRUE(peer.Send(0, kHello));
            MessageHeader header;
            ASSERT_EQ(peer.Read(header), "accept");
        }
        ASSERT_TRUE(peer.SendBytes(c.bytes));
        std::string answered;
        EXPECT_TRUE(peer.WaitForClose(&answered)) << "the agent kept the connection";
        EXPECT_EQ(answered, "");
    }
    const std::string log = agent.Errors();
    EXPECT_EQ(CountOf(log, "closed: no Hello in time"), 2u) << log;
    EXPECT_EQ(CountOf(log, "closed: silent for longer than the idle time-out"), 2u) << log;

    // The time-out is for silence, not for the length of the conversation.
    auto client = OpenClient();
    ASSERT_EQ(StartJob(*client, 1, 1).status(), 0u);
    ASSERT_EQ(StepStart(*client, 1).status(), 0u);
    const CommandResult slow = RunCommand(*client, 1, "", {"sh", "-c", "sleep 1.5; echo done"});
    ASSERT_EQ(slow.failure, "");
    EXPECT_EQ(slow.out, "done\n");
    EXPECT_EQ(EndJob(*client, 1).status(), 0u);
}

TEST_F(Hostile, PlacesAreTakenAtAcceptAndGivenBackByTheTimeOut) {
    StartAgent({"--max-connections", "2", "--test-hello-timeout-ms", "1500"});
    RawPeer first(agent.port());
    RawPeer second(agent.port());
    // The two silent ones hold both places: each client takes over the
    // place of one of them, which is closed at once.
    WireClient third;
    ASSERT_TRUE(third.Connect(agent.port()));
    EXPECT_EQ(third.Hello().payload, "accept");
    WireClient fourth;
    ASSERT_TRUE(fourth.Connect(agent.port()));
    EXPECT_EQ(fourth.Hello().payload, "accept");
    EXPECT_TRUE(first.WaitForClose());
    EXPECT_TRUE(second.WaitForClose());
    EXPECT_EQ(CountOf(agent.Errors(), "closed: no Hello in time"), 0u) << "closed before their time-out";
    // Both places past their Hello: nobody is closed for a newcomer.
    WireClient fifth;
    ASSERT_TRUE(fifth.Connect(agent.port()));
    EXPECT_EQ(fifth.Hello().payload, "reject\nThe machine is serving too many connections");
    EXPECT_EQ(StartJob(third, 1, 1).status(), 0u);
    EXPECT_EQ(EndJob(third, 1).status(), 0u);
    // A place that ends is given back.
    fourth.Close();
    WireClient sixth;
    EXPECT_EQ(OpenWhenThereIsRoom(sixth, agent.port()), "");
}

// Keeps `count` connections to the port open that never say a word: each
// one the agent closes is replaced, until Stop.
class IdleCrowd {
public:
    IdleCrowd(uint16_t port, size_t count) : port_(port), fds_(count, -1) {
        thread_ = std::thread([this] { Run(); });
    }
    ~IdleCrowd() { Stop(); }
    void Stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        for (int& fd : fds_) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }
    uint64_t opened() const { return opened_; }
    uint64_t closedByAgent() const { return closedByAgent_; }

private:
    void Open(int& fd) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port_);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ++opened_;
    }
    void Run() {
        for (int& fd : fds_) Open(fd);
        std::vector<pollfd> watch(fds_.size());
        while (!stopping_) {
            for (size_t i = 0; i < fds_.size(); ++i) watch[i] = {fds_[i], POLLIN, 0};
            if (poll(watch.data(), watch.size(), 50) <= 0) continue;
            for (size_t i = 0; i < fds_.size(); ++i) {
                if (watch[i].revents == 0) continue;
                // Readable means closed: the crowd never gets an answer.
                close(fds_[i]);
                ++closedByAgent_;
                Open(fds_[i]);
            }
        }
    }
    uint16_t port_;
    std::vector<int> fds_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> opened_{0};
    std::atomic<uint64_t> closedByAgent_{0};
    std::thread thread_;
};

bool RaiseOwnDescriptorLimit(rlim_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur >= wanted) return true;
    if (limit.rlim_max < wanted) return false;
    limit.rlim_cur = wanted;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

TEST_F(Hostile, TwoThousandIdleConnectionsUnderALowDescriptorLimit) {
    if (!RaiseOwnDescriptorLimit(2300)) GTEST_SKIP() << "this test needs 2300 descriptors of its own";
    wrapper = {"prlimit", "--nofile=64", "--"};
    StartAgent({"--test-hello-timeout-ms", "500"});
    EXPECT_NE(agent.Errors().find("the limit of 64 open files leaves room for"), std::string::npos) << agent.Errors();
    WireClient early;
    ASSERT_EQ(early.Open(agent.port()), "");
    {
        IdleCrowd crowd(agent.port(), 2000);
        // The crowd takes every place and is turned away, again and again.
        ASSERT_TRUE(WaitUntil([&] { return crowd.closedByAgent() >= 2000; })) << crowd.closedByAgent();
        RunSmallJob(early, temp / "early", 1);
        ASSERT_TRUE(agent.Running());
        crowd.Stop();
        std::printf("idle connections opened: %llu, closed by the agent: %llu\n",
                    static_cast<unsigned long long>(crowd.opened()),
                    static_cast<unsigned long long>(crowd.closedByAgent()));
    }
    // Once the crowd has gone, newcomers are served again.
    WireClient late;
    ASSERT_EQ(OpenWhenThereIsRoom(late, agent.port()), "");
    RunSmallJob(late, temp / "late", 1);
    EXPECT_TRUE(agent.Running());
}

TEST_F(Hostile, AcceptWithoutDescriptorsBacksOffAndGoesOn) {
    wrapper = {"prlimit", "--nofile=64", "--"};
    StartAgent();
    // One client's jobs take every descriptor there is: each holds its work area open.
    auto greedy = OpenClient();
    uint8_t jobs = 0;
    Checked refused;
    while (jobs < 200) {
        refused = StartJob(*greedy, static_cast<uint8_t>(jobs + 1), 1);
        if (refused.status() != 0) break;
        ++jobs;
    }
    ASSERT_EQ(refused.status(), 6u) << "the work area could not be opened";
    EXPECT_EQ(refused.response.errorCode, static_cast<uint32_t>(EMFILE));
    // The refused StartJob gave back the one descriptor it had: taken now.
    RawPeer last(agent.port());
    ASSERT_TRUE(last.Send(0, kHello));
    MessageHeader header;
    ASSERT_EQ(last.Read(header), "accept");

    WireClient waiting;
    ASSERT_TRUE(waiting.Connect(agent.port()));
    const auto message = "cannot accept connections for now (Too many open files); trying again";
    ASSERT_TRUE(WaitUntil([&] { return agent.Errors().find(message) != std::string::npos; })) << agent.Errors();
    // Let it try a few more times in the same burst.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (uint8_t job = 1; job <= jobs; ++job) ASSERT_EQ(EndJob(*greedy, job).status(), 0u);
    EXPECT_EQ(waiting.Hello().payload, "accept");
    EXPECT_EQ(waiting.Negotiate(), "");
    EXPECT_EQ(CountOf(agent.Errors(), message), 1u) << "once per burst";
    EXPECT_TRUE(agent.Running());
}

TEST_F(Hostile, OnlyAddressesInTheAllowListAreServed) {
    struct Case {
        std::vector<std::string> allow;
        const char* from;
        bool served;
    };
    const Case cases[] = {
        {{"--allow", "127.0.0.1"}, "127.0.0.1", true},
        {{"--allow", "127.0.0.1"}, "127.0.0.2", false},
        {{"--allow", "10.0.0.0/8", "--allow", "127.0.0.2/32"}, "127.0.0.2", true},
        {{"--allow", "10.0.0.0/8", "--allow", "127.0.0.2/32"}, "127.0.0.1", false},
        {{"--allow", "127.0.0.0/30"}, "127.0.0.2", true},
        {{"--allow", "::1"}, "127.0.0.1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.allow) + " from " + c.from);
        StopAgent();
        StartAgent(c.allow);
        RawPeer peer(agent.port(), c.from);
        ASSERT_TRUE(peer.Send(0, kHello));
        if (c.served) {
            MessageHeader header;
            EXPECT_EQ(peer.Read(header), "accept");
        } else {
            std::string answered;
            EXPECT_TRUE(peer.WaitForClose(&answered));
            EXPECT_EQ(answered, "") << "not a word to a stranger";
            EXPECT_NE(agent.Errors().find(std::string("refused a connection from ") + c.from), std::string::npos)
                << agent.Errors();
        }
    }
}

}  // namespace
}  // namespace kestrel::test
