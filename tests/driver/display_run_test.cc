// A real run in display mode: the job's row shows while the machine holds
// it, backspace aborts the run, the job fails and the terminal comes back.
#include <gtest/gtest.h>

#include <string>

#include "agent/agent_process.h"
#include "display/tmux_session.h"

namespace kestrel::test {
namespace {

class DisplayRun : public TerminalTest {};

TEST_F(DisplayRun, RowsShowAndBackspaceAbortsTheRun) {
    TempDir work;
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({"--work-dir", work / "agent", "--test-delay", "execute:8000"})) << agent.failure;
    Tmux tmux(120, 30);
    ASSERT_TRUE(tmux.started()) << tmux.startError();
    WriteFile(tmux.dir() / "build.kv", "machine slow\n    path\n        kv://127.0.0.1:" + std::to_string(agent.port()) +
                                           "\njob held\n    machine\n        slow\n    command break on error\n"
                                           "        echo\n            waiting\n");
    tmux.Command("cd " + tmux.dir().path());
    tmux.Command(tmux.Recorded(KestrelBinary() + " --job held build.kv"));
    Screen screen;
    const std::string url = "kv://127.0.0.1:" + std::to_string(agent.port());
    // The row: the machine's first hop, the job and the command it runs.
    ASSERT_TRUE(tmux.WaitFor(
        [&](const Screen& s) {
            return s.Contains(kDisplayTitle) && s.Contains("In Progress Count: 1") && s.Contains(url) &&
                   s.Contains(" held ") && s.Contains(" echo ");
        },
        screen))
        << screen.text;

    tmux.Key("BSpace");
    ASSERT_TRUE(tmux.WaitForText("EXIT:0", screen)) << screen.text;
    EXPECT_TRUE(screen.Contains("At least one job failed")) << screen.text;
    EXPECT_FALSE(screen.Contains("Press backspace"));
    tmux.ExpectTerminalRestored();
    EXPECT_TRUE(FileExists(tmux.dir() / "build.kv"));
}

}  // namespace
}  // namespace kestrel::test
