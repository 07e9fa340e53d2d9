#include "display/console_display.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "client/direct_client.h"
#include "display/display_text.h"
#include "display/screen_model.h"
#include "platform/clock.h"
#include "platform/signals.h"
#include "platform/terminal.h"
#include "platform/thread.h"
#include "runtime/error_codes.h"
#include "runtime/messages.h"

namespace kestrel {

namespace {

// A terminal that reports more than this is drawn in its top-left corner only;
// it keeps the screen models to a sane size.
constexpr int kLargestDrawnSize = 1024;

constexpr int64_t kTicksPerMillisecond = platform::kTicksPerSecond / 1000;

// Every this many draws every cell is written again, in case something else
// wrote to the terminal (a child process, say) behind the display's back.
constexpr int kDrawsPerFullPaint = 10;

// Guarded by the display lock.
DisplayRow* gHead = nullptr;
DisplayRow* gTail = nullptr;
uint32_t gRowCount = 0;
uint32_t gSucceeded = 0;
uint32_t gFailed = 0;
bool gStopRequested = false;

// Written by Start before the input thread exists.
DirectClient* gClient = nullptr;
ConsoleDisplay::InterruptHandler gOnInterrupt = nullptr;
platform::SavedConsoleState gSavedModes;
bool gHaveSavedModes = false;
platform::ThreadHandle gThread;
// Stays open until the process ends: a resize callback may still be running
// on the signal thread when the display stops.
platform::WakeChannel gWake;

std::atomic<bool> gResizePending{false};
std::atomic<bool> gScreenEntered{false};

void OnResize() {
    gResizePending.store(true);
    platform::Wake(gWake);
}

void LeaveScreenOnce() {
    if (!gScreenEntered.exchange(false)) return;
    int ignored = 0;
    platform::LeaveDisplayScreen(ignored);
}

void PostError(const char* format, int error) { PostMessageText(format, {{FormatI32, &error}}); }

void CopyCells(std::u32string& out, const char32_t* cells, uint32_t length, int width) {
    out.assign(cells, std::min<size_t>(length, static_cast<size_t>(width > 0 ? width : 0)));
}

uint64_t WholeSecondsSince(int64_t then, int64_t now) {
    return now > then ? static_cast<uint64_t>((now - then) / platform::kTicksPerSecond) : 0;
}

// The state the input thread draws from; it lives on that thread only.
class InputThread {
public:
    void Run();

private:
    bool Begin();
    void LayOut(int width, int height);
    void Draw(int64_t now);
    // False ends the loop: a failure (posted) or the screen given up.
    bool HandleInput();
    void HandleResize();
    static bool StopRequested();

    DisplayLayout layout_;
    DisplayFrame frame_;
    ScreenModel wanted_;
    ScreenModel shown_;
    bool shownKnown_ = false;
    bool titleSet_ = false;
    std::string output_;
    // The error of the last failed write; the same failure is posted once.
    int failingError_ = 0;
    // Standard input hung up, or reported input that was not there: stop
    // watching it for good, or until the next draw.
    bool inputGone_ = false;
    bool inputQuiet_ = false;
    int64_t nextDraw_ = 0;
    int drawsSincePaint_ = 0;
};

void InputThread::Run() {
    if (!Begin()) return;
    for (;;) {
        if (gResizePending.exchange(false)) HandleResize();
        if (StopRequested()) break;
        const int64_t now = platform::MonotonicTicks();
        if (now >= nextDraw_) {
            Draw(now);
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
}

bool InputThread::Begin() {
    uint16_t width = 0, height = 0;
    int error = 0;
    if (!platform::QueryTerminalSize(width, height, error))
        PostError("Cannot get display information, error {0}", error);
    gScreenEntered.store(true);
    if (!platform::EnterDisplayScreen(error)) {
        PostError("Cannot set the console buffer, error {0}", error);
        LeaveScreenOnce();
        return false;
    }
    LayOut(width, height);
    const int64_t now = platform::MonotonicTicks();
    Draw(now);
    nextDraw_ = now + platform::kTicksPerSecond;
    return true;
}

void InputThread::LayOut(int width, int height) {
    layout_ = LayOutDisplay(std::min(width, kLargestDrawnSize), std::min(height, kLargestDrawnSize));
    PrepareFrame(layout_, frame_);
    // A new size paints every cell again.
    shownKnown_ = false;
}

void InputThread::Draw(int64_t now) {
    if (++drawsSincePaint_ >= kDrawsPerFullPaint) {
        drawsSincePaint_ = 0;
        shownKnown_ = false;
    }
    ConsoleDisplay::CaptureFrame(layout_, now, frame_);
    RenderFrame(layout_, frame_, wanted_);
    output_.clear();
    uint8_t field = kFieldFill;
    const bool titling = !titleSet_ && layout_.Drawable();
    if (titling) {
        platform::AppendWindowTitle(output_, kDisplayTitle);
        field = kFieldTitle;
    }
    uint8_t firstChange = kFieldFill;
    if (wanted_.AppendChanges(shown_, shownKnown_, kDisplayAttribute, output_, firstChange) && !titling)
        field = firstChange;
    if (output_.empty()) return;
    int error = 0;
    if (!platform::WriteToTerminal(output_.data(), output_.size(), error)) {
        // What the terminal shows is unknown now: paint everything next time.
        shownKnown_ = false;
        if (error != failingError_) {
            failingError_ = error;
            if (field == kFieldFill) {
                PostError("Cannot fill console characters, error {0}", error);
            } else {
                const uint32_t number = field;
                PostMessageText("Cannot write console characters({1}), error {0}",
                                {{FormatI32, &error}, {FormatU32, &number}});
            }
        }
        return;
    }
    failingError_ = 0;
    titleSet_ = titleSet_ || titling;
    shown_ = wanted_;
    shownKnown_ = true;
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
    unsigned char keys[16];
    size_t count = 0;
    if (!platform::ReadInput(keys, std::min(pending, sizeof keys), count, error)) {
        PostError("Cannot read a keystroke, error {0}", error);
        return false;
    }
    if (count == 0) inputGone_ = true;
    for (size_t i = 0; i < count; ++i) {
        // Raw input: backspace arrives as DEL or BS, Ctrl+C as ETX.
        if (keys[i] == 0x7F || keys[i] == 0x08) {
            if (gClient != nullptr) Abort(*gClient);
        } else if (keys[i] == 0x03) {
            // The panic report must land on the user's own screen.
            ConsoleDisplay::RestoreTerminal();
            if (gOnInterrupt != nullptr) gOnInterrupt();
            // A handler that returns leaves the run going without a display.
            return false;
        }
    }
    return true;
}

void InputThread::HandleResize() {
    uint16_t width = 0, height = 0;
    int error = 0;
    if (!platform::QueryTerminalSize(width, height, error)) {
        PostError("Cannot get display information, error {0}", error);
        return;
    }
    if (std::min<int>(width, kLargestDrawnSize) != layout_.width ||
        std::min<int>(height, kLargestDrawnSize) != layout_.height)
        LayOut(width, height);
    Draw(platform::MonotonicTicks());
}

bool InputThread::StopRequested() {
    std::lock_guard<std::mutex> hold(DisplayLock());
    return gStopRequested;
}

void InputThreadMain(void*) {
    InputThread thread;
    thread.Run();
}

void PrintStartFailure(const char* format, int error) {
    std::fprintf(stderr, format, static_cast<unsigned long>(error));
    std::fflush(stderr);
}

}  // namespace

bool ConsoleDisplay::Start(DirectClient* client, const platform::SavedConsoleState* savedModes,
                           InterruptHandler onInterrupt) {
    {
        std::lock_guard<std::mutex> hold(DisplayLock());
        gSucceeded = gFailed = 0;
        gStopRequested = false;
    }
    if (!IsDisplayMode()) return true;
    if (savedModes == nullptr) {
        PrintStartFailure("Cannot set the console mode for stdin, error %lu\n", kErrorInvalidValue);
        return false;
    }
    gClient = client;
    gOnInterrupt = onInterrupt;
    gSavedModes = *savedModes;
    gHaveSavedModes = true;
    int error = 0;
    if (!platform::EnterRawMode(platform::ConsoleStream::kInput, *savedModes, error)) {
        PrintStartFailure("Cannot set the console mode for stdin, error %lu\n", error);
        platform::RestoreConsoleModes(gSavedModes);
        return false;
    }
    if (!platform::EnterRawMode(platform::ConsoleStream::kOutput, *savedModes, error)) {
        PrintStartFailure("Cannot set the console mode for stdout, error %lu\n", error);
        platform::RestoreConsoleModes(gSavedModes);
        return false;
    }
    if (!platform::EnterRawMode(platform::ConsoleStream::kError, *savedModes, error)) {
        PrintStartFailure("Cannot set the console mode for stderr, error %lu\n", error);
        platform::RestoreConsoleModes(gSavedModes);
        return false;
    }
    if (!gWake.IsOpen() && !platform::OpenWakeChannel(gWake, error)) {
        PrintStartFailure("Cannot create the input receive thread, error %lu\n", error);
        platform::RestoreConsoleModes(gSavedModes);
        return false;
    }
    // Nothing written earlier may land on the display screen.
    std::fflush(stdout);
    std::fflush(stderr);
    platform::SetResizeCallback(OnResize);
    if (!platform::StartThread(gThread, InputThreadMain, nullptr, error)) {
        platform::SetResizeCallback(nullptr);
        PrintStartFailure("Cannot create the input receive thread, error %lu\n", error);
        platform::RestoreConsoleModes(gSavedModes);
        return false;
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
