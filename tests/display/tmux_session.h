// A tmux server of its own with a shell in its only pane: the real terminal in
// which the display tests run programs, type keys and read the screen.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace kestrel::test {

inline constexpr char kDisplayTitle[] = "Kestrelvane 0.1.2024";

// The full path of a program on PATH, or empty.
std::string FindProgram(const std::string& name);

// A captured pane: one line of cells per row, padded with blanks.
struct Screen {
    std::vector<std::u32string> lines;
    std::string text;  // as captured

    // `count` cells of a row from `column`, as UTF-8.
    std::string At(int row, int column, int count) const;
    bool Contains(const std::string& needle) const { return text.find(needle) != std::string::npos; }
};

class Tmux {
public:
    Tmux(int width, int height);
    ~Tmux();
    Tmux(const Tmux&) = delete;
    Tmux& operator=(const Tmux&) = delete;

    bool started() const { return started_; }
    const std::string& startError() const { return startError_; }
    const TempDir& dir() const { return dir_; }

    // Runs a tmux command against this server.
    ProcessResult Run(const std::vector<std::string>& arguments);
    void Type(const std::string& text);
    void Key(const std::string& key);
    // Types a line and presses Enter.
    void Command(const std::string& line);
    void Resize(int width, int height);
    // A tmux format of the pane, such as "#{alternate_on}".
    std::string Format(const std::string& format);
    // The visible pane; with attributes as escape sequences when asked.
    Screen Capture(bool withAttributes = false);
    // Every cell of the pane is white on blue: the one attribute change in the
    // capture sets it, and none ever returns to the default colours.
    bool PaintedWhiteOnBlue();

    // Captures until `condition` holds; false when patience runs out.
    bool WaitFor(const std::function<bool(const Screen&)>& condition, Screen& screen);
    bool WaitForText(const std::string& text, Screen& screen);

    // A shell line that saves the terminal modes before and after `command`
    // and prints "EXIT:" with its exit code.
    std::string Recorded(const std::string& command) const;
    // After a Recorded line: the modes are what they were and the main screen is shown.
    void ExpectTerminalRestored();

private:
    TempDir dir_;
    std::string socket_;
    std::string config_;
    int width_;
    int height_;
    bool started_ = false;
    std::string startError_;
};

// Skips when tmux is not installed.
class TerminalTest : public ::testing::Test {
protected:
    void SetUp() override;
};

}  // namespace kestrel::test
