// The cells of the display as a grid, so that a frame is drawn by writing only
// the cells that differ from what the console already shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/terminal.h"

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
    // All cells blank, every cell in `attribute`.
    void Reset(int width, int height, uint16_t attribute);

    int width() const { return width_; }
    int height() const { return height_; }
    char32_t At(int row, int column) const { return cells_[Index(row, column)].text; }
    uint16_t AttributeAt(int row, int column) const { return cells_[Index(row, column)].attribute; }
    uint8_t FieldAt(int row, int column) const { return fields_[Index(row, column)]; }
    // The cells of one row as UTF-8.
    std::string RowText(int row) const;
    // All cells, row by row, as the platform draws them.
    const platform::ScreenCell* cells() const { return cells_.data(); }

    // Writes up to `limit` cells from (row, column); nothing beyond the right edge.
    void Put(int row, int column, const char32_t* cells, size_t count, int limit, uint8_t field);
    // The same for an ASCII text.
    void PutText(int row, int column, std::string_view text, int limit, uint8_t field);
    void Fill(int row, int column, int count, char32_t ch, uint8_t field);

    // The field of the first cell, in reading order, that differs from
    // `shown`; everything differs when `shown` is null or of another size.
    // False when nothing differs.
    bool FirstChange(const ScreenModel* shown, uint8_t& field) const;
    bool SameSize(const ScreenModel& other) const { return width_ == other.width_ && height_ == other.height_; }

    // Takes the cells of `other` (no allocation once the sizes have settled).
    void CopyFrom(const ScreenModel& other);

private:
    size_t Index(int row, int column) const {
        return static_cast<size_t>(row) * static_cast<size_t>(width_) + static_cast<size_t>(column);
    }
    void Set(size_t index, char32_t ch, uint8_t field) {
        cells_[index] = platform::ScreenCell{ch, attribute_};
        fields_[index] = field;
    }

    int width_ = 0;
    int height_ = 0;
    uint16_t attribute_ = 0;
    std::vector<platform::ScreenCell> cells_;
    std::vector<uint8_t> fields_;
};

}  // namespace kestrel
