// A row view over a picture of 24-bit pixels: three bytes per pixel in the
// order blue, green, red; row 0 at the top as displayed. The bytes per line
// come from the picture that owns the rows (rows may be padded), so a row is
// reached only through row(y), never by assuming 3 * width bytes per line.
// Operations touch only the first 3 * width bytes of each row.
#pragma once

#include <cstddef>
#include <cstdint>

// Marks a loop function to be compiled twice, for AVX2 and for any x86-64,
// the right one picked when the program starts. Elsewhere (other compilers,
// other processors, sanitizer builds) it marks nothing.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define OPS_WIDE_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define OPS_WIDE_CLONES
#endif

namespace ops {

struct RowView {
    std::uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    std::ptrdiff_t stride = 0;  // bytes from one row to the next

    std::uint8_t* row(int y) const { return data + static_cast<std::ptrdiff_t>(y) * stride; }
    bool empty() const { return width <= 0 || height <= 0 || data == nullptr; }
};

// A store of signed 32-bit cells addressed by column first, stored column by
// column: cell (x, y) sits at x * rows() + y. It starts as 640 x 480 zeros,
// grows to hold any picture it is fitted to (keeping every cell it already
// held at the same column and row) and is never cleared.
//
// Growing in both directions at once could cost far more than the picture:
// a 100000 x 1 picture and then a 1 x 100000 one would need 10^10 cells.
// When the grown store would exceed four times the cells of the picture (or
// of 640 x 480), it is laid out afresh for the picture alone; the cells it
// drops lie outside the picture, where no operation reads.
class ColumnGrid {
public:
    static constexpr int kInitialColumns = 640;
    static constexpr int kInitialRows = 480;

    ColumnGrid();

    // Makes sure columns 0..width-1 and rows 0..height-1 exist.
    void Fit(int width, int height);

    // Gives back what the grid grew to: it becomes 640 x 480 again, keeping
    // the cells it holds there (cells it never held there start as zeros).
    // No operation reads a cell outside the picture it works on before
    // writing it, so a process that runs the plain forms on many unrelated
    // pictures may call this between them and hold a large grid only while
    // a large picture needs it.
    void Shrink();

    int columns() const { return columns_; }
    int rows() const { return rows_; }
    std::int32_t* column(int x) { return cells_ + static_cast<std::ptrdiff_t>(x) * rows_; }
    std::int32_t& at(int x, int y) { return column(x)[y]; }
    std::int32_t at(int x, int y) const { return cells_[static_cast<std::ptrdiff_t>(x) * rows_ + y]; }

    ColumnGrid(const ColumnGrid&) = delete;
    ColumnGrid& operator=(const ColumnGrid&) = delete;
    ~ColumnGrid();

private:
    std::int32_t* cells_ = nullptr;
    int columns_ = 0;
    int rows_ = 0;
};

}  // namespace ops
