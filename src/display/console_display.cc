#include "display/console_display.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>

#include "display/display_painter.h"
#include "display/display_text.h"
#include "platform/clock.h"
#include "platform/signals.h"
#include "platform/terminal.h"
#include "platform/thread.h"
#include "runtime/error_codes.h"
#include "runtime/messages.h"

namespace kestrel {

namespace {

constexpr int64_t kTicksPerMillisecond = platform::kTicksPerSecond / 1000;

// Guarded by the display lock.
DisplayRow* gHead = nullptr;
DisplayRow* gTail = nullptr;
uint32_t gRowCount = 0;
uint32_t gSucceeded = 0;
uint32_t gFailed = 0;
bool gStopRequested = false;

// Written by Start before the input thread exists.
ConsoleDisplay::AbortHandler gOnAbort = nullptr;
ConsoleDisplay::InterruptHandler gOnInterrupt = nullptr;
platform::SavedConsoleState gSavedModes;
bool gHaveSavedModes = false;
platform::ThreadHandle gThread;
// Stays open until the process ends: a resize callback may still be running
// on the signal thread when the display stops.
platform::WakeChannel gWake;
// Opened and closed by the input thread; ShowMainScreen may run on any thread.
platform::DisplayScreen gScreen;

std::atomic<bool> gResizePending{false};
std::atomic<bool> gScreenEntered{false};

void OnResize() {
    gResizePending.store(true);
    platform::Wake(gWake);
}

void LeaveScreenOnce() {
    if (!gScreenEntered.exchange(false)) return;
    platform::ShowMainScreen(gScreen);
}

void PostError(const char* format, int error) { PostMessageText(format, {{FormatI32, &error}}); }

void ReportScreenFailure(platform::ScreenStep step, int error) {
    switch (step) {
        case platform::ScreenStep::kCursorInfo:
            return PostError("Cannot get the cursor information, error {0}", error);
        case platform::ScreenStep::kScreenInfo:
            return PostError("Cannot get display information, error {0}", error);
        case platform::ScreenStep::kCreate:
            return PostError("Cannot create the display output buffer, error {0}", error);
        case platform::ScreenStep::kMode:
            return PostError("Cannot set the display mode, error {0}", error);
        case platform::ScreenStep::kAttributes:
            return PostError("Cannot set the display attributes, error {0}", error);
        case platform::ScreenStep::kCursor:
            return PostError("Cannot set the display cursor, error {0}", error);
        case platform::ScreenStep::kActivate:
            return PostError("Cannot set the console buffer, error {0}", error);
        case platform::ScreenStep::kSize:
            return PostError("Cannot set display information, error {0}", error);
    }
}

void ResizeScreen(void*, int width, int height) {
    platform::SizeDisplayScreen(gScreen, width, height, kDisplayAttribute, ReportScreenFailure);
}

bool DrawScreen(void*, const platform::ScreenCell* cells, const platform::ScreenCell* shown, int width, int height,
                int& error) {
    return platform::DrawScreenCells(gScreen, cells, shown, width, height, error);
}

bool TitleScreen(void*, const char* title, int& error) { return platform::SetDisplayTitle(gScreen, title, error); }

bool ScreenHidden(void*) { return platform::DisplayIsHidden(); }

constexpr PaintSurface kConsoleSurface = {nullptr, ResizeScreen, DrawScreen, TitleScreen, ScreenHidden};

void CopyCells(std::u32string& out, const char32_t* cells, uint32_t length, int width) {
    out.assign(cells, std::min<size_t>(length, static_cast<size_t>(width > 0 ? width : 0)));
}

uint64_t WholeSecondsSince(int64_t then, int64_t now) {
    return now > then ? static_cast<uint64_t>((now - then) / platform::kTicksPerSecond) : 0;
}

// The state the input thread draws from; it lives on that thread only.
class InputThread {
public:
    InputThread() : painter_(kConsoleSurface) {}
    void Run();

private:
    bool Begin();
    // False ends the loop: a failure (posted) or the screen given up.
    bool HandleInput();
    void HandleResize();
    static bool StopRequested();

    DisplayPainter painter_;
    // Standard input hung up, or reported input that was not there: stop
    // watching it for good, or until the next draw.
    bool inputGone_ = false;
    bool inputQuiet_ = false;
    int64_t nextDraw_ = 0;
};

void InputThread::Run() {
    if (!Begin()) return;
    for (;;) {
        if (gResizePending.exchange(false)) HandleResize();
        if (StopRequested()) break;
        const int64_t now = platform::MonotonicTicks();
        if (now >= nextDraw_) {
            painter_.Draw(now);
            nextDraw_ = now + platform::kTicksPerSecond;
            inputQuiet_ = false;
        }
        const int timeoutMs = static_cast<int>((nextDraw_ - now + kTicksPerMillisecond - 1) / kTicksPerMillisecond);
        int error = 0;
        bool failed = false;
        switch (platform::WaitForTerminal(gWake, !inputGone_ && !inputQuiet_, timeoutMs, error)) {
            case platform::TerminalWait::Failed:
                PostError("Cannot wait for a keystroke, error {0}", error);
                failed = true;
                break;
            case platform::TerminalWait::Input:
                failed = !HandleInput();
                break;
            case platform::TerminalWait::HungUp:
                inputGone_ = true;
                break;
            case platform::TerminalWait::Woken:
            case platform::TerminalWait::TimedOut:
                break;
        }
        if (failed) break;
    }
    LeaveScreenOnce();
    platform::CloseDisplayScreen(gScreen);
}

bool InputThread::Begin() {
    uint16_t width = 0, height = 0;
    gScreenEntered.store(true);
    if (!platform::OpenDisplayScreen(gScreen, kDisplayAttribute, width, height, ReportScreenFailure)) {
        gScreenEntered.store(false);
        return false;
    }
    painter_.LayOut(width, height);
    const int64_t now = platform::MonotonicTicks();
    painter_.Draw(now);
    nextDraw_ = now + platform::kTicksPerSecond;
    return true;
}

bool InputThread::HandleInput() {
    size_t pending = 0;
    int error = 0;
    if (!platform::PendingInput(pending, error)) {
        PostError("Cannot count pending keystrokes, error {0}", error);
        return false;
    }
    if (pending == 0) {
        inputQuiet_ = true;
        return true;
    }
    platform::ConsoleEvent events[16];
    size_t count = 0;
    bool ended = false;
    if (!platform::ReadConsoleEvents(events, std::min(pending, std::size(events)), count, ended, error)) {
        PostError("Cannot read a keystroke, error {0}", error);
        return false;
    }
    if (ended) inputGone_ = true;
    // Keys typed into a minimised window are dropped.
    if (platform::DisplayIsHidden()) count = 0;
    for (size_t i = 0; i < count; ++i) {
        switch (events[i].kind) {
            case platform::ConsoleEventKind::kBackspace:
                if (gOnAbort != nullptr) gOnAbort();
                break;
            case platform::ConsoleEventKind::kInterrupt:
                // The panic report must land on the user's own screen.
                ConsoleDisplay::RestoreTerminal();
                if (gOnInterrupt != nullptr) gOnInterrupt();
                // A handler that returns leaves the run going without a display.
                return false;
            case platform::ConsoleEventKind::kResize:
                painter_.ReportedSize(events[i].width, events[i].height, platform::MonotonicTicks());
                break;
        }
    }
    painter_.EndBatch();
    return true;
}

void InputThread::HandleResize() {
    uint16_t width = 0, height = 0;
    int error = 0;
    if (!platform::QueryDisplaySize(width, height, error)) {
        PostError("Cannot get display information, error {0}", error);
        return;
    }
    painter_.MeasuredSize(width, height, platform::MonotonicTicks());
}

bool InputThread::StopRequested() {
    std::lock_guard<std::mutex> hold(DisplayLock());
    return gStopRequested;
}

void InputThreadMain(void*) {
    InputThread thread;
    thread.Run();
}

// A start that cannot go on: the failure on standard error, the console as it was.
bool StartFailed(const char* format, int error) {
    std::fprintf(stderr, format, static_cast<unsigned long>(error));
    std::fflush(stderr);
    platform::ClearProgramIcon();
    platform::RestoreConsoleModes(gSavedModes);
    return false;
}

}  // namespace

bool ConsoleDisplay::Start(AbortHandler onAbort, const platform::SavedConsoleState* savedModes,
                           InterruptHandler onInterrupt) {
    {
        std::lock_guard<std::mutex> hold(DisplayLock());
        gSucceeded = gFailed = 0;
        gStopRequested = false;
    }
    if (!IsDisplayMode()) return true;
    if (savedModes == nullptr) {
        std::fprintf(stderr, "Cannot set the console mode for stdin, error %lu\n",
                     static_cast<unsigned long>(kErrorInvalidValue));
        return false;
    }
    gOnAbort = onAbort;
    gOnInterrupt = onInterrupt;
    gSavedModes = *savedModes;
    gHaveSavedModes = true;
    int error = 0;
    if (!platform::EnterRawMode(platform::ConsoleStream::kInput, *savedModes, error))
        return StartFailed("Cannot set the console mode for stdin, error %lu\n", error);
    if (!platform::EnterRawMode(platform::ConsoleStream::kOutput, *savedModes, error))
        return StartFailed("Cannot set the console mode for stdout, error %lu\n", error);
    if (!platform::EnterRawMode(platform::ConsoleStream::kError, *savedModes, error))
        return StartFailed("Cannot set the console mode for stderr, error %lu\n", error);
    // Without its icon the display works all the same.
    if (!platform::ShowProgramIcon(error)) PostError("The icon load failed, error {0}", error);
    if (!gWake.IsOpen() && !platform::OpenWakeChannel(gWake, error))
        return StartFailed("Cannot create the input receive thread, error %lu\n", error);
    // Nothing written earlier may land on the display screen.
    std::fflush(stdout);
    std::fflush(stderr);
    platform::SetResizeCallback(OnResize);
    if (!platform::StartThread(gThread, InputThreadMain, nullptr, error)) {
        platform::SetResizeCallback(nullptr);
        return StartFailed("Cannot create the input receive thread, error %lu\n", error);
    }
    return true;
}

DisplayRow* ConsoleDisplay::AddRow(const char* machine, const char* job) {
    if (!IsDisplayMode()) return nullptr;
    if (machine == nullptr) machine = "";
    if (job == nullptr) job = "";
    const size_t machineBytes = std::strlen(machine);
    const size_t jobBytes = std::strlen(job);
    const size_t machineCells = CellCount(machine, machineBytes);
    const size_t jobCells = CellCount(job, jobBytes);
    DisplayRow* row =
        static_cast<DisplayRow*>(std::malloc(sizeof(DisplayRow) + (machineCells + jobCells) * sizeof(char32_t)));
    if (row == nullptr) return nullptr;
    row->machine = reinterpret_cast<char32_t*>(row + 1);
    row->machineLength = static_cast<uint32_t>(DecodeCells(machine, machineBytes, row->machine));
    row->job = row->machine + machineCells;
    row->jobLength = static_cast<uint32_t>(DecodeCells(job, jobBytes, row->job));
    row->status = nullptr;
    row->statusLength = 0;
    // A row that never had a status stamped shows its age since creation.
    row->creationTime = row->statusTime = platform::MonotonicTicks();
    row->next = nullptr;
    std::lock_guard<std::mutex> hold(DisplayLock());
    row->previous = gTail;
    if (gTail != nullptr)
        gTail->next = row;
    else
        gHead = row;
    gTail = row;
    ++gRowCount;
    return row;
}

void ConsoleDisplay::SetStatus(DisplayRow* row, const char* text, bool stampTime) {
    if (!IsDisplayMode() || row == nullptr) return;
    char32_t* cells = nullptr;
    size_t count = 0;
    if (text != nullptr) {
        const size_t bytes = std::strlen(text);
        count = CellCount(text, bytes);
        cells = static_cast<char32_t*>(std::malloc(std::max<size_t>(count, 1) * sizeof(char32_t)));
        if (cells == nullptr) return;
        DecodeCells(text, bytes, cells);
    }
    const int64_t now = stampTime ? platform::MonotonicTicks() : 0;
    char32_t* old;
    {
        std::lock_guard<std::mutex> hold(DisplayLock());
        old = row->status;
        row->status = cells;
        row->statusLength = static_cast<uint32_t>(count);
        if (stampTime) row->statusTime = now;
    }
    std::free(old);
}

void ConsoleDisplay::RemoveRow(DisplayRow* row) {
    if (!IsDisplayMode() || row == nullptr) return;
    {
        std::lock_guard<std::mutex> hold(DisplayLock());
        if (row->previous != nullptr)
            row->previous->next = row->next;
        else
            gHead = row->next;
        if (row->next != nullptr)
            row->next->previous = row->previous;
        else
            gTail = row->previous;
        --gRowCount;
    }
    std::free(row->status);
    std::free(row);
}

void ConsoleDisplay::CountSucceeded() {
    std::lock_guard<std::mutex> hold(DisplayLock());
    ++gSucceeded;
}

void ConsoleDisplay::CountFailed() {
    std::lock_guard<std::mutex> hold(DisplayLock());
    ++gFailed;
}

DisplayCounters ConsoleDisplay::Counters() {
    std::lock_guard<std::mutex> hold(DisplayLock());
    return DisplayCounters{QueuedMessageCount(), gSucceeded, gFailed, gRowCount};
}

void ConsoleDisplay::CaptureFrame(const DisplayLayout& layout, int64_t now, DisplayFrame& frame) {
    std::lock_guard<std::mutex> hold(DisplayLock());
    frame.counters = DisplayCounters{QueuedMessageCount(), gSucceeded, gFailed, gRowCount};
    size_t index = 0;
    for (const DisplayRow* row = gHead; row != nullptr && index < frame.lines.size(); row = row->next, ++index) {
        JobLine& line = frame.lines[index];
        CopyCells(line.machine, row->machine, row->machineLength, layout.machineWidth);
        CopyCells(line.job, row->job, row->jobLength, layout.jobWidth);
        line.hasStatus = row->status != nullptr;
        CopyCells(line.status, row->status, line.hasStatus ? row->statusLength : 0, layout.statusWidth);
        line.elapsedSeconds = WholeSecondsSince(row->creationTime, now);
        line.statusSeconds = WholeSecondsSince(row->statusTime, now);
    }
    frame.lineCount = index;
}

void ConsoleDisplay::Stop() {
    // The window keeps its title but not the icon of a program that is gone.
    if (gHaveSavedModes) platform::ClearProgramIcon();
    if (!gThread.running) return;
    {
        std::lock_guard<std::mutex> hold(DisplayLock());
        gStopRequested = true;
    }
    platform::Wake(gWake);
    platform::JoinThread(gThread);
    platform::SetResizeCallback(nullptr);
    LeaveScreenOnce();
}

void ConsoleDisplay::RestoreTerminal() {
    LeaveScreenOnce();
    if (gHaveSavedModes) platform::RestoreConsoleModes(gSavedModes);
}

}  // namespace kestrel
