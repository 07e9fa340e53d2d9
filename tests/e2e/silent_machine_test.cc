// A machine that stays silent past the connection time-out (two seconds in
// the test program instead of ninety): the connection times out, the job
// fails and the run still ends with its build log.
#include <string>

#include "e2e/e2e_fixture.h"

namespace kestrel::test {
namespace {

class SilentMachineTest : public EndToEndTest {};

TEST_F(SilentMachineTest, AnAnswerLaterThanTheTimeOutFailsTheJob) {
    binary = KESTREL_QUICK_TIMEOUTS_BINARY;
    // Keep-alives would hold the request open: the agent sends none within the delay.
    StartAgent({"--keep-alive-ms", "60000", "--test-delay", "step-start:4000"});
    JobSpec job;
    job.commands = {Shell("true")};
    const ProcessResult run = RunJobs({job});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::string url = "kv://127.0.0.1:" + std::to_string(MachinePort());
    EXPECT_EQ(run.out, PlainOutput({"Machine failed with connection error: Connection to " + url + " timed out",
                                    "At least one job failed"}));
    const std::string log = ReadFile(work / "build_log.xml");
    EXPECT_NE(log.find("type=\"connection\""), std::string::npos) << log;
    EXPECT_NE(log.find("Connection to " + url + " timed out</kv:error>"), std::string::npos) << log;
    EXPECT_NE(log.find("status=\"failed\""), std::string::npos) << log;
}

}  // namespace
}  // namespace kestrel::test
