#include "ops/pixels.h"

#include <cstdlib>
#include <new>

#include <algorithm>
#include <new>

namespace ops {

namespace {

// Cells that read as zero. calloc hands out a large block as pages that the
// system zeroes only when first touched, so a grid costs nothing until an
// operation writes to it: a program that never runs Filter or Labeling
// (workbench-batch --version, a worker) does not pay for two grids at
// start-up.
std::int32_t* ZeroCells(std::size_t count) {
    auto* cells = static_cast<std::int32_t*>(std::calloc(count, sizeof(std::int32_t)));
    if (cells == nullptr) throw std::bad_alloc();
    return cells;
}

}  // namespace

ColumnGrid::ColumnGrid()
    : cells_(ZeroCells(static_cast<std::size_t>(kInitialColumns) * kInitialRows)),
      columns_(kInitialColumns),
      rows_(kInitialRows) {}

ColumnGrid::~ColumnGrid() { std::free(cells_); }

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
    std::int32_t* cells = ZeroCells(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows));
    const int keptColumns = std::min(columns_, columns), keptRows = std::min(rows_, rows);
    for (int x = 0; x < keptColumns; ++x)
        std::copy_n(column(x), keptRows, cells + static_cast<std::ptrdiff_t>(x) * rows);
    std::free(cells_);
    cells_ = cells;
    columns_ = columns;
    rows_ = rows;
}

void ColumnGrid::Shrink() {
    if (columns_ == kInitialColumns && rows_ == kInitialRows) return;
    std::int32_t* cells = ZeroCells(static_cast<std::size_t>(kInitialColumns) * kInitialRows);
    const int keptColumns = std::min(columns_, kInitialColumns), keptRows = std::min(rows_, kInitialRows);
    for (int x = 0; x < keptColumns; ++x)
        std::copy_n(column(x), keptRows, cells + static_cast<std::ptrdiff_t>(x) * kInitialRows);
    std::free(cells_);
    cells_ = cells;
    columns_ = kInitialColumns;
    rows_ = kInitialRows;
}

}  // namespace ops
