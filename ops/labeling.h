// Labeling: every pixel is marked with the label value 1 in LabelGrid; the
// picture keeps each pixel's blue byte and gets green 1 and red 1. The marks
// are kept by the plain form; the fast form gives the same pixels alone.
//
// The fill copies each pixel's blue byte into its LabelGrid cell; the label
// pass then calls LabelPixel three times per pixel and writes the low 8 bits
// of the results into blue, green and red: the first call returns the stored
// blue byte and marks the cell, the next two return the mark.
//
// Edge rule: none; pixels on the border are treated like any other and no
// cell outside the picture is read or written.
#pragma once

#include <cstdint>

#include "ops/pixels.h"

namespace ops {

inline constexpr std::int32_t kLabelValue = 1;

// One cell per pixel, column by column; one instance for the whole program.
extern ColumnGrid LabelGrid;

// Takes the value of cell (x, y), sets the cell to the label value and
// returns the magnitude of the value taken.
std::int32_t LabelPixel(int x, int y);

// The plain form: the fill, then three LabelPixel calls per pixel.
void LabelReference(const RowView& picture);

// The same pixels, a row at a time, without LabelGrid: the grid is neither
// read nor written (only the plain form and LabelPixel keep it), so
// pictures on other threads share nothing.
void Label(const RowView& picture);

// One row of `width` 24-bit pixels, in place, as Label leaves it. Reach:
// none; a row depends on itself alone.
void LabelRow(std::uint8_t* row, int width);

}  // namespace ops
