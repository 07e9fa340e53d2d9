// The display's reaction to sizes, failed writes and a minimised window, on a
// stand-in screen that keeps what was drawn on it: the same decisions as on a
// console, whose size events cannot be produced at will.

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "display/console_display.h"
#include "display/display_painter.h"
#include "display/display_text.h"
#include "platform/clock.h"
#include "runtime/messages.h"

namespace kestrel {
namespace {

using Size = std::pair<int, int>;

// A screen that applies what it is given and checks that the painter's idea
// of what it shows is right.
struct FakeScreen {
    int width = 0;
    int height = 0;
    std::vector<platform::ScreenCell> cells;
    std::vector<Size> resizes;
    int drawAttempts = 0;  // every Draw asks whether the window is hidden
    int fullPaints = 0;
    int titles = 0;
    bool hidden = false;
    int failWith = 0;  // a draw fails with this error while it is not 0
    bool shownMatched = true;

    std::string Row(int row) const {
        std::string text;
        for (int column = 0; column < width; ++column)
            AppendUtf8(text, cells[static_cast<size_t>(row * width + column)].text);
        return text;
    }
};

void FakeResize(void* context, int width, int height) {
    FakeScreen& screen = *static_cast<FakeScreen*>(context);
    screen.resizes.emplace_back(width, height);
    screen.width = width;
    screen.height = height;
    screen.cells.assign(static_cast<size_t>(width * height), platform::ScreenCell{U' ', kDisplayAttribute});
}

bool FakeDraw(void* context, const platform::ScreenCell* cells, const platform::ScreenCell* shown, int width,
              int height, int& error) {
    FakeScreen& screen = *static_cast<FakeScreen*>(context);
    if (width != screen.width || height != screen.height) {
        screen.shownMatched = false;
        return true;
    }
    if (screen.failWith != 0) {
        error = screen.failWith;
        return false;
    }
    if (shown == nullptr) ++screen.fullPaints;
    else if (!std::equal(shown, shown + width * height, screen.cells.begin())) screen.shownMatched = false;
    screen.cells.assign(cells, cells + width * height);
    return true;
}

bool FakeTitle(void* context, const char* title, int&) {
    EXPECT_STREQ(title, kDisplayTitle);
    ++static_cast<FakeScreen*>(context)->titles;
    return true;
}

bool FakeHidden(void* context) {
    FakeScreen& screen = *static_cast<FakeScreen*>(context);
    ++screen.drawAttempts;
    return screen.hidden;
}

class Painter : public ::testing::Test {
protected:
    void SetUp() override { SetDisplayMode(true); }
    void TearDown() override {
        EXPECT_TRUE(screen_.shownMatched);
        SetDisplayMode(false);
    }

    DisplayPainter Make(Size size) {
        DisplayPainter painter(PaintSurface{&screen_, FakeResize, FakeDraw, FakeTitle, FakeHidden});
        painter.LayOut(size.first, size.second);
        painter.Draw(platform::MonotonicTicks());
        return painter;
    }

    FakeScreen screen_;
};

TEST_F(Painter, ReportedSizesLayOutOnceAndSkipTheEchoOfTheirOwnLayout) {
    struct Case {
        const char* name;
        std::vector<std::vector<Size>> batches;
        Size shown;
        size_t layouts;  // after the first one
    };
    const Case cases[] = {
        {"a new size", {{{80, 24}}}, {80, 24}, 1},
        {"the current size", {{{120, 30}}}, {120, 30}, 0},
        {"two sizes in one batch", {{{80, 24}, {100, 12}}}, {80, 24}, 1},
        {"the batch right after a layout", {{{80, 24}}, {{100, 12}}}, {80, 24}, 1},
        {"a batch of keys in between", {{{80, 24}}, {}, {{100, 12}}}, {100, 12}, 2},
        {"shrinking below the minimum", {{{40, 10}}}, {40, 10}, 1},
        {"larger than is ever drawn", {{{3000, 40}}}, {1024, 40}, 1},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        screen_ = FakeScreen{};
        DisplayPainter painter = Make({120, 30});
        const int drawsBefore = screen_.drawAttempts;
        int reported = 0;
        for (const std::vector<Size>& batch : test.batches) {
            for (const Size& size : batch) {
                painter.ReportedSize(size.first, size.second, platform::MonotonicTicks());
                ++reported;
            }
            painter.EndBatch();
        }
        // Every reported size is drawn, laid out again or not.
        EXPECT_EQ(screen_.drawAttempts - drawsBefore, reported);
        EXPECT_EQ(screen_.resizes.size(), test.layouts + 1);
        EXPECT_EQ(Size(painter.layout().width, painter.layout().height), test.shown);
        EXPECT_EQ(Size(screen_.width, screen_.height), test.shown);
    }
}

TEST_F(Painter, MeasuredSizesAreAlwaysFollowed) {
    DisplayPainter painter = Make({120, 30});
    for (const Size& size : {Size{80, 24}, Size{100, 12}, Size{100, 12}, Size{120, 30}})
        painter.MeasuredSize(size.first, size.second, platform::MonotonicTicks());
    EXPECT_EQ(screen_.resizes, (std::vector<Size>{{120, 30}, {80, 24}, {100, 12}, {120, 30}}));
}

TEST_F(Painter, ANewSizeIsPaintedCompletelyAtItsOwnColumns) {
    DisplayPainter painter = Make({120, 30});
    EXPECT_EQ(screen_.Row(27).substr(0, 3), "\u2514");
    const int paintsBefore = screen_.fullPaints;
    painter.ReportedSize(80, 24, platform::MonotonicTicks());
    EXPECT_EQ(screen_.fullPaints, paintsBefore + 1);
    EXPECT_EQ(screen_.Row(0), std::string(30, ' ') + kDisplayTitle + std::string(30, ' '));
    EXPECT_EQ(screen_.Row(21).substr(0, 3), "\u2514");
    EXPECT_EQ(screen_.Row(21).substr(screen_.Row(21).size() - 3), "\u2518");
    EXPECT_EQ(screen_.Row(23).find(" Press backspace to abort the build "), 0u);
    // Later draws of an unchanged display write nothing more.
    painter.Draw(platform::MonotonicTicks());
    EXPECT_EQ(screen_.fullPaints, paintsBefore + 1);
}

TEST_F(Painter, TheTitleIsSetOnceTheDisplayIsDrawable) {
    DisplayPainter painter = Make({49, 24});
    painter.Draw(platform::MonotonicTicks());
    EXPECT_EQ(screen_.titles, 0);
    for (int row = 0; row < 24; ++row) EXPECT_EQ(screen_.Row(row), std::string(49, ' ')) << row;
    painter.ReportedSize(80, 24, platform::MonotonicTicks());
    painter.EndBatch();
    painter.Draw(platform::MonotonicTicks());
    EXPECT_EQ(screen_.titles, 1);
}

TEST_F(Painter, AMinimisedWindowGetsNothingUntilItIsBack) {
    DisplayPainter painter = Make({100, 20});
    screen_.hidden = true;
    ConsoleDisplay::CountSucceeded();
    painter.Draw(platform::MonotonicTicks());
    painter.ReportedSize(100, 20, platform::MonotonicTicks());
    EXPECT_EQ(screen_.Row(18).find("Succeeded Count: " + std::to_string(ConsoleDisplay::Counters().succeeded)),
              std::string::npos);
    screen_.hidden = false;
    painter.Draw(platform::MonotonicTicks());
    EXPECT_NE(screen_.Row(18).find("Succeeded Count: " + std::to_string(ConsoleDisplay::Counters().succeeded)),
              std::string::npos)
        << screen_.Row(18);
}

TEST_F(Painter, AFailedWriteIsPostedOnceAndEverythingIsPaintedAfterIt) {
    DisplayPainter painter = Make({100, 20});
    uint32_t messagesBefore;
    testing::internal::CaptureStdout();
    {
        std::lock_guard<std::mutex> hold(DisplayLock());
        messagesBefore = QueuedMessageCount();
        DrainQueuedMessages();
    }
    testing::internal::GetCapturedStdout();
    // The failed counter is the first cell that changes.
    ConsoleDisplay::CountFailed();
    screen_.failWith = 5;
    painter.Draw(platform::MonotonicTicks());
    painter.Draw(platform::MonotonicTicks());
    screen_.failWith = 0;
    const int paintsBefore = screen_.fullPaints;
    painter.Draw(platform::MonotonicTicks());
    EXPECT_EQ(screen_.fullPaints, paintsBefore + 1);

    testing::internal::CaptureStdout();
    {
        std::lock_guard<std::mutex> hold(DisplayLock());
        EXPECT_EQ(QueuedMessageCount(), messagesBefore + 1);
        DrainQueuedMessages();
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cannot write console characters(9), error 5\n");
}

}  // namespace
}  // namespace kestrel
