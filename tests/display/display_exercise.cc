// Drives the full-screen display in a real terminal: rows, statuses, counters,
// messages and warnings, the way a build would. Backspace ends it (the abort
// of the build), Ctrl+C ends it with exit code 2 as a panic would. Run it by hand with --demo to watch it.
//
//   display_exercise [--rows N] [--long] [--messages] [--succeeded N]
//                    [--failed N] [--demo] [--seconds S]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include <unistd.h>

#include "client/direct_client.h"
#include "display/console_display.h"
#include "platform/console.h"
#include "platform/signals.h"
#include "runtime/messages.h"

namespace {

using kestrel::ConsoleDisplay;
using kestrel::DisplayRow;

struct Options {
    int rows = 0;
    bool longRow = false;
    bool messages = false;
    int succeeded = 0;
    int failed = 0;
    bool demo = false;
    int seconds = 0;  // 0: until backspace
};

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--rows") == 0 && hasValue) {
            options.rows = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--long") == 0) {
            options.longRow = true;
        } else if (std::strcmp(argv[i], "--messages") == 0) {
            options.messages = true;
        } else if (std::strcmp(argv[i], "--succeeded") == 0 && hasValue) {
            options.succeeded = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--failed") == 0 && hasValue) {
            options.failed = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--demo") == 0) {
            options.demo = true;
        } else if (std::strcmp(argv[i], "--seconds") == 0 && hasValue) {
            options.seconds = std::atoi(argv[++i]);
        } else {
            return false;
        }
    }
    return true;
}

std::string Numbered(const char* prefix, int number) {
    char text[64];
    std::snprintf(text, sizeof text, "%s%02d", prefix, number);
    return text;
}

// Ends like a panic (exit code 2) without writing report files wherever the
// shell happens to be.
void Interrupt() {
    static constexpr char kText[] = "panic: CTRL_C_EVENT\n";
    if (write(STDERR_FILENO, kText, sizeof kText - 1) < 0) _exit(2);
    _exit(2);
}

// Row NN: machine "kv://machine-NN", job "job-NN"; every third row has no status.
void AddNumberedRows(int count, std::deque<DisplayRow*>& rows) {
    for (int i = 0; i < count; ++i) {
        DisplayRow* row = ConsoleDisplay::AddRow(Numbered("kv://machine-", i).c_str(), Numbered("job-", i).c_str());
        if (i % 3 != 2) ConsoleDisplay::SetStatus(row, Numbered("step ", i).c_str(), true);
        rows.push_back(row);
    }
}

// Texts longer than any field, ending in markers that must never be seen.
void AddLongRow(std::deque<DisplayRow*>& rows) {
    const std::string filler(300, '=');
    DisplayRow* row =
        ConsoleDisplay::AddRow(("LONGMACHINE" + filler + "#END").c_str(), ("LONGJOB" + filler + "#END").c_str());
    ConsoleDisplay::SetStatus(row, ("LONGSTATUS" + filler + "#END").c_str(), true);
    rows.push_back(row);
}

// One step of the demonstration schedule, every half second.
void DemoStep(int tick, std::deque<DisplayRow*>& rows, int& nextJob) {
    if (tick % 4 == 0) {
        rows.push_back(ConsoleDisplay::AddRow(Numbered("kv://build-", nextJob % 7).c_str(),
                                              Numbered("compile-module-", nextJob).c_str()));
        ++nextJob;
    }
    if (!rows.empty()) {
        DisplayRow* row = rows[static_cast<size_t>(tick) % rows.size()];
        char status[48];
        std::snprintf(status, sizeof status, "Input transfer %dK", tick * 37 % 1000);
        ConsoleDisplay::SetStatus(row, status, tick % 3 == 0);
    }
    if (tick % 10 == 9 && !rows.empty()) {
        ConsoleDisplay::RemoveRow(rows.front());
        rows.pop_front();
        if (tick % 20 == 9) {
            ConsoleDisplay::CountSucceeded();
            kestrel::PostMessageText("The job {0} succeeded", {{kestrel::FormatU32, &tick}});
        } else {
            ConsoleDisplay::CountFailed();
            kestrel::PostMessageText("The job {0} failed", {{kestrel::FormatU32, &tick}});
        }
    }
    if (tick % 15 == 14) kestrel::PostWarningText("demonstration warning at tick {0}", {{kestrel::FormatU32, &tick}});
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: display_exercise [--rows N] [--long] [--messages] [--succeeded N] [--failed N] "
                             "[--demo] [--seconds S]\n");
        return 1;
    }
    kestrel::platform::SavedConsoleState saved;
    if (!kestrel::platform::DetectConsole(saved)) {
        std::fprintf(stderr, "display_exercise needs a terminal on all three streams\n");
        return 1;
    }
    kestrel::SetDisplayMode(true);
    if (!kestrel::platform::StartSignalThread(Interrupt)) return 1;
    static kestrel::DirectClient client;
    if (!ConsoleDisplay::Start([] { kestrel::Abort(client); }, &saved, Interrupt)) return 1;

    std::deque<DisplayRow*> rows;
    if (options.longRow) AddLongRow(rows);
    AddNumberedRows(options.rows, rows);
    for (int i = 0; i < options.succeeded; ++i) ConsoleDisplay::CountSucceeded();
    for (int i = 0; i < options.failed; ++i) ConsoleDisplay::CountFailed();
    if (options.messages) {
        kestrel::PostMessageText("message one");
        kestrel::PostWarningText("warning one");
        kestrel::PostMessageText("message two");
        kestrel::PostWarningText("warning two");
        kestrel::PostMessageText("message three");
    }

    const auto started = std::chrono::steady_clock::now();
    int tick = 0, nextJob = 0;
    while (!kestrel::IsAbortRequested(client)) {
        if (options.seconds > 0 && std::chrono::steady_clock::now() - started >= std::chrono::seconds(options.seconds))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(options.demo ? 500 : 50));
        if (options.demo) DemoStep(tick++, rows, nextJob);
    }

    ConsoleDisplay::Stop();
    {
        std::lock_guard<std::mutex> hold(kestrel::DisplayLock());
        kestrel::platform::RestoreConsoleModes(saved);
        kestrel::DrainQueuedMessages();
    }
    const kestrel::DisplayCounters counters = ConsoleDisplay::Counters();
    std::printf("in progress at the end: %u\n", counters.inProgress);
    std::printf("abort requested: %s\n", kestrel::IsAbortRequested(client) ? "yes" : "no");
    for (DisplayRow* row : rows) ConsoleDisplay::RemoveRow(row);
    return 0;
}
