#include "display/display_layout.h"

#include <algorithm>

namespace kestrel {

namespace {

// The hint occupies columns 1 to 34; a counter needs one blank after it.
constexpr int kFirstColumnAfterHint = 36;

}  // namespace

DisplayLayout LayOutDisplay(int width, int height) {
    DisplayLayout layout;
    layout.width = width;
    layout.height = height;
    const int c = (width - 35) / 3;
    layout.errorColumn = c + 27;
    layout.succeededColumn = 2 * c + 23;
    if (width > kMinimumDisplayWidth) {
        const int d = (width - 19) / 4;
        const int e = (width - 19) / 2;
        layout.machineColumn = 2;
        layout.machineWidth = d;
        layout.jobColumn = d + 2;
        layout.jobWidth = e;
        layout.elapsedColumn = e + d + 3;
        layout.statusColumn = e + d + 9;
        layout.statusWidth = d;
        layout.ageColumn = 2 * d + e + 10;
    }
    return layout;
}

CounterColumns PlaceCounters(const DisplayLayout& layout, int leftTextWidth) {
    CounterColumns columns;
    columns.left = std::max(layout.errorColumn, kFirstColumnAfterHint);
    columns.right = std::max(layout.succeededColumn, columns.left + leftTextWidth + 1);
    return columns;
}

}  // namespace kestrel
