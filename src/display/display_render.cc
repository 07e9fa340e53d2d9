#include "display/display_render.h"

#include <algorithm>
#include <cstring>

#include "runtime/format.h"

namespace kestrel {

namespace {

constexpr char32_t kHorizontal = U'\u2500';
constexpr char32_t kVertical = U'\u2502';
constexpr char32_t kTopLeft = U'\u250C';
constexpr char32_t kTopRight = U'\u2510';
constexpr char32_t kBottomLeft = U'\u2514';
constexpr char32_t kBottomRight = U'\u2518';

// A counter text such as "Error Count: 12" into `out`; returns its length.
int CounterText(char* out, uint32_t room, const char* format, uint32_t value) {
    const uint32_t size = FormatText(out, room, format, {{FormatU32, &value}});
    return static_cast<int>(std::min(size, room) - 1);
}

// Whole seconds in decimal, cut to their first six digits.
void PutAge(ScreenModel& screen, int row, int column, uint64_t seconds, uint8_t field) {
    char digits[24];
    FormatText(digits, sizeof digits, "{0}", {{FormatU64, &seconds}});
    screen.PutText(row, column, std::string_view(digits, std::min<size_t>(std::strlen(digits), kMaxAgeDigits)),
                   kAgeFieldWidth, field);
}

void RenderBox(const DisplayLayout& layout, ScreenModel& screen) {
    const int w = layout.width;
    const int bottom = layout.height - 3;
    screen.Fill(1, 0, 1, kTopLeft, kFieldFill);
    screen.Fill(1, 1, w - 2, kHorizontal, kFieldFill);
    screen.Fill(1, w - 1, 1, kTopRight, kFieldFill);
    screen.Fill(bottom, 0, 1, kBottomLeft, kFieldFill);
    screen.Fill(bottom, 1, w - 2, kHorizontal, kFieldFill);
    screen.Fill(bottom, w - 1, 1, kBottomRight, kFieldFill);
    for (int row = 2; row < bottom; ++row) {
        screen.Fill(row, 0, 1, kVertical, kFieldFill);
        screen.Fill(row, w - 1, 1, kVertical, kFieldFill);
    }
}

void RenderJobLine(const DisplayLayout& layout, const JobLine& line, int row, ScreenModel& screen) {
    if (!layout.HasJobFields()) return;
    const auto put = [&](const std::u32string& text, int column, int width, uint8_t field) {
        screen.Put(row, column, text.data(), text.size(), width, field);
    };
    put(line.machine, layout.machineColumn, layout.machineWidth, kFieldMachine);
    put(line.job, layout.jobColumn, layout.jobWidth, kFieldJob);
    PutAge(screen, row, layout.elapsedColumn, line.elapsedSeconds, kFieldElapsed);
    // Without a status everything from the status column on stays blank.
    if (!line.hasStatus) {
        screen.Fill(row, layout.statusColumn, layout.width - 1 - layout.statusColumn, U' ', kFieldFill);
        return;
    }
    screen.Fill(row, layout.statusColumn, layout.statusWidth, U' ', kFieldStatus);
    put(line.status, layout.statusColumn, layout.statusWidth, kFieldStatus);
    PutAge(screen, row, layout.ageColumn, line.statusSeconds, kFieldAge);
}

void RenderCounters(const DisplayLayout& layout, const DisplayCounters& counters, ScreenModel& screen) {
    char error[40], succeeded[40], failed[40], inProgress[40];
    const int errorLength = CounterText(error, sizeof error, "Error Count: {0}", counters.errors);
    const int succeededLength = CounterText(succeeded, sizeof succeeded, "Succeeded Count: {0}", counters.succeeded);
    const int failedLength = CounterText(failed, sizeof failed, "Failed Count: {0}", counters.failed);
    const int inProgressLength =
        CounterText(inProgress, sizeof inProgress, "In Progress Count: {0}  ", counters.inProgress);
    const CounterColumns columns = PlaceCounters(layout, std::max(errorLength, failedLength));
    const int w = layout.width;
    const int countersRow = layout.height - 2;
    const int hintRow = layout.height - 1;
    screen.PutText(countersRow, columns.left, std::string_view(error, errorLength), w, kFieldErrorCount);
    screen.PutText(countersRow, columns.right, std::string_view(succeeded, succeededLength), w, kFieldSucceededCount);
    screen.PutText(hintRow, 1, kAbortHint, std::min<int>(sizeof kAbortHint - 1, w), kFieldHint);
    screen.PutText(hintRow, columns.left, std::string_view(failed, failedLength), w, kFieldFailedCount);
    screen.PutText(hintRow, columns.right, std::string_view(inProgress, inProgressLength), w, kFieldInProgressCount);
}

}  // namespace

void PrepareFrame(const DisplayLayout& layout, DisplayFrame& frame) {
    frame.lines.resize(static_cast<size_t>(layout.JobRows()));
    for (JobLine& line : frame.lines) {
        line.machine.reserve(static_cast<size_t>(layout.machineWidth));
        line.job.reserve(static_cast<size_t>(layout.jobWidth));
        line.status.reserve(static_cast<size_t>(layout.statusWidth));
    }
    frame.lineCount = 0;
}

void RenderFrame(const DisplayLayout& layout, const DisplayFrame& frame, ScreenModel& screen) {
    screen.Reset(layout.width, layout.height, kDisplayAttribute);
    if (!layout.Drawable()) return;
    const int titleLength = std::min<int>(sizeof kDisplayTitle - 1, layout.width);
    screen.PutText(0, layout.width / 2 - titleLength / 2, kDisplayTitle, titleLength, kFieldTitle);
    RenderBox(layout, screen);
    const size_t shown = std::min(frame.lineCount, static_cast<size_t>(layout.JobRows()));
    for (size_t i = 0; i < shown; ++i) RenderJobLine(layout, frame.lines[i], 2 + static_cast<int>(i), screen);
    RenderCounters(layout, frame.counters, screen);
}

}  // namespace kestrel
