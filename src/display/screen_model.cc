#include "display/screen_model.h"

#include "display/display_text.h"

namespace kestrel {

void ScreenModel::Reset(int width, int height, uint16_t attribute) {
    width_ = width > 0 ? width : 0;
    height_ = height > 0 ? height : 0;
    attribute_ = attribute;
    const size_t count = static_cast<size_t>(width_) * static_cast<size_t>(height_);
    cells_.assign(count, platform::ScreenCell{U' ', attribute});
    fields_.assign(count, kFieldFill);
}

std::string ScreenModel::RowText(int row) const {
    std::string text;
    for (int column = 0; column < width_; ++column) AppendUtf8(text, At(row, column));
    return text;
}

void ScreenModel::Put(int row, int column, const char32_t* cells, size_t count, int limit, uint8_t field) {
    if (row < 0 || row >= height_ || column < 0) return;
    for (size_t i = 0; i < count && static_cast<int>(i) < limit && column + static_cast<int>(i) < width_; ++i)
        Set(Index(row, column + static_cast<int>(i)), cells[i], field);
}

void ScreenModel::PutText(int row, int column, std::string_view text, int limit, uint8_t field) {
    if (row < 0 || row >= height_ || column < 0) return;
    for (size_t i = 0; i < text.size() && static_cast<int>(i) < limit && column + static_cast<int>(i) < width_; ++i)
        Set(Index(row, column + static_cast<int>(i)), static_cast<char32_t>(text[i]), field);
}

void ScreenModel::Fill(int row, int column, int count, char32_t ch, uint8_t field) {
    if (row < 0 || row >= height_) return;
    for (int i = column < 0 ? -column : 0; i < count && column + i < width_; ++i) Set(Index(row, column + i), ch, field);
}

bool ScreenModel::FirstChange(const ScreenModel* shown, uint8_t& field) const {
    const bool everything = shown == nullptr || !SameSize(*shown);
    for (size_t i = 0; i < cells_.size(); ++i) {
        if (everything || cells_[i] != shown->cells_[i]) {
            field = fields_[i];
            return true;
        }
    }
    return false;
}

void ScreenModel::CopyFrom(const ScreenModel& other) {
    width_ = other.width_;
    height_ = other.height_;
    attribute_ = other.attribute_;
    cells_.assign(other.cells_.begin(), other.cells_.end());
    fields_.assign(other.fields_.begin(), other.fields_.end());
}

}  // namespace kestrel
