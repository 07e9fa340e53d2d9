// The display without a terminal: column arithmetic, one frame laid into the
// screen model, the escape output that updates a screen, and the job rows.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "display/console_display.h"
#include "display/display_layout.h"
#include "display/display_render.h"
#include "display/display_text.h"
#include "display/screen_model.h"
#include "platform/clock.h"
#include "platform/terminal_escapes.h"
#include "runtime/messages.h"

namespace kestrel {
namespace {

std::u32string Cells(const std::string& ascii) { return std::u32string(ascii.begin(), ascii.end()); }

std::string Repeat(const std::string& text, int count) {
    std::string result;
    for (int i = 0; i < count; ++i) result += text;
    return result;
}

// The cells of a screen row from `column` on, `count` of them, as UTF-8.
std::string Slice(const ScreenModel& screen, int row, int column, int count) {
    std::string text;
    for (int at = column; at < column + count && at < screen.width(); ++at) AppendUtf8(text, screen.At(row, at));
    return text;
}

bool AllBlank(const ScreenModel& screen) {
    for (int row = 0; row < screen.height(); ++row)
        for (int column = 0; column < screen.width(); ++column)
            if (screen.At(row, column) != U' ') return false;
    return true;
}

// A terminal that understands what the display emits: attribute changes,
// cursor moves and UTF-8 text, with wrap off. Anything else fails the test.
void ApplyOutput(const std::string& output, ScreenModel& screen) {
    int row = 0, column = 0;
    for (size_t at = 0; at < output.size();) {
        if (output[at] == '\x1b') {
            ASSERT_LT(at + 1, output.size());
            ASSERT_EQ(output[at + 1], '[');
            const size_t end = output.find_first_of("Hm", at + 2);
            ASSERT_NE(end, std::string::npos);
            if (output[end] == 'H') {
                const std::string numbers = output.substr(at + 2, end - at - 2);
                const size_t semicolon = numbers.find(';');
                ASSERT_NE(semicolon, std::string::npos);
                row = std::atoi(numbers.substr(0, semicolon).c_str()) - 1;
                column = std::atoi(numbers.substr(semicolon + 1).c_str()) - 1;
            }
            at = end + 1;
            continue;
        }
        const unsigned char lead = static_cast<unsigned char>(output[at]);
        const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t cell[1];
        ASSERT_EQ(DecodeCells(output.data() + at, length, cell), 1u);
        screen.Put(row, column, cell, 1, 1, kFieldFill);
        if (column < screen.width() - 1) ++column;
        at += length;
    }
}

TEST(DisplayLayout, SizeLimits) {
    // 50 cells wide still draws, but has no job fields.
    const DisplayLayout fifty = LayOutDisplay(50, 10);
    EXPECT_TRUE(fifty.Drawable());
    EXPECT_FALSE(fifty.HasJobFields());
    EXPECT_EQ(fifty.jobWidth, 0);
    EXPECT_EQ(fifty.ageColumn, 0);
    EXPECT_TRUE(LayOutDisplay(51, 10).HasJobFields());

    EXPECT_FALSE(LayOutDisplay(49, 24).Drawable());
    EXPECT_FALSE(LayOutDisplay(80, 4).Drawable());
    EXPECT_EQ(LayOutDisplay(80, 4).JobRows(), 0);
    EXPECT_EQ(LayOutDisplay(80, 5).JobRows(), 0);
    EXPECT_EQ(LayOutDisplay(120, 30).JobRows(), 25);
}

TEST(DisplayLayout, JobFieldsStayInsideTheBoxAtEveryWidth) {
    for (int width = 51; width <= 400; ++width) {
        const DisplayLayout layout = LayOutDisplay(width, 10);
        SCOPED_TRACE(width);
        EXPECT_GE(layout.jobColumn, layout.machineColumn + layout.machineWidth);
        EXPECT_GT(layout.elapsedColumn, layout.jobColumn + layout.jobWidth - 1);
        // The elapsed time has at most 6 digits, so its 7th cell may be shared.
        EXPECT_GE(layout.statusColumn, layout.elapsedColumn + kMaxAgeDigits);
        EXPECT_GE(layout.ageColumn, layout.statusColumn + layout.statusWidth);
        EXPECT_LE(layout.ageColumn + kAgeFieldWidth, width - 1);
    }
}

TEST(DisplayLayout, CounterTextsNeverOverlap) {
    // Wide enough: the laid-out columns.
    const DisplayLayout wide = LayOutDisplay(120, 30);
    const CounterColumns wideColumns = PlaceCounters(wide, 15);
    EXPECT_EQ(wideColumns.left, 55);
    EXPECT_EQ(wideColumns.right, 79);
    for (int width = 50; width <= 200; ++width) {
        SCOPED_TRACE(width);
        const CounterColumns columns = PlaceCounters(LayOutDisplay(width, 10), 15);
        EXPECT_GE(columns.left, 36);  // clear of the hint in columns 1 to 34
        EXPECT_GE(columns.right, columns.left + 16);
    }
}

DisplayFrame SampleFrame(const DisplayLayout& layout) {
    DisplayFrame frame;
    PrepareFrame(layout, frame);
    JobLine& first = frame.lines[0];
    first.machine = Cells("kv://builder").substr(0, static_cast<size_t>(layout.machineWidth));
    first.job = Cells("compile").substr(0, static_cast<size_t>(layout.jobWidth));
    first.hasStatus = true;
    first.status = Cells("Input transfer 12K");
    first.elapsedSeconds = 1234567;  // cut to its first six digits
    first.statusSeconds = 42;
    JobLine& second = frame.lines[1];
    second.machine = Cells("kv://other");
    second.job = Cells("link");
    second.hasStatus = false;
    second.elapsedSeconds = 7;
    second.statusSeconds = 99;
    frame.lineCount = 2;
    frame.counters = DisplayCounters{3, 2, 1, 41};
    return frame;
}

TEST(DisplayRender, WideFrameHasEveryFieldInItsColumn) {
    const DisplayLayout layout = LayOutDisplay(120, 30);
    const DisplayFrame frame = SampleFrame(layout);
    ScreenModel screen;
    RenderFrame(layout, frame, screen);

    EXPECT_EQ(screen.RowText(0), std::string(50, ' ') + kDisplayTitle + std::string(50, ' '));
    EXPECT_EQ(screen.RowText(1), "\u250C" + Repeat("\u2500", 118) + "\u2510");
    EXPECT_EQ(screen.RowText(27), "\u2514" + Repeat("\u2500", 118) + "\u2518");
    for (int row = 2; row <= 26; ++row) {
        EXPECT_EQ(Slice(screen, row, 0, 2), "\u2502 ") << row;
        EXPECT_EQ(Slice(screen, row, 119, 1), "\u2502") << row;
    }

    EXPECT_EQ(Slice(screen, 2, 2, 25), "kv://builder" + std::string(13, ' '));
    EXPECT_EQ(Slice(screen, 2, 27, 7), "compile");
    EXPECT_EQ(Slice(screen, 2, 77, 7), " 123456");
    EXPECT_EQ(Slice(screen, 2, 84, 19), "Input transfer 12K ");
    EXPECT_EQ(Slice(screen, 2, 109, 10), " 42       ");
    // Without a status: elapsed shown, blanks from the status column to the border.
    EXPECT_EQ(Slice(screen, 3, 78, 2), "7 ");
    EXPECT_EQ(Slice(screen, 3, 84, 35), std::string(35, ' '));
    // Rows without a job are empty inside the box.
    EXPECT_EQ(Slice(screen, 4, 1, 118), std::string(118, ' '));

    EXPECT_EQ(Slice(screen, 28, 0, 55), std::string(55, ' '));
    EXPECT_EQ(Slice(screen, 28, 55, 14), "Error Count: 3");
    EXPECT_EQ(Slice(screen, 28, 79, 41), "Succeeded Count: 2" + std::string(23, ' '));
    EXPECT_EQ(Slice(screen, 29, 0, 36), " Press backspace to abort the build ");
    EXPECT_EQ(Slice(screen, 29, 55, 15), "Failed Count: 1");
    EXPECT_EQ(Slice(screen, 29, 79, 41), "In Progress Count: 41" + std::string(20, ' '));
    EXPECT_EQ(screen.FieldAt(29, 79), kFieldInProgressCount);
    EXPECT_EQ(screen.FieldAt(2, 84), kFieldStatus);
}

TEST(DisplayRender, NarrowFramesKeepCountersReadable) {
    const DisplayLayout layout = LayOutDisplay(80, 24);
    DisplayFrame frame = SampleFrame(layout);
    frame.counters = DisplayCounters{12, 345, 6, 7};
    ScreenModel screen;
    RenderFrame(layout, frame, screen);
    const std::string counters = screen.RowText(22);
    const std::string hint = screen.RowText(23);
    EXPECT_NE(counters.find("Error Count: 12 "), std::string::npos) << counters;
    EXPECT_NE(counters.find(" Succeeded Count: 345"), std::string::npos) << counters;
    EXPECT_EQ(hint.find(" Press backspace to abort the build "), 0u) << hint;
    EXPECT_NE(hint.find(" Failed Count: 6 "), std::string::npos) << hint;
    EXPECT_NE(hint.find(" In Progress Count: 7"), std::string::npos) << hint;
    // Both pairs share their columns.
    EXPECT_EQ(counters.find("Error"), hint.find("Failed"));
    EXPECT_EQ(counters.find("Succeeded"), hint.find("In Progress"));

    // The job fields at 80 columns: d = 15, e = 30.
    EXPECT_EQ(Slice(screen, 2, 2, 15), "kv://builder   ");
    EXPECT_EQ(Slice(screen, 2, 17, 7), "compile");
    EXPECT_EQ(Slice(screen, 2, 48, 6), "123456");
    EXPECT_EQ(Slice(screen, 2, 54, 15), "Input transfer ");
    EXPECT_EQ(Slice(screen, 2, 70, 2), "42");

    // At 50 cells the box is drawn but job rows stay empty.
    const DisplayLayout fifty = LayOutDisplay(50, 8);
    ScreenModel small;
    RenderFrame(fifty, SampleFrame(fifty), small);
    EXPECT_EQ(Slice(small, 2, 0, 50), "\u2502" + std::string(48, ' ') + "\u2502");
    EXPECT_EQ(Slice(small, 7, 1, 34), kAbortHint);
}

TEST(DisplayRender, BelowTheMinimumEverythingIsBlank) {
    for (const auto& [width, height] : {std::pair{49, 24}, std::pair{80, 4}, std::pair{0, 0}}) {
        const DisplayLayout layout = LayOutDisplay(width, height);
        DisplayFrame frame;
        PrepareFrame(layout, frame);
        frame.counters = DisplayCounters{1, 2, 3, 4};
        ScreenModel screen;
        RenderFrame(layout, frame, screen);
        EXPECT_EQ(screen.width(), width);
        EXPECT_EQ(screen.height(), height);
        EXPECT_TRUE(AllBlank(screen)) << width << "x" << height;
    }
}

TEST(ScreenModelOutput, UpdatesTurnTheShownScreenIntoTheWantedOne) {
    const DisplayLayout layout = LayOutDisplay(90, 12);
    DisplayFrame frame = SampleFrame(layout);
    ScreenModel shown, wanted;
    RenderFrame(layout, frame, shown);
    const auto update = [&](const ScreenModel& to, const ScreenModel* from) {
        std::string output;
        platform::AppendScreenUpdate(output, to.cells(), from != nullptr ? from->cells() : nullptr, to.width(),
                                     to.height());
        return output;
    };

    uint8_t field = 0;
    EXPECT_FALSE(shown.FirstChange(&shown, field));
    EXPECT_TRUE(update(shown, &shown).empty());

    // A changed counter and a changed status: only those cells are written.
    frame.counters.failed = 17;
    frame.lines[0].status = Cells("Output transfer 9K");
    RenderFrame(layout, frame, wanted);
    ASSERT_TRUE(wanted.FirstChange(&shown, field));
    EXPECT_EQ(field, kFieldStatus);
    std::string output = update(wanted, &shown);
    EXPECT_EQ(output.find("kv://builder"), std::string::npos);
    EXPECT_EQ(output.find("Press backspace"), std::string::npos);
    EXPECT_NE(output.find("Output"), std::string::npos);
    ScreenModel applied;
    applied.CopyFrom(shown);
    ApplyOutput(output, applied);
    for (int row = 0; row < wanted.height(); ++row) EXPECT_EQ(applied.RowText(row), wanted.RowText(row)) << row;

    // An unknown screen is painted completely, starting with the attribute.
    ScreenModel blank;
    blank.Reset(90, 12, kDisplayAttribute);
    blank.Fill(5, 3, 20, U'x', kFieldFill);
    ASSERT_TRUE(wanted.FirstChange(nullptr, field));
    output = update(wanted, nullptr);
    EXPECT_EQ(output.rfind("\x1b[0;37;44m", 0), 0u);
    ApplyOutput(output, blank);
    for (int row = 0; row < wanted.height(); ++row) EXPECT_EQ(blank.RowText(row), wanted.RowText(row)) << row;
}

TEST(ScreenModelOutput, AttributesChangeWhereTheCellsDo) {
    // Bright yellow on red between two white-on-blue cells; a cell whose
    // attribute alone changed is written again.
    const platform::ScreenCell before[3] = {{U'a', 0x17}, {U'b', 0x17}, {U'c', 0x17}};
    const platform::ScreenCell after[3] = {{U'a', 0x17}, {U'b', 0x4E}, {U'\u2500', 0x17}};
    std::string output;
    platform::AppendScreenUpdate(output, after, before, 3, 1);
    EXPECT_EQ(output, "\x1b[0;93;41m\x1b[1;2Hb\x1b[0;37;44m\u2500");
}

TEST(DisplayText, JobTextsCannotControlTheTerminal) {
    const std::string text = "a\x1b[2Jb\tc\x7f\xC2\x9B" "d\xE4\xB8\xAD" "e\xCC\x81" "f\xFF" "g\u00e9";
    std::vector<char32_t> cells(CellCount(text.data(), text.size()));
    ASSERT_EQ(DecodeCells(text.data(), text.size(), cells.data()), cells.size());
    // ESC, DEL and the C1 CSI become '?', the tab a blank, the wide and the
    // combining character '?', the bad byte U+FFFD.
    EXPECT_EQ(std::u32string(cells.begin(), cells.end()), U"a?[2Jb c??d?e?f\uFFFDg\u00e9");
}

// Rows live in the display's list even while no terminal is attached.
class DisplayRows : public ::testing::Test {
protected:
    void SetUp() override { SetDisplayMode(true); }
    void TearDown() override {
        for (DisplayRow* row : rows_) ConsoleDisplay::RemoveRow(row);
        SetDisplayMode(false);
    }
    DisplayRow* Add(const std::string& machine, const std::string& job) {
        DisplayRow* row = ConsoleDisplay::AddRow(machine.c_str(), job.c_str());
        if (row != nullptr) rows_.push_back(row);
        return row;
    }
    void Remove(DisplayRow* row) {
        ConsoleDisplay::RemoveRow(row);
        std::erase(rows_, row);
    }
    std::vector<DisplayRow*> rows_;
};

TEST_F(DisplayRows, OnlyTheFirstRowsAreShownButAllAreCounted) {
    std::vector<DisplayRow*> added;
    for (int i = 0; i < 9; ++i) added.push_back(Add("kv://m" + std::to_string(i), "job" + std::to_string(i)));
    ConsoleDisplay::SetStatus(added[1], "first status", true);
    ConsoleDisplay::SetStatus(added[1], "second status, which is longer than the status field", false);
    ConsoleDisplay::SetStatus(added[3], "gone again", true);
    ConsoleDisplay::SetStatus(added[3], nullptr, false);
    Remove(added[0]);
    Remove(added[4]);
    Remove(added[8]);

    const DisplayLayout layout = LayOutDisplay(80, 10);  // five job rows
    DisplayFrame frame;
    PrepareFrame(layout, frame);
    ConsoleDisplay::CaptureFrame(layout, platform::MonotonicTicks(), frame);
    EXPECT_EQ(frame.counters.inProgress, 6u);
    ASSERT_EQ(frame.lineCount, 5u);
    const char* expected[] = {"job1", "job2", "job3", "job5", "job6"};
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(frame.lines[i].job, Cells(expected[i])) << i;
    EXPECT_TRUE(frame.lines[0].hasStatus);
    EXPECT_EQ(frame.lines[0].status, Cells("second status, which is longer than the status field").substr(0, 15));
    EXPECT_FALSE(frame.lines[1].hasStatus);
    EXPECT_FALSE(frame.lines[2].hasStatus);

    ScreenModel screen;
    RenderFrame(layout, frame, screen);
    EXPECT_NE(screen.RowText(9).find("In Progress Count: 6"), std::string::npos);
    for (int row = 0; row < screen.height(); ++row) EXPECT_EQ(screen.RowText(row).find("job7"), std::string::npos);
}

TEST(DisplayRowsPlainMode, NothingIsKept) {
    SetDisplayMode(false);
    EXPECT_EQ(ConsoleDisplay::AddRow("kv://m", "job"), nullptr);
    EXPECT_EQ(ConsoleDisplay::Counters().inProgress, 0u);
}

}  // namespace
}  // namespace kestrel
