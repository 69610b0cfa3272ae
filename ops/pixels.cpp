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
    int columns = std::max(width, columns_);
    int rows = std::max(height, rows_);
    const std::uint64_t needed = std::max<std::uint64_t>(std::uint64_t(width) * std::uint64_t(height),
                                                         std::uint64_t(kInitialColumns) * kInitialRows);
    if (std::uint64_t(columns) * std::uint64_t(rows) > 4 * needed) {
        columns = width;
        rows = height;
    }
    // Allocated before anything changes, so a failure leaves the grid whole.
    auto* cells = new std::int32_t[static_cast<std::size_t>(columns) * rows]();
    const int keptColumns = std::min(columns_, columns), keptRows = std::min(rows_, rows);
    for (int x = 0; x < keptColumns; ++x)
        std::copy_n(column(x), keptRows, cells + static_cast<std::ptrdiff_t>(x) * rows);
    delete[] cells_;
    cells_ = cells;
    columns_ = columns;
    rows_ = rows;
}

void ColumnGrid::Shrink() {
    if (columns_ == kInitialColumns && rows_ == kInitialRows) return;
    auto* cells = new std::int32_t[static_cast<std::size_t>(kInitialColumns) * kInitialRows]();
    const int keptColumns = std::min(columns_, kInitialColumns), keptRows = std::min(rows_, kInitialRows);
    for (int x = 0; x < keptColumns; ++x)
        std::copy_n(column(x), keptRows, cells + static_cast<std::ptrdiff_t>(x) * kInitialRows);
    delete[] cells_;
    cells_ = cells;
    columns_ = kInitialColumns;
    rows_ = kInitialRows;
}

}  // namespace ops
