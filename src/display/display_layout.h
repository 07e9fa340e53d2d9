// Where everything of the display goes for a given terminal size.
#pragma once

namespace kestrel {

// Below this size nothing is drawn; the display stays blank.
inline constexpr int kMinimumDisplayWidth = 50;
inline constexpr int kMinimumDisplayHeight = 5;

// Rows that are not job rows: title, two box edges, two counter lines.
inline constexpr int kFixedDisplayRows = 5;

// Width of the elapsed-time and status-age fields.
inline constexpr int kAgeFieldWidth = 7;

struct DisplayLayout {
    int width = 0;
    int height = 0;
    // The error and failed counters start here, the succeeded and in-progress
    // counters at the second column (unless their texts would overlap).
    int errorColumn = 0;
    int succeededColumn = 0;
    // Job row fields; all 0 when the display is 50 cells wide or less.
    int machineColumn = 0;
    int machineWidth = 0;
    int jobColumn = 0;
    int jobWidth = 0;
    int elapsedColumn = 0;
    int statusColumn = 0;
    int statusWidth = 0;
    int ageColumn = 0;

    bool Drawable() const { return width >= kMinimumDisplayWidth && height >= kMinimumDisplayHeight; }
    // Job rows inside the box.
    int JobRows() const { return Drawable() ? height - kFixedDisplayRows : 0; }
    bool HasJobFields() const { return width > kMinimumDisplayWidth; }
};

DisplayLayout LayOutDisplay(int width, int height);

// Columns of the two counter pairs for left texts (error, failed) of the given
// widths. The laid-out columns are used as long as nothing collides; otherwise
// the left pair moves clear of the backspace hint and the right pair clear of
// the longer left text, so that no counter text overwrites another.
struct CounterColumns {
    int left;
    int right;
};
CounterColumns PlaceCounters(const DisplayLayout& layout, int leftTextWidth);

}  // namespace kestrel
