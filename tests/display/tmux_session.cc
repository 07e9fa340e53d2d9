#include "tmux_session.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "display/display_text.h"

namespace kestrel::test {

namespace {

// Long enough for a sanitized build on a busy machine; a wait ends as soon as
// its condition holds.
constexpr auto kPatience = std::chrono::seconds(60);

const std::string& TmuxProgram() {
    static const std::string program = FindProgram("tmux");
    return program;
}

std::u32string LineCells(const std::string& line, int width) {
    std::u32string cells(CellCount(line.data(), line.size()), U' ');
    DecodeCells(line.data(), line.size(), cells.data());
    if (static_cast<int>(cells.size()) < width) cells.append(static_cast<size_t>(width) - cells.size(), U' ');
    return cells;
}

}  // namespace

std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    const std::string directories = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        const size_t end = directories.find(':', start);
        const std::string candidate =
            directories.substr(start, end == std::string::npos ? std::string::npos : end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        if (end == std::string::npos) return {};
        start = end + 1;
    }
}

std::string Screen::At(int row, int column, int count) const {
    if (row < 0 || row >= static_cast<int>(lines.size())) return "<no row>";
    std::string text;
    const std::u32string& line = lines[static_cast<size_t>(row)];
    for (char32_t cell : line.substr(static_cast<size_t>(column), static_cast<size_t>(count))) AppendUtf8(text, cell);
    return text;
}

Tmux::Tmux(int width, int height) : width_(width), height_(height) {
    // The socket lives in the temporary directory and goes with it.
    socket_ = dir_ / "tmux.socket";
    config_ = dir_ / "tmux.conf";
    WriteFile(config_, "set -g status off\nset -g history-limit 1000\nset -s escape-time 0\n");
    const ProcessResult result = Run({"new-session", "-d", "-s", "t", "-x", std::to_string(width), "-y",
                                      std::to_string(height), "env PS1='$ ' /bin/sh"});
    started_ = result.exitCode == 0;
    startError_ = result.err;
}

Tmux::~Tmux() { Run({"kill-server"}); }

ProcessResult Tmux::Run(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {TmuxProgram(), "-u", "-S", socket_, "-f", config_};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ProcessOptions options;
    options.unsetEnvironment = {"TMUX", "TMUX_PANE"};
    options.timeoutSeconds = 30;
    return RunProcess(argv, options);
}

void Tmux::Type(const std::string& text) { Run({"send-keys", "-t", "t", "-l", text}); }

void Tmux::Key(const std::string& key) { Run({"send-keys", "-t", "t", key}); }

void Tmux::Command(const std::string& line) {
    Type(line);
    Key("Enter");
}

void Tmux::Resize(int width, int height) {
    width_ = width;
    height_ = height;
    Run({"resize-window", "-t", "t", "-x", std::to_string(width), "-y", std::to_string(height)});
}

std::string Tmux::Format(const std::string& format) {
    std::string out = Run({"display-message", "-p", "-t", "t", format}).out;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

Screen Tmux::Capture(bool withAttributes) {
    std::vector<std::string> arguments = {"capture-pane", "-p", "-t", "t"};
    // With attributes, keep trailing blanks: their colour matters.
    if (withAttributes) arguments.insert(arguments.end(), {"-e", "-N"});
    Screen screen;
    screen.text = Run(arguments).out;
    size_t start = 0;
    while (start < screen.text.size()) {
        size_t end = screen.text.find('\n', start);
        if (end == std::string::npos) end = screen.text.size();
        screen.lines.push_back(LineCells(screen.text.substr(start, end - start), width_));
        start = end + 1;
    }
    return screen;
}

bool Tmux::PaintedWhiteOnBlue() {
    const std::string text = Capture(true).text;
    const bool set = text.rfind("\x1b[37m\x1b[44m", 0) == 0 || text.rfind("\x1b[37;44m", 0) == 0;
    return set && text.find("\x1b[0m") == std::string::npos && text.find("\x1b[m") == std::string::npos &&
           text.find("\x1b[49m") == std::string::npos && text.find("\x1b[39m") == std::string::npos;
}

bool Tmux::WaitFor(const std::function<bool(const Screen&)>& condition, Screen& screen) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
        screen = Capture();
        if (condition(screen)) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool Tmux::WaitForText(const std::string& text, Screen& screen) {
    return WaitFor([&](const Screen& s) { return s.Contains(text); }, screen);
}

std::string Tmux::Recorded(const std::string& command) const {
    return "stty -g > " + dir_ / "before" + "; " + command + "; echo EXIT:$?; stty -g > " + dir_ / "after";
}

void Tmux::ExpectTerminalRestored() {
    Screen screen;
    // The shell creates the file before stty writes into it.
    ASSERT_TRUE(WaitFor(
        [&](const Screen&) { return FileExists(dir_ / "after") && !ReadFile(dir_ / "after").empty(); }, screen));
    EXPECT_EQ(ReadFile(dir_ / "after"), ReadFile(dir_ / "before"));
    EXPECT_EQ(Format("#{alternate_on}"), "0");
}

void TerminalTest::SetUp() {
    if (TmuxProgram().empty()) GTEST_SKIP() << "tmux is not installed";
}

}  // namespace kestrel::test
