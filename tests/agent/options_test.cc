// The agent's command line: the help text names every option, and wrong
// values stop it before it listens.
#include <gtest/gtest.h>

#include "agent/agent_process.h"
#include "support/test_support.h"

namespace kestrel::test {
namespace {

TEST(AgentOptions, HelpExplainsEveryOption) {
    const AgentRun help = RunAgentToEnd({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option :
         {"--listen", "--allow", "--work-dir", "--encoding", "--separator", "--capacity", "--dev-env", "--tunnel",
          "--max-connections", "--max-pending-per-address", "--keep-alive-ms", "--poll-hold-ms", "--verbose", "--test-reject", "--test-recalculate",
          "--test-keep-alive", "--test-delay", "--test-corrupt", "--test-close-at", "--test-wrong-id",
          "--test-wrong-sequence", "--test-hello-timeout-ms", "--test-idle-timeout-ms"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
}

TEST(AgentOptions, WrongValuesStopItBeforeItListens) {
    TempDir temp;
    WriteFile(temp / "bad.env", "NO_EQUALS_SIGN\n");
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{"--encoding", "latin1"}, "Invalid value for --encoding: latin1"},
        {{"--separator", "ab"}, "Invalid value for --separator: ab"},
        {{"--capacity", "0"}, "Invalid value for --capacity: 0"},
        {{"--max-pending-per-address", "0"}, "Invalid value for --max-pending-per-address: 0"},
        {{"--max-pending-per-address", "ten"}, "Invalid value for --max-pending-per-address: ten"},
        {{"--listen", "127.0.0.1:70000"}, "Invalid value for --listen: 127.0.0.1:70000"},
        {{"--tunnel", "builder"}, "Invalid value for --tunnel: builder"},
        {{"--dev-env", "tools=" + (temp / "missing.env")}, "Cannot read the development environment file"},
        {{"--dev-env", "tools=" + (temp / "bad.env")}, "line 1: expected NAME=VALUE"},
        {{"--test-corrupt", "no-such-request"}, "Invalid value for --test-corrupt: no-such-request"},
        {{"--test-keep-alive", "poll:sometimes"}, "Invalid value for --test-keep-alive: poll:sometimes"},
        {{"--verbose=yes"}, "The option --verbose takes no value"},
        {{"--allow", "10.0.0.0/33"}, "Invalid value for --allow: 10.0.0.0/33"},
        {{"--allow", "builders.example"}, "Invalid value for --allow: builders.example"},
        {{"--allow", "fd00::/129"}, "Invalid value for --allow: fd00::/129"},
        {{"--test-idle-timeout-ms", "0"}, "Invalid value for --test-idle-timeout-ms: 0"},
        {{"--work-dir"}, "The option --work-dir needs a value"},
        {{"--frobnicate", "1"}, "Unknown option --frobnicate"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments[0]);
        std::vector<std::string> arguments = {"--work-dir", temp / "work", "--listen", "127.0.0.1:0"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const AgentRun run = RunAgentToEnd(arguments);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << "nothing listened";
    }
}

}  // namespace
}  // namespace kestrel::test
