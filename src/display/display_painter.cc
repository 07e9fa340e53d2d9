#include "display/display_painter.h"

#include <algorithm>

#include "display/console_display.h"
#include "runtime/messages.h"

namespace kestrel {

namespace {

// A console that reports more than this is drawn in its top-left corner only;
// it keeps the screen models to a sane size.
constexpr int kLargestDrawnSize = 1024;

// Every this many draws every cell is written again, in case something else
// wrote to the console (a child process, say) behind the display's back.
constexpr int kDrawsPerFullPaint = 10;

int Drawn(int size) { return std::clamp(size, 0, kLargestDrawnSize); }

}  // namespace

void DisplayPainter::LayOut(int width, int height) {
    layout_ = LayOutDisplay(Drawn(width), Drawn(height));
    surface_.resize(surface_.context, layout_.width, layout_.height);
    PrepareFrame(layout_, frame_);
    shownKnown_ = false;
}

void DisplayPainter::Draw(int64_t now) {
    if (surface_.hidden(surface_.context)) return;
    if (++drawsSincePaint_ >= kDrawsPerFullPaint) {
        drawsSincePaint_ = 0;
        shownKnown_ = false;
    }
    ConsoleDisplay::CaptureFrame(layout_, now, frame_);
    RenderFrame(layout_, frame_, wanted_);
    bool succeeded = true;
    int error = 0;
    // Below the minimum size the title stays what it was.
    if (!titleSet_ && layout_.Drawable()) {
        titleSet_ = surface_.title(surface_.context, kDisplayTitle, error);
        if (!titleSet_) {
            ReportFailure(kFieldTitle, error);
            succeeded = false;
        }
    }
    uint8_t field = kFieldFill;
    if (wanted_.FirstChange(shownKnown_ ? &shown_ : nullptr, field)) {
        const platform::ScreenCell* shown = shownKnown_ ? shown_.cells() : nullptr;
        if (surface_.draw(surface_.context, wanted_.cells(), shown, wanted_.width(), wanted_.height(), error)) {
            shown_.CopyFrom(wanted_);
            shownKnown_ = true;
        } else {
            // What the screen shows is unknown now: paint everything next time.
            shownKnown_ = false;
            ReportFailure(field, error);
            succeeded = false;
        }
    }
    if (succeeded) failingError_ = 0;
}

void DisplayPainter::ReportFailure(uint8_t field, int error) {
    if (error == failingError_) return;
    failingError_ = error;
    if (field == kFieldFill) {
        PostMessageText("Cannot fill console characters, error {0}", {{FormatI32, &error}});
    } else {
        const uint32_t number = field;
        PostMessageText("Cannot write console characters({1}), error {0}", {{FormatI32, &error}, {FormatU32, &number}});
    }
}

bool DisplayPainter::IsLaidOutFor(int width, int height) const {
    return Drawn(width) == layout_.width && Drawn(height) == layout_.height;
}

void DisplayPainter::MeasuredSize(int width, int height, int64_t now) {
    if (!IsLaidOutFor(width, height)) LayOut(width, height);
    Draw(now);
}

void DisplayPainter::ReportedSize(int width, int height, int64_t now) {
    if (!IsLaidOutFor(width, height) && !laidOutThisBatch_ && !laidOutLastBatch_) {
        LayOut(width, height);
        laidOutThisBatch_ = true;
    }
    Draw(now);
}

void DisplayPainter::EndBatch() {
    laidOutLastBatch_ = laidOutThisBatch_;
    laidOutThisBatch_ = false;
}

}  // namespace kestrel
