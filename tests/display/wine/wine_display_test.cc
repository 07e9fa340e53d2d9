// kestrel.exe of a Windows build under Wine, in a real terminal: the display
// on its own console screen buffer against a real agent, backspace, Ctrl+C,
// plain mode, and the console modes after the run. Wine draws the active
// screen buffer into the tmux pane; it does not repaint the console's own
// buffer when the display gives it back, so what follows the display is
// looked for anywhere on the pane, and the console modes are read by a
// Windows probe that runs kestrel.exe in the same console.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/agent_process.h"
#include "display/display_layout.h"
#include "display/tmux_session.h"

namespace kestrel::test {
namespace {

constexpr char kWine[] = KESTREL_WINE;
constexpr char kWineServer[] = KESTREL_WINESERVER;
constexpr char kPrefix[] = KESTREL_WINE_PREFIX;

// Wine keeps its server this many seconds after its last program ends: long
// enough to carry one test to the next, and no test has to stop it.
constexpr char kServerLinger[] = "-p30";

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

std::string WineEnvironment() {
    return std::string("WINEPREFIX=") + Quoted(kPrefix) + " WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='";
}

// A shell line that runs a Windows program under Wine.
std::string UnderWine(const std::string& program, const std::string& arguments) {
    return "env " + WineEnvironment() + " " + kWine + " " + Quoted(program) + " " + arguments;
}

// The program as a Windows path on the drive that Wine maps to the root.
std::string WindowsPath(const std::string& path) {
    std::string windows = "Z:" + path;
    for (char& c : windows)
        if (c == '/') c = '\\';
    return windows;
}

// The console modes the probe saw before and after the command.
struct ProbeReport {
    std::string before;
    std::string after;
};

ProbeReport ReadProbeReport(const std::string& path) {
    const std::string text = ReadFile(path);
    ProbeReport report;
    const size_t before = text.find("before ");
    const size_t after = text.find("after ");
    if (before == std::string::npos || after == std::string::npos) return report;
    report.before = text.substr(before + 7, text.find('\n', before) - before - 7);
    report.after = text.substr(after + 6, text.find('\n', after) - after - 6);
    return report;
}

// The pane's text with the lines that the terminal wrapped joined again. Wine
// leaves the cursor where the display had it on the console's own buffer, so
// what is printed after a run may wrap anywhere.
std::string PaneText(Tmux& tmux) { return tmux.Run({"capture-pane", "-p", "-J", "-t", "t"}).out; }

bool WaitForPaneText(Tmux& tmux, const std::string& text, Screen& screen) {
    return tmux.WaitFor([&](const Screen&) { return PaneText(tmux).find(text) != std::string::npos; }, screen);
}

class WineDisplay : public TerminalTest {
protected:
    // The first Wine program after a fresh server starts Wine's services,
    // which inherit its output: start them here with nothing to inherit.
    static void SetUpTestSuite() {
        const std::string environment = "export " + WineEnvironment() + "; ";
        ProcessOptions options;
        // A new prefix takes its time to be made.
        options.timeoutSeconds = 120;
        RunProcess({"/bin/sh", "-c",
                    environment + kWineServer + " " + kServerLinger + " </dev/null >/dev/null 2>&1; " + kWine +
                        " wineboot </dev/null >/dev/null 2>&1"},
                   options);
    }

    void SetUp() override {
        TerminalTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(FileExists(KESTREL_WINDOWS_CLIENT)) << KESTREL_WINDOWS_CLIENT;
    }

    // A script whose one job the agent holds for a while in its command.
    void WriteHeldJob(Tmux& tmux, const AgentProcess& agent) {
        WriteFile(tmux.dir() / "build.kv",
                  "machine slow\n    path\n        " + Url(agent) +
                      "\njob held\n    machine\n        slow\n    command break on error\n"
                      "        echo\n            waiting\n");
        tmux.Command("cd " + tmux.dir().path());
    }

    static std::string Url(const AgentProcess& agent) { return "kv://127.0.0.1:" + std::to_string(agent.port()); }

    // kestrel.exe run by the probe, which writes the console modes to modes.txt.
    static std::string ProbedClient(const std::string& arguments) {
        return UnderWine(CONSOLE_PROBE, "modes.txt " + Quoted(WindowsPath(KESTREL_WINDOWS_CLIENT)) + " " + arguments);
    }

    static std::string Client(const std::string& arguments) { return UnderWine(KESTREL_WINDOWS_CLIENT, arguments); }

    // Waits for the display of the held job and returns it.
    static Screen WaitForHeldJob(Tmux& tmux) {
        Screen screen;
        EXPECT_TRUE(tmux.WaitFor(
            [&](const Screen& s) {
                // The machine field may be filled to its end by the address.
                return s.Contains(kDisplayTitle) && s.Contains("In Progress Count: 1") && s.Contains("held ") &&
                       s.Contains(" echo");
            },
            screen))
            << screen.text;
        return screen;
    }

    // Wine gives the terminal its modes back once the last program of the
    // console is gone, which may be a moment after the shell went on.
    static void ExpectTerminalModesBack(Tmux& tmux) {
        const std::string terminal = tmux.Format("#{pane_tty}");
        Screen screen;
        ASSERT_TRUE(tmux.WaitFor([&](const Screen&) { return FileExists(tmux.dir() / "before"); }, screen));
        const std::string before = ReadFile(tmux.dir() / "before");
        std::string now;
        EXPECT_TRUE(tmux.WaitFor(
            [&](const Screen&) {
                now = RunProcess({"/bin/stty", "-F", terminal, "-g"}).out;
                return now == before;
            },
            screen))
            << now << " now, before " << before;
    }

    static void ExpectModesRestored(Tmux& tmux) {
        const ProbeReport report = ReadProbeReport(tmux.dir() / "modes.txt");
        EXPECT_FALSE(report.before.empty()) << ReadFile(tmux.dir() / "modes.txt");
        EXPECT_EQ(report.after, report.before);
    }
};

TEST_F(WineDisplay, ShowsTheRunOnItsOwnBufferAndBackspaceAbortsIt) {
    TempDir work;
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({"--work-dir", work / "agent", "--test-delay", "execute:8000"})) << agent.failure;
    Tmux tmux(100, 30);
    ASSERT_TRUE(tmux.started()) << tmux.startError();
    WriteHeldJob(tmux, agent);
    tmux.Command(tmux.Recorded(ProbedClient("--job held build.kv")));
    Screen screen = WaitForHeldJob(tmux);

    // The display is one column and one row smaller than the console's window.
    const DisplayLayout layout = LayOutDisplay(99, 29);
    EXPECT_EQ(screen.At(0, 99 / 2 - 10, 20), kDisplayTitle);
    EXPECT_EQ(screen.At(1, 0, 2), "\u250C\u2500");
    EXPECT_EQ(screen.At(1, 97, 2), "\u2500\u2510");
    EXPECT_EQ(screen.At(26, 0, 2), "\u2514\u2500");
    EXPECT_EQ(screen.At(26, 97, 2), "\u2500\u2518");
    for (int row = 2; row <= 25; ++row) {
        EXPECT_EQ(screen.At(row, 0, 1), "\u2502") << row;
        EXPECT_EQ(screen.At(row, 98, 1), "\u2502") << row;
    }
    // The job's row: its machine's first hop cut to the field, the job, the command.
    const std::string url = Url(agent);
    EXPECT_EQ(screen.At(2, layout.machineColumn, layout.machineWidth),
              url.substr(0, static_cast<size_t>(layout.machineWidth)));
    EXPECT_EQ(screen.At(2, layout.jobColumn, 5), "held ");
    EXPECT_EQ(screen.At(2, layout.statusColumn, 4), "echo");
    EXPECT_EQ(screen.At(3, 1, 97), std::string(97, ' '));

    const CounterColumns columns = PlaceCounters(layout, 15);
    EXPECT_EQ(screen.At(27, columns.left, 15), "Error Count: 0 ");
    EXPECT_EQ(screen.At(27, columns.right, 19), "Succeeded Count: 0 ");
    EXPECT_EQ(screen.At(28, 0, 36), " Press backspace to abort the build ");
    EXPECT_EQ(screen.At(28, columns.left, 16), "Failed Count: 0 ");
    EXPECT_EQ(screen.At(28, columns.right, 22), "In Progress Count: 1  ");
    EXPECT_EQ(tmux.Format("#{pane_title}"), kDisplayTitle);
    // White on blue.
    const std::string coloured = tmux.Capture(true).text;
    EXPECT_NE(coloured.find("44m"), std::string::npos) << coloured;

    tmux.Key("BSpace");
    ASSERT_TRUE(WaitForPaneText(tmux, "EXIT:0", screen)) << screen.text;
    EXPECT_NE(PaneText(tmux).find("At least one job failed"), std::string::npos) << screen.text;
    EXPECT_TRUE(FileExists(tmux.dir() / "build_log.xml"));
    ExpectModesRestored(tmux);
    ExpectTerminalModesBack(tmux);
}

TEST_F(WineDisplay, CtrlCWritesThePanicReportAndEndsWithExitCode2) {
    TempDir work;
    AgentProcess agent;
    ASSERT_TRUE(agent.Start({"--work-dir", work / "agent", "--test-delay", "execute:8000"})) << agent.failure;
    Tmux tmux(100, 30);
    ASSERT_TRUE(tmux.started()) << tmux.startError();
    WriteHeldJob(tmux, agent);
    tmux.Command(tmux.Recorded(Client("--job held build.kv")));
    Screen screen = WaitForHeldJob(tmux);

    tmux.Key("C-c");
    ASSERT_TRUE(WaitForPaneText(tmux, "EXIT:2", screen)) << screen.text;
    // The relaunch that packs the report runs on in the same console after
    // the run has ended.
    EXPECT_TRUE(WaitForPaneText(tmux, "It will not contain file contents.", screen)) << screen.text;
    EXPECT_TRUE(FileExists(tmux.dir() / "panic.bin"));
    EXPECT_NE(PaneText(tmux).find("Panicking..."), std::string::npos) << screen.text;
    EXPECT_FALSE(FileExists(tmux.dir() / "build_log.xml"));
    ExpectTerminalModesBack(tmux);
}

TEST_F(WineDisplay, RedirectedOrAutomatedRunsStayInPlainMode) {
    struct Case {
        const char* name;
        std::string line;
        bool onScreen;  // the message shows on the pane (else in out.txt)
    };
    const Case cases[] = {
        {"automated", Client("--automated missing.kv"), true},
        {"output redirected", Client("missing.kv") + " > out.txt", false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        Tmux tmux(100, 30);
        ASSERT_TRUE(tmux.started()) << tmux.startError();
        const std::string titleBefore = tmux.Format("#{pane_title}");
        tmux.Command("cd " + tmux.dir().path());
        tmux.Command(tmux.Recorded(test.line));
        Screen screen;
        ASSERT_TRUE(WaitForPaneText(tmux, "EXIT:1", screen)) << screen.text;
        if (test.onScreen)
            EXPECT_NE(PaneText(tmux).find("Cannot parse missing.kv"), std::string::npos) << screen.text;
        else
            EXPECT_NE(ReadFile(tmux.dir() / "out.txt").find("Cannot parse missing.kv"), std::string::npos);
        // No display buffer was ever shown.
        EXPECT_FALSE(screen.Contains("Press backspace"));
        EXPECT_EQ(tmux.Format("#{pane_title}"), titleBefore);
        ExpectTerminalModesBack(tmux);
    }

    // No terminal at all.
    const ProcessResult piped = RunProcess({"/bin/sh", "-c", Client("missing.kv") + " </dev/null"});
    EXPECT_EQ(piped.exitCode, 1);
    EXPECT_NE(piped.out.find("Cannot parse missing.kv"), std::string::npos) << piped.out << piped.err;
}

TEST_F(WineDisplay, AFailedRunInDisplayModeGivesTheConsoleBackAsItWas) {
    Tmux tmux(100, 30);
    ASSERT_TRUE(tmux.started()) << tmux.startError();
    tmux.Command("cd " + tmux.dir().path());
    tmux.Command(tmux.Recorded(ProbedClient("missing.kv")));
    Screen screen;
    ASSERT_TRUE(WaitForPaneText(tmux, "EXIT:1", screen)) << screen.text;
    // Posted while the display was up, printed once it was gone.
    EXPECT_NE(PaneText(tmux).find("Cannot parse missing.kv"), std::string::npos) << screen.text;
    EXPECT_EQ(tmux.Format("#{pane_title}"), kDisplayTitle);
    ExpectModesRestored(tmux);
    ExpectTerminalModesBack(tmux);
}

}  // namespace
}  // namespace kestrel::test
