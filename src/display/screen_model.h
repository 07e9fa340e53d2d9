// The cells of the display as a grid, so that a frame is drawn by writing only
// the cells that differ from what the terminal already shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// What each cell was drawn as part of, for naming a failed write: the job
// fields 0 to 4, the title 5, the counters and the hint 6 to 10; blanks and the
// box are fills.
enum DisplayField : uint8_t {
    kFieldMachine = 0,
    kFieldJob = 1,
    kFieldElapsed = 2,
    kFieldStatus = 3,
    kFieldAge = 4,
    kFieldTitle = 5,
    kFieldErrorCount = 6,
    kFieldSucceededCount = 7,
    kFieldHint = 8,
    kFieldFailedCount = 9,
    kFieldInProgressCount = 10,
    kFieldFill = 255,
};

class ScreenModel {
public:
    // All cells blank.
    void Reset(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    char32_t At(int row, int column) const { return cells_[Index(row, column)].ch; }
    uint8_t FieldAt(int row, int column) const { return cells_[Index(row, column)].field; }
    // The cells of one row as UTF-8.
    std::string RowText(int row) const;

    // Writes up to `limit` cells from (row, column); nothing beyond the right edge.
    void Put(int row, int column, const char32_t* cells, size_t count, int limit, uint8_t field);
    // The same for an ASCII text.
    void PutText(int row, int column, std::string_view text, int limit, uint8_t field);
    void Fill(int row, int column, int count, char32_t ch, uint8_t field);

    // Appends the output that turns the terminal from `shown` into this model:
    // the attribute, then runs of changed cells with cursor moves between them.
    // Everything counts as changed when `shown` is unknown or of another size.
    // Returns false when nothing changed; `firstField` names the first change.
    bool AppendChanges(const ScreenModel& shown, bool shownKnown, uint16_t attribute, std::string& out,
                       uint8_t& firstField) const;

    // Takes the cells of `other`, which has the same size (no allocation then).
    void CopyFrom(const ScreenModel& other) { cells_.assign(other.cells_.begin(), other.cells_.end()); }

private:
    struct Cell {
        char32_t ch;
        uint8_t field;
    };

    size_t Index(int row, int column) const {
        return static_cast<size_t>(row) * static_cast<size_t>(width_) + static_cast<size_t>(column);
    }

    int width_ = 0;
    int height_ = 0;
    std::vector<Cell> cells_;
};

}  // namespace kestrel
