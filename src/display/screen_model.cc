#include "display/screen_model.h"

#include "display/display_text.h"
#include "platform/terminal.h"

namespace kestrel {

namespace {

// Unchanged cells between two changed runs are rewritten rather than skipped
// when that is shorter than a cursor move.
constexpr int kRewriteGap = 6;

}  // namespace

void ScreenModel::Reset(int width, int height) {
    width_ = width > 0 ? width : 0;
    height_ = height > 0 ? height : 0;
    cells_.assign(static_cast<size_t>(width_) * static_cast<size_t>(height_), Cell{U' ', kFieldFill});
}

std::string ScreenModel::RowText(int row) const {
    std::string text;
    for (int column = 0; column < width_; ++column) AppendUtf8(text, At(row, column));
    return text;
}

void ScreenModel::Put(int row, int column, const char32_t* cells, size_t count, int limit, uint8_t field) {
    if (row < 0 || row >= height_ || column < 0) return;
    for (size_t i = 0; i < count && static_cast<int>(i) < limit && column + static_cast<int>(i) < width_; ++i)
        cells_[Index(row, column + static_cast<int>(i))] = Cell{cells[i], field};
}

void ScreenModel::PutText(int row, int column, std::string_view text, int limit, uint8_t field) {
    if (row < 0 || row >= height_ || column < 0) return;
    for (size_t i = 0; i < text.size() && static_cast<int>(i) < limit && column + static_cast<int>(i) < width_; ++i)
        cells_[Index(row, column + static_cast<int>(i))] = Cell{static_cast<char32_t>(text[i]), field};
}

void ScreenModel::Fill(int row, int column, int count, char32_t ch, uint8_t field) {
    if (row < 0 || row >= height_) return;
    for (int i = column < 0 ? -column : 0; i < count && column + i < width_; ++i)
        cells_[Index(row, column + i)] = Cell{ch, field};
}

bool ScreenModel::AppendChanges(const ScreenModel& shown, bool shownKnown, uint16_t attribute, std::string& out,
                                uint8_t& firstField) const {
    const bool everything = !shownKnown || shown.width_ != width_ || shown.height_ != height_;
    bool any = false;
    for (int row = 0; row < height_; ++row) {
        int column = 0;
        while (column < width_) {
            const auto differs = [&](int at) {
                return everything || cells_[Index(row, at)].ch != shown.cells_[Index(row, at)].ch;
            };
            if (!differs(column)) {
                ++column;
                continue;
            }
            int last = column;
            for (int next = column + 1; next < width_ && next - last <= kRewriteGap; ++next)
                if (differs(next)) last = next;
            if (!any) {
                any = true;
                firstField = cells_[Index(row, column)].field;
                platform::AppendTextAttribute(out, attribute);
            }
            platform::AppendMoveTo(out, row, column);
            for (int at = column; at <= last; ++at) AppendUtf8(out, cells_[Index(row, at)].ch);
            column = last + 1;
        }
    }
    return any;
}

}  // namespace kestrel
