// Keeps the display screen in step with the job rows: lays the display out
// for a size, draws a frame about once a second writing only what changed,
// and decides what a new size of the console does to the display.
#pragma once

#include <cstdint>

#include "display/display_layout.h"
#include "display/display_render.h"
#include "display/screen_model.h"
#include "platform/terminal.h"

namespace kestrel {

// What the painter draws on: the platform's display screen in a run, a
// stand-in in tests. `context` is handed to every call.
struct PaintSurface {
    void* context;
    // A new size, blank in the display attribute.
    void (*resize)(void* context, int width, int height);
    // As platform::DrawScreenCells.
    bool (*draw)(void* context, const platform::ScreenCell* cells, const platform::ScreenCell* shown, int width,
                 int height, int& error);
    bool (*title)(void* context, const char* title, int& error);
    // The console's window is minimised: nothing is drawn.
    bool (*hidden)(void* context);
};

class DisplayPainter {
public:
    explicit DisplayPainter(const PaintSurface& surface) : surface_(surface) {}

    const DisplayLayout& layout() const { return layout_; }

    // Gives the screen this size and lays the display out for it; the next
    // draw writes every cell.
    void LayOut(int width, int height);

    // Draws the job rows and counters as they are at monotonic time `now`.
    // Failed writes are posted (the same failure once) and make the next
    // draw write every cell.
    void Draw(int64_t now);

    // A size measured on the console, which is always the current one: the
    // display is laid out again when it differs, and drawn.
    void MeasuredSize(int width, int height, int64_t now);

    // A size that the console reported among the input, where setting the
    // display screen's own size is reported too. The first new size of a
    // batch lays the display out again; any further size in that batch, or in
    // the batch right after it, only redraws: those are mostly the echo of
    // the display's own layout, and following them could resize back and
    // forth for ever.
    void ReportedSize(int width, int height, int64_t now);
    // Ends a batch of input read together.
    void EndBatch();

private:
    bool IsLaidOutFor(int width, int height) const;
    void ReportFailure(uint8_t field, int error);

    PaintSurface surface_;
    DisplayLayout layout_;
    DisplayFrame frame_;
    ScreenModel wanted_;
    ScreenModel shown_;
    bool shownKnown_ = false;
    bool titleSet_ = false;
    // The error of the last failed write; the same failure is posted once.
    int failingError_ = 0;
    int drawsSincePaint_ = 0;
    bool laidOutThisBatch_ = false;
    bool laidOutLastBatch_ = false;
};

}  // namespace kestrel
