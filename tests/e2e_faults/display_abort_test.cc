// Backspace in the display while the outputs come back aborts the build:
// the connection is cut, the job fails, and the run still ends with its
// build log, the terminal as it was and nothing left behind.
#include <regex>
#include <string>

#include "e2e_faults/fault_run.h"
#include "tmux_session.h"

namespace kestrel::test {
namespace {

class DisplayAbortTest : public FaultRunTest {};

TEST_F(DisplayAbortTest, BackspaceDuringTheOutputTransferAbortsTheBuild) {
    if (FindProgram("tmux").empty()) GTEST_SKIP() << "tmux is not installed";
    // Each piece of the output archive is answered late, so that the transfer lasts.
    ASSERT_TRUE(RestartAgent({"--test-delay", "output-transfer:300", "--keep-alive-ms", "100"}));
    StandardJob job;
    job.inputBytes = 1000000;
    WriteStandardScript(job);

    Tmux tmux(120, 30);
    ASSERT_TRUE(tmux.started()) << tmux.startError();
    servers = {std::stoi(tmux.Format("#{pid}"))};
    tmux.Command("cd " + ShellQuote(work.path()));
    tmux.Command(tmux.Recorded("TMPDIR=" + ShellQuote(temporary.path()) + " " + KestrelBinary() + " build.txt"));
    Screen screen;
    ASSERT_TRUE(tmux.WaitForText("Output transfer", screen)) << screen.text;
    tmux.Key("BSpace");
    // The command line itself shows "EXIT:$?"; the code comes once the client has ended.
    const std::regex exited("EXIT:[0-9]+");
    ASSERT_TRUE(tmux.WaitFor([&](const Screen& s) { return std::regex_search(s.text, exited); }, screen)) << screen.text;
    EXPECT_TRUE(screen.Contains("EXIT:0\n")) << screen.text;
    tmux.ExpectTerminalRestored();

    // The abort cut the connection under the transfer; the messages wait
    // for the display to go.
    std::smatch found;
    const std::regex cut("Machine failed with connection error: (Connection to " + Url() + " failed, error -?[0-9]+)");
    ASSERT_TRUE(std::regex_search(screen.text, found, cut)) << screen.text;
    const std::string failure = found[1];
    EXPECT_TRUE(screen.Contains("At least one job failed")) << screen.text;
    EXPECT_FALSE(screen.Contains("The job main succeeded")) << screen.text;
    for (const char* fault : {"Sanitizer", "runtime error:"}) EXPECT_FALSE(screen.Contains(fault)) << screen.text;
    ExpectBuildLog(JobFailed(failure));
    ExpectNothingLeft();
}

}  // namespace
}  // namespace kestrel::test
