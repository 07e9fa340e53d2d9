// Machine blocks: paths of hops, the hop text rules, and the machine
// addresses that job blocks will use.

#include <cstring>

#include "script/machine_block.h"
#include "script_fixture.h"

namespace kestrel::test {
namespace {

class MachineBlockTest : public ScriptTest {
protected:
    // "machine m\n  path\n    <hop>\n"
    std::string HopError(const std::string& hop) {
        const std::string error = ErrorOf("machine m\n  path\n    " + hop + "\n");
        return error;
    }
};

TEST_F(MachineBlockTest, APathBlockChainsItsHops) {
    ASSERT_EQ(ErrorOf("machine m\n  path\n    kvs://gateway:6000\n    kvi://builder\n"), "");
    const Machine* machine = FindMachine("m");
    ASSERT_NE(machine, nullptr);
    ASSERT_EQ(machine->pathCount(), 1u);
    const MachinePath& path = machine->first[0];
    EXPECT_STREQ(path.machineName, "m");
    EXPECT_EQ(path.index, 0u);
    EXPECT_EQ(path.flags, 0u);
    EXPECT_EQ(path.connection, nullptr);
    const Hop* gateway = path.hops;
    EXPECT_STREQ(gateway->url, "kvs://gateway:6000");
    EXPECT_STREQ(gateway->host, "gateway");
    EXPECT_EQ(gateway->protocol, HopProtocol::Tunnel);
    EXPECT_EQ(gateway->port, 6000);
    const Hop* agent = gateway->next;
    ASSERT_NE(agent, nullptr);
    EXPECT_STREQ(agent->url, "kvi://builder");
    EXPECT_STREQ(agent->host, "builder");
    EXPECT_EQ(agent->protocol, HopProtocol::Agent);
    EXPECT_EQ(agent->port, 0);
    EXPECT_EQ(agent->next, nullptr);
}

TEST_F(MachineBlockTest, PathListsAndFurtherPathBlocksAddNumberedPaths) {
    std::string script = "machine m\n  path    list\n";
    for (int i = 0; i < 12; ++i) script += "    kv://host" + std::to_string(i) + "\n";
    script += "  path\n    kv://a/\n    kvi://b\n  path\n  path list  \n    kv://c:65535/\n";
    ASSERT_EQ(ErrorOf(script), "");
    const Machine* machine = FindMachine("m");
    ASSERT_NE(machine, nullptr);
    ASSERT_EQ(machine->pathCount(), 14u);
    for (uint32_t i = 0; i < 12; ++i) {
        EXPECT_EQ(machine->first[i].index, i);
        EXPECT_EQ(machine->first[i].hops->host, "host" + std::to_string(i));
        EXPECT_EQ(machine->first[i].hops->port, kDefaultMachinePort);
        EXPECT_EQ(machine->first[i].hops->protocol, HopProtocol::Direct);
        EXPECT_EQ(machine->first[i].hops->next, nullptr);
        EXPECT_STREQ(machine->first[i].machineName, "m");
    }
    const Hop* a = machine->first[12].hops;
    EXPECT_STREQ(a->url, "kv://a/");
    EXPECT_STREQ(a->host, "a");
    EXPECT_STREQ(a->next->host, "b");
    const Hop* c = machine->first[13].hops;
    EXPECT_EQ(machine->first[13].index, 13u);
    EXPECT_STREQ(c->url, "kv://c:65535/");
    EXPECT_STREQ(c->host, "c");
    EXPECT_EQ(c->port, 65535);
}

TEST_F(MachineBlockTest, HopTextRules) {
    const std::string invalid = "Invalid machine path" + At(3);
    for (const char* hop :
         {"kv://", "kv://host:65536", "kv://host:0", "kv://host:", "kv://host:123456", "kv://host:00000", "kv://a/b",
          "kv://a//", "kv://host:80x", "kv://host:8/0", "kv://:80", "kv:///", "kvs://a:1:2"}) {
        EXPECT_EQ(HopError(hop), invalid) << hop;
    }
    EXPECT_EQ(HopError("kvi://agent:80"), "A port cannot be specified for an agent" + At(3));
    EXPECT_EQ(HopError("kvi://agent:0"), invalid);
    EXPECT_EQ(HopError("http://x"), "Unknown protocol http://x within path block" + At(3));
    EXPECT_EQ(HopError("kv:/x"), "Unknown protocol kv:/x within path block" + At(3));
    EXPECT_EQ(HopError("kv://h:00080/"), "");
}

TEST_F(MachineBlockTest, BlockMessages) {
    struct Case {
        std::string script;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"machine m\n  path\n    kv://a\nmachine m\n", "The machine name m is already in use" + At(4)},
        {"machine m\n  paths\n", "Unknown line paths within machine block" + At(2)},
        {"machine m\n  other\n", "Unknown line other within machine block" + At(2)},
        {"machine m\n  path x\n", "No parameters allowed for path block" + At(2)},
        {"machine m\n  path list x\n", "No parameters allowed for path block" + At(2)},
        {"machine m\n  path listx\n", "No parameters allowed for path block" + At(2)},
        {"machine m\n  path lis\n", "No parameters allowed for path block" + At(2)},
        // Empty machines fail when the block closes, naming its last line.
        {"machine m\n", "Machine block may not be empty" + At(1)},
        {"machine m\ndata d\n", "Machine block may not be empty" + At(1)},
        {"machine m\n  path\n  path list\n", "Machine block may not be empty" + At(3)},
        {"machine m\n  path\ndata d\n", "Machine block may not be empty" + At(2)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ErrorOf(c.script), c.error) << c.script;
    }
}

TEST(MachineAddressTest, ABareAddressIsOneDirectHop) {
    struct Case {
        const char* text;
        const char* url;
        const char* host;
        uint16_t port;
    };
    for (const Case& c : {Case{"builder7:6001", "kv://builder7:6001/", "builder7", 6001},
                          Case{"builder", "kv://builder/", "builder", kDefaultMachinePort},
                          Case{"10.0.0.1:65535", "kv://10.0.0.1:65535/", "10.0.0.1", 65535}}) {
        BlockMessage message;
        Machine* machine = parseMachineAddress(c.text, static_cast<uint32_t>(std::strlen(c.text)), message);
        ASSERT_NE(machine, nullptr) << c.text;
        EXPECT_EQ(message.text, nullptr);
        ASSERT_EQ(machine->pathCount(), 1u);
        EXPECT_STREQ(machine->first[0].machineName, c.text);
        const Hop* hop = machine->first[0].hops;
        EXPECT_STREQ(hop->url, c.url);
        EXPECT_STREQ(hop->host, c.host);
        EXPECT_EQ(hop->port, c.port);
        EXPECT_EQ(hop->protocol, HopProtocol::Direct);
        EXPECT_EQ(hop->next, nullptr);
        DestroyMachine(machine);
    }
    for (const char* text : {"a:1:2", "a/b", "a/", "a:0", "a:65536", "a:", ":80", "a:1/"}) {
        BlockMessage message;
        EXPECT_EQ(parseMachineAddress(text, static_cast<uint32_t>(std::strlen(text)), message), nullptr) << text;
        EXPECT_STREQ(message.text, "Invalid machine path") << text;
    }
}

TEST(MachineRecordTest, TheClientsConnectionIsReleasedWithTheMachine) {
    static int released = 0;
    Machine* machine = NewMachine("m", 1);
    ASSERT_NE(machine, nullptr);
    for (int i = 0; i < 7; ++i) {
        MachinePath* path = AppendMachinePath(*machine);
        ASSERT_NE(path, nullptr);
        path->releaseConnection = [](MachinePath&) { ++released; };
    }
    EXPECT_EQ(machine->pathCount(), 7u);
    DestroyMachine(machine);
    EXPECT_EQ(released, 7);
}

}  // namespace
}  // namespace kestrel::test
