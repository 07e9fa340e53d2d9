// kestrel itself in a terminal: display mode or plain mode. A script that does
// not exist fails at once with "Cannot parse", which is posted, so where and
// when that message appears shows the mode.

#include <gtest/gtest.h>

#include <string>

#include "display/tmux_session.h"

namespace kestrel::test {
namespace {

class KestrelConsoleMode : public TerminalTest {
protected:
    // Runs `arguments` through kestrel in the pane and returns everything the
    // pane received while it ran.
    std::string RunKestrel(Tmux& tmux, const std::string& arguments, Screen& screen) {
        EXPECT_TRUE(tmux.started()) << tmux.startError();
        const std::string recording = tmux.dir() / "pane.bytes";
        tmux.Command("cd " + tmux.dir().path());
        tmux.Run({"pipe-pane", "-t", "t", "-o", "cat >> " + recording});
        tmux.Command(tmux.Recorded(KestrelBinary() + " " + arguments));
        EXPECT_TRUE(tmux.WaitForText("EXIT:1", screen)) << screen.text;
        std::string bytes;
        tmux.WaitFor(
            [&](const Screen&) {
                bytes = ReadFile(recording);
                return bytes.find("EXIT:1") != std::string::npos;
            },
            screen);
        return bytes;
    }
};

TEST_F(KestrelConsoleMode, DisplayModeShowsQueuedMessagesAfterTheScreenIsBack) {
    Tmux tmux(100, 30);
    Screen screen;
    const std::string bytes = RunKestrel(tmux, "missing.kv", screen);
    const size_t entered = bytes.find("\x1b[?1049h");
    const size_t left = bytes.find("\x1b[?1049l");
    ASSERT_NE(entered, std::string::npos);
    ASSERT_NE(left, std::string::npos);
    EXPECT_LT(entered, left);
    const size_t message = bytes.find("Cannot parse missing.kv");
    ASSERT_NE(message, std::string::npos);
    EXPECT_GT(message, left);
    EXPECT_TRUE(screen.Contains("Cannot parse missing.kv"));
    tmux.ExpectTerminalRestored();
}

TEST_F(KestrelConsoleMode, AutomatedOrRedirectedRunsInPlainMode) {
    {
        Tmux tmux(100, 30);
        Screen screen;
        const std::string bytes = RunKestrel(tmux, "--automated missing.kv", screen);
        EXPECT_EQ(bytes.find("\x1b[?1049h"), std::string::npos);
        EXPECT_TRUE(screen.Contains("Cannot parse missing.kv"));
    }
    {
        Tmux tmux(100, 30);
        Screen screen;
        const std::string bytes = RunKestrel(tmux, "missing.kv > out.txt", screen);
        EXPECT_EQ(bytes.find("\x1b[?1049h"), std::string::npos);
        EXPECT_NE(ReadFile(tmux.dir() / "out.txt").find("Cannot parse missing.kv"), std::string::npos);
    }
    // Not a terminal at all.
    const ProcessResult piped = RunProcess({KestrelBinary(), "missing.kv"});
    EXPECT_EQ(piped.exitCode, 1);
    EXPECT_EQ(piped.out.find("\x1b["), std::string::npos);
    EXPECT_NE(piped.out.find("Cannot parse missing.kv"), std::string::npos);
}

}  // namespace
}  // namespace kestrel::test
