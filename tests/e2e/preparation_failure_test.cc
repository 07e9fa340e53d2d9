// A machine that cannot be reached says which machine, which first hop and
// why, with the system's own words for the error and its code, for every
// preparation failure a real run can bring about.
#include <string>

#include "e2e/e2e_fixture.h"
#include "platform/tcp_sockets.h"

namespace kestrel::test {
namespace {

class PreparationFailureTest : public EndToEndTest {};

struct UnreachableCase {
    const char* what;
    std::string path;     // the machine's one path
    std::string message;  // the whole line the client prints
};

TEST_F(PreparationFailureTest, TheMessageSaysWhichMachineWhichHopAndWhy) {
    if (kClientUnderWine) GTEST_SKIP() << "the texts and codes below are the Linux system's";
    uint16_t closed = 0;
    int32_t error = 0;
    ASSERT_TRUE(platform::FindFreeLoopbackPort(closed, error)) << error;
    const std::string refused = "kv://127.0.0.1:" + std::to_string(closed);
    const UnreachableCase cases[] = {
        {"nothing listens on the port", refused,
         "Machine m (" + refused + "): Cannot connect (Connection refused), error 111"},
        {"a name that does not resolve", "kv://no-such-host.invalid:5017",
         "Machine m (kv://no-such-host.invalid:5017): Cannot resolve the host name (Name or service not known), "
         "error -2"},
        {"an agent as the first hop", "kvi://builder",
         "Machine m (kvi://builder): Cannot connect directly to an agent; a connection must be made through a "
         "server, error 0"},
        {"an ssh destination ssh would take for an option", "kvs://-builder:5017",
         "Machine m (kvs://-builder:5017): Cannot create ssh command line (The parameter is incorrect), error 87"},
    };
    JobSpec job;
    job.commands = {{"true"}};
    for (const UnreachableCase& c : cases) {
        SCOPED_TRACE(c.what);
        Write("build.txt", "machine m\n  path\n    " + c.path + "\n" + JobBlock(job));
        const ProcessResult run = RunKestrel();
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, PlainOutput({c.message, "At least one job failed"})) << run.err;
    }
}

}  // namespace
}  // namespace kestrel::test
