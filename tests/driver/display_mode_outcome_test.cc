// In a terminal the outcome of scheduling waits for the display: "All output
// is already made" is posted and appears once the screen is back, and no
// status line is printed over the display.

#include <gtest/gtest.h>

#include <string>

#include "scheduler/scheduler_fixture.h"
#include "display/tmux_session.h"

namespace kestrel::test {
namespace {

class SchedulerDisplayMode : public TerminalTest {};

TEST_F(SchedulerDisplayMode, AllOutputMadeIsShownAfterTheDisplay) {
    Tmux tmux(100, 30);
    ASSERT_TRUE(tmux.started()) << tmux.startError();
    const TempDir& dir = tmux.dir();
    WriteFile(dir / "build.txt", kMachine + JobText("compile", {"a.c"}, {"a.o"}) + ProjectText("all", {"compile"}));
    WriteFile(dir / "a.c", "a");
    WriteFile(dir / "a.o", "o");
    SetModificationTime(dir / "a.c", 1000);
    SetModificationTime(dir / "a.o", 2000);

    const std::string recording = dir / "pane.bytes";
    tmux.Command("cd " + dir.path());
    tmux.Run({"pipe-pane", "-t", "t", "-o", "cat >> " + recording});
    tmux.Command(tmux.Recorded(KestrelBinary() + " --job all build.txt"));
    Screen screen;
    ASSERT_TRUE(tmux.WaitForText("EXIT:0", screen)) << screen.text;
    std::string bytes;
    tmux.WaitFor(
        [&](const Screen&) {
            bytes = ReadFile(recording);
            return bytes.find("EXIT:0") != std::string::npos;
        },
        screen);
    const size_t left = bytes.find("\x1b[?1049l");
    const size_t message = bytes.find("All output is already made");
    ASSERT_NE(bytes.find("\x1b[?1049h"), std::string::npos);
    ASSERT_NE(left, std::string::npos);
    ASSERT_NE(message, std::string::npos);
    EXPECT_GT(message, left);
    EXPECT_EQ(bytes.find("Scheduling jobs"), std::string::npos);
    tmux.ExpectTerminalRestored();
}

}  // namespace
}  // namespace kestrel::test
