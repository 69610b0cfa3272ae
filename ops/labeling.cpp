#include "ops/labeling.h"

#include <cstdlib>

namespace ops {

ColumnGrid LabelGrid;

std::int32_t LabelPixel(int x, int y) {
    std::int32_t& cell = LabelGrid.at(x, y);
    const std::int32_t taken = cell;
    cell = kLabelValue;
    return taken < 0 ? -taken : taken;
}

void LabelReference(const RowView& picture) {
    if (picture.empty()) return;
    LabelGrid.Fit(picture.width, picture.height);
    for (int y = 0; y < picture.height; ++y) {
        const std::uint8_t* row = picture.row(y);
        for (int x = 0; x < picture.width; ++x) LabelGrid.at(x, y) = row[3 * x];
    }
    for (int y = 0; y < picture.height; ++y) {
        std::uint8_t* row = picture.row(y);
        for (int x = 0; x < picture.width; ++x) {
            for (int byte = 0; byte < 3; ++byte)
                row[3 * x + byte] = static_cast<std::uint8_t>(LabelPixel(x, y) & 0xFF);
        }
    }
}

// Blue passes through; green and red carry the mark.
void LabelRow(std::uint8_t* row, int width) {
    for (int x = 0; x < width; ++x) {
        row[3 * x + 1] = static_cast<std::uint8_t>(kLabelValue);
        row[3 * x + 2] = static_cast<std::uint8_t>(kLabelValue);
    }
}

void Label(const RowView& picture) {
    if (picture.empty()) return;
    for (int y = 0; y < picture.height; ++y) LabelRow(picture.row(y), picture.width);
}

}  // namespace ops
