#include "ops/pixels.h"

#include <algorithm>
#include <new>

namespace ops {

ColumnGrid::ColumnGrid()
    : cells_(new std::int32_t[static_cast<std::size_t>(kInitialColumns) * kInitialRows]()),
      columns_(kInitialColumns),
      rows_(kInitialRows) {}

ColumnGrid::~ColumnGrid() { delete[] cells_; }

void ColumnGrid::Fit(int width, int height) {
    if (width <= columns_ && height <= rows_) return;
    const int columns = std::max(width, columns_);
    const int rows = std::max(height, rows_);
    // Allocated before anything changes, so a failure leaves the grid whole.
    auto* cells = new std::int32_t[static_cast<std::size_t>(columns) * rows]();
    for (int x = 0; x < columns_; ++x)
        std::copy_n(column(x), rows_, cells + static_cast<std::ptrdiff_t>(x) * rows);
    delete[] cells_;
    cells_ = cells;
    columns_ = columns;
    rows_ = rows;
}

}  // namespace ops
