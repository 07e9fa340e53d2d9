// One frame of the display: what is copied from the job rows and counters
// under the display lock, and how it is laid into the screen model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "display/display_layout.h"
#include "display/screen_model.h"

namespace kestrel {

inline constexpr char kDisplayTitle[] = "Kestrelvane 0.1.2024";
inline constexpr char kAbortHint[] = "Press backspace to abort the build";
// White on blue.
inline constexpr uint16_t kDisplayAttribute = 0x17;

// Ages are shown with at most this many digits.
inline constexpr int kMaxAgeDigits = 6;

struct DisplayCounters {
    uint32_t errors = 0;  // messages posted while the display is up
    uint32_t succeeded = 0;
    uint32_t failed = 0;
    uint32_t inProgress = 0;
};

// One job row as shown: texts already cut to their field widths.
struct JobLine {
    std::u32string machine;
    std::u32string job;
    std::u32string status;
    bool hasStatus = false;
    uint64_t elapsedSeconds = 0;
    uint64_t statusSeconds = 0;
};

struct DisplayFrame {
    // One entry per job row of the box, with room for each field, so that the
    // copy under the display lock never allocates.
    std::vector<JobLine> lines;
    size_t lineCount = 0;  // rows with a job; the rest of the box is blank
    DisplayCounters counters;
};

// Sizes `frame` for `layout`.
void PrepareFrame(const DisplayLayout& layout, DisplayFrame& frame);

// Lays out the whole display into `screen` (resized to the layout). Below the
// minimum size every cell is blank.
void RenderFrame(const DisplayLayout& layout, const DisplayFrame& frame, ScreenModel& screen);

}  // namespace kestrel
