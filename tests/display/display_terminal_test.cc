// The display in a real terminal: the display exercise run from a shell in a
// tmux pane, its screen read back, keys typed and the pane resized.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tmux_session.h"

namespace kestrel::test {
namespace {

std::string Exercise() { return DISPLAY_EXERCISE; }

class DisplayTerminal : public TerminalTest {
protected:
    // Starts the exercise and waits until the display shows every text of
    // `ready` (or, with none, until the alternate screen is up). The exercise
    // adds rows, counts and messages one by one while the display paints, so
    // a frame showing one of them need not show the others yet.
    void StartExercise(Tmux& tmux, const std::string& arguments, const std::vector<std::string>& ready,
                       Screen& screen) {
        ASSERT_TRUE(tmux.started()) << tmux.startError();
        tmux.Command(tmux.Recorded(Exercise() + " " + arguments));
        if (ready.empty()) {
            ASSERT_TRUE(tmux.WaitFor([&](const Screen&) { return tmux.Format("#{alternate_on}") == "1"; }, screen));
            return;
        }
        ASSERT_TRUE(tmux.WaitFor(
            [&](const Screen& s) {
                for (const std::string& text : ready)
                    if (!s.Contains(text)) return false;
                return true;
            },
            screen))
            << screen.text;
    }

    // Backspace ends the exercise; returns the main screen after it exited.
    Screen EndWithBackspace(Tmux& tmux) {
        tmux.Key("BSpace");
        Screen screen;
        EXPECT_TRUE(tmux.WaitForText("EXIT:0", screen)) << screen.text;
        return screen;
    }
};

TEST_F(DisplayTerminal, LaysOutJobsAndCountersAt120x30) {
    Tmux tmux(120, 30);
    Screen screen;
    ASSERT_NO_FATAL_FAILURE(StartExercise(tmux, "--rows 40 --long --messages --succeeded 2 --failed 1",
                                          {"In Progress Count: 41", "Error Count: 3", "Succeeded Count: 2",
                                           "Failed Count: 1"},
                                          screen));

    EXPECT_EQ(screen.At(0, 0, 120), std::string(50, ' ') + kDisplayTitle + std::string(50, ' '));
    EXPECT_EQ(screen.At(1, 0, 2), "\u250C\u2500");
    EXPECT_EQ(screen.At(1, 118, 2), "\u2500\u2510");
    EXPECT_EQ(screen.At(27, 0, 2), "\u2514\u2500");
    EXPECT_EQ(screen.At(27, 118, 2), "\u2500\u2518");
    for (int row = 2; row <= 26; ++row) {
        EXPECT_EQ(screen.At(row, 0, 2), "\u2502 ") << row;
        EXPECT_EQ(screen.At(row, 119, 1), "\u2502") << row;
    }

    // The long row comes first, each of its texts cut to its field.
    // Machine and job fields abut: the machine text ends where the job column starts.
    EXPECT_EQ(screen.At(2, 2, 32), "LONGMACHINE==============LONGJOB");
    EXPECT_EQ(screen.At(2, 27, 51), "LONGJOB" + std::string(43, '=') + " ");
    EXPECT_EQ(screen.At(2, 84, 26), "LONGSTATUS===============" + std::string(" "));
    EXPECT_FALSE(screen.Contains("#END"));

    // Row 00 at screen row 3: every field in its column.
    EXPECT_EQ(screen.At(3, 2, 16), "kv://machine-00 ");
    EXPECT_EQ(screen.At(3, 27, 7), "job-00 ");
    EXPECT_NE(std::string("0123456789").find(screen.At(3, 78, 1)), std::string::npos) << screen.At(3, 70, 20);
    EXPECT_EQ(screen.At(3, 84, 8), "step 00 ");
    EXPECT_NE(std::string("0123456789").find(screen.At(3, 110, 1)), std::string::npos) << screen.At(3, 100, 20);
    // Row 02 has no status: blank from the status column to the border.
    EXPECT_EQ(screen.At(5, 27, 6), "job-02");
    EXPECT_EQ(screen.At(5, 84, 35), std::string(35, ' '));

    // 25 rows fit: the long row and rows 00 to 23; the counter still counts all 41.
    EXPECT_EQ(screen.At(26, 2, 15), "kv://machine-23");
    EXPECT_FALSE(screen.Contains("machine-24"));

    EXPECT_EQ(screen.At(28, 0, 55), std::string(55, ' '));
    EXPECT_EQ(screen.At(28, 55, 15), "Error Count: 3 ");
    EXPECT_EQ(screen.At(28, 79, 19), "Succeeded Count: 2 ");
    EXPECT_EQ(screen.At(29, 0, 36), " Press backspace to abort the build ");
    EXPECT_EQ(screen.At(29, 55, 16), "Failed Count: 1 ");
    EXPECT_EQ(screen.At(29, 79, 22), "In Progress Count: 41 ");

    EXPECT_EQ(tmux.Format("#{pane_title}"), kDisplayTitle);
    EXPECT_TRUE(tmux.PaintedWhiteOnBlue()) << tmux.Capture(true).text;

    EndWithBackspace(tmux);
}

TEST_F(DisplayTerminal, LaysOutAt80x24WithReadableCounters) {
    Tmux tmux(80, 24);
    Screen screen;
    ASSERT_NO_FATAL_FAILURE(
        StartExercise(tmux, "--rows 30 --messages --succeeded 4 --failed 5",
                      {"In Progress Count: 30", "Error Count: 3", "Succeeded Count: 4", "Failed Count: 5"}, screen));

    EXPECT_EQ(screen.At(0, 30, 20), kDisplayTitle);
    EXPECT_EQ(screen.At(1, 0, 1), "\u250C");
    EXPECT_EQ(screen.At(1, 79, 1), "\u2510");
    EXPECT_EQ(screen.At(21, 0, 1), "\u2514");
    EXPECT_EQ(screen.At(21, 79, 1), "\u2518");
    // d = 15, e = 30: machine at 2, job at 17, elapsed at 48, status at 54, age at 70.
    EXPECT_EQ(screen.At(2, 2, 15), "kv://machine-00");
    EXPECT_EQ(screen.At(2, 17, 7), "job-00 ");
    EXPECT_EQ(screen.At(2, 54, 8), "step 00 ");
    EXPECT_NE(std::string("0123456789").find(screen.At(2, 48, 1)), std::string::npos);
    EXPECT_NE(std::string("0123456789").find(screen.At(2, 70, 1)), std::string::npos);
    // 19 rows fit: rows 00 to 18.
    EXPECT_EQ(screen.At(20, 2, 15), "kv://machine-18");
    EXPECT_FALSE(screen.Contains("machine-19"));

    const std::string counters = screen.At(22, 0, 80);
    const std::string hint = screen.At(23, 0, 80);
    EXPECT_NE(counters.find(" Error Count: 3 "), std::string::npos) << counters;
    EXPECT_NE(counters.find(" Succeeded Count: 4"), std::string::npos) << counters;
    EXPECT_EQ(hint.find(" Press backspace to abort the build "), 0u) << hint;
    EXPECT_NE(hint.find(" Failed Count: 5 "), std::string::npos) << hint;
    EXPECT_NE(hint.find(" In Progress Count: 30"), std::string::npos) << hint;
    EXPECT_EQ(counters.find("Error"), hint.find("Failed"));
    EXPECT_EQ(counters.find("Succeeded"), hint.find("In Progress"));

    EndWithBackspace(tmux);
}

TEST_F(DisplayTerminal, StaysBlankBelowTheMinimumSize) {
    for (const auto& size : {std::pair{49, 24}, std::pair{80, 4}}) {
        const int width = size.first;
        const int height = size.second;
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        Tmux tmux(width, height);
        const std::string titleBefore = tmux.Format("#{pane_title}");
        Screen screen;
        ASSERT_NO_FATAL_FAILURE(StartExercise(tmux, "--rows 3 --messages", {}, screen));
        // Wait for the painted screen: every line blank, every cell white on blue.
        ASSERT_TRUE(tmux.WaitFor(
            [&](const Screen& s) {
                return s.lines.size() == static_cast<size_t>(height) &&
                       s.text.find_first_not_of(" \n") == std::string::npos && tmux.PaintedWhiteOnBlue();
            },
            screen))
            << screen.text << tmux.Capture(true).text;
        EXPECT_EQ(tmux.Format("#{pane_title}"), titleBefore);
        EXPECT_NE(titleBefore, kDisplayTitle);
        EndWithBackspace(tmux);
    }
}

TEST_F(DisplayTerminal, ResizingLaysTheDisplayOutAgain) {
    Tmux tmux(120, 30);
    Screen screen;
    ASSERT_NO_FATAL_FAILURE(StartExercise(tmux, "--rows 30", {"In Progress Count: 30"}, screen));
    EXPECT_EQ(screen.At(27, 119, 1), "\u2518");

    tmux.Resize(80, 24);
    ASSERT_TRUE(tmux.WaitFor(
        [](const Screen& s) {
            return s.lines.size() == 24 && s.At(21, 0, 1) == "\u2514" && s.At(21, 79, 1) == "\u2518" &&
                   s.At(23, 0, 80).find("In Progress Count: 30") != std::string::npos;
        },
        screen))
        << screen.text;
    EXPECT_EQ(screen.At(0, 30, 20), kDisplayTitle);
    EXPECT_EQ(screen.At(2, 17, 6), "job-00");
    EXPECT_EQ(screen.At(2, 54, 7), "step 00");

    tmux.Resize(100, 12);
    ASSERT_TRUE(tmux.WaitFor(
        [](const Screen& s) {
            return s.lines.size() == 12 && s.At(9, 0, 1) == "\u2514" && s.At(9, 99, 1) == "\u2518" &&
                   s.At(11, 0, 100).find("In Progress Count: 30") != std::string::npos;
        },
        screen))
        << screen.text;
    // d = 20, e = 40: the job column moves to 22; 7 rows fit.
    EXPECT_EQ(screen.At(2, 22, 6), "job-00");
    EXPECT_EQ(screen.At(8, 22, 6), "job-06");
    EXPECT_FALSE(screen.Contains("job-07"));

    EndWithBackspace(tmux);
}

TEST_F(DisplayTerminal, BackspaceAbortsAndTheShellGetsItsTerminalBack) {
    Tmux tmux(100, 30);
    ASSERT_TRUE(tmux.started()) << tmux.startError();
    tmux.Command("echo MARKER-$((40+2))");
    Screen screen;
    ASSERT_TRUE(tmux.WaitForText("MARKER-42", screen));
    ASSERT_NO_FATAL_FAILURE(StartExercise(tmux, "--rows 5 --messages", {"In Progress Count: 5"}, screen));
    EXPECT_FALSE(screen.Contains("MARKER-42"));
    EXPECT_EQ(tmux.Format("#{alternate_on}"), "1");

    screen = EndWithBackspace(tmux);
    tmux.ExpectTerminalRestored();
    // The main screen is back with what it showed before, then the queued
    // messages in order, warnings last, then the exercise's own report.
    const std::string& text = screen.text;
    const std::vector<std::string> order = {"MARKER-42",       "message one",          "message two",
                                            "message three",   "WARNING: warning one", "WARNING: warning two",
                                            "abort requested: yes", "EXIT:0"};
    size_t at = 0;
    for (const std::string& expected : order) {
        const size_t found = text.find(expected, at);
        ASSERT_NE(found, std::string::npos) << expected << " after offset " << at << " in\n" << text;
        at = found + expected.size();
    }
    EXPECT_FALSE(screen.Contains("Press backspace"));
    EXPECT_FALSE(screen.Contains("\u2502"));

    // Echo and line editing work again: the typed line shows, the erase applies.
    tmux.Type("echo abcX");
    tmux.Key("BSpace");
    tmux.Type("d");
    tmux.Key("Enter");
    ASSERT_TRUE(tmux.WaitFor(
        [](const Screen& s) {
            return s.text.find("echo abcd\nabcd\n") != std::string::npos;
        },
        screen))
        << screen.text;
}

TEST_F(DisplayTerminal, CtrlCPanicsWithExitCode2AndRestoresTheTerminal) {
    Tmux tmux(100, 30);
    Screen screen;
    ASSERT_NO_FATAL_FAILURE(StartExercise(tmux, "--rows 3 --messages", {"In Progress Count: 3"}, screen));
    tmux.Key("C-c");
    ASSERT_TRUE(tmux.WaitForText("EXIT:2", screen)) << screen.text;
    // Written by the interrupt handler after the terminal was restored.
    EXPECT_TRUE(screen.Contains("panic: CTRL_C_EVENT"));
    EXPECT_FALSE(screen.Contains("abort requested"));
    tmux.ExpectTerminalRestored();
}

}  // namespace
}  // namespace kestrel::test
