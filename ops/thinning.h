// Thinning: a parallel thinning of the Zhang-Suen family, nine iterations of
// four directional sub-passes (north-west, north-east, south-west, south-east),
// always all 36 sub-passes, no early stop.
//
// A pixel is foreground when its blue byte is 0; no other byte is read. The
// neighbours, in clockwise order from the north-west:
//
//     P0 P1 P2        P0 = north-west  P1 = north  P2 = north-east
//     P7 .. P3        P7 = west                    P3 = east
//     P6 P5 P4        P6 = south-west  P5 = south  P4 = south-east
//
// A foreground pixel is deleted in a sub-pass when 2 <= (foreground
// neighbours) <= 6, exactly one background-to-foreground step is met going
// once around P0..P7,P0, and both products of the sub-pass are 0:
//
//     sub-pass 1  N*W*S and N*W*E       sub-pass 3  N*W*S and S*W*E
//     sub-pass 2  N*E*S and N*W*E       sub-pass 4  N*E*S and S*W*E
//
// Every decision of a sub-pass reads ReadBitmap as it stood when the sub-pass
// began; deletions write 255 to all three bytes of the pixel in WriteBitmap,
// and ReadBitmap becomes a copy of WriteBitmap when the sub-pass ends.
//
// Edge rule: rows 0 and H-1 and columns 0 and W-1 are never visited, so they
// never change; they are read as neighbours. Pictures narrower or lower than
// 3 pixels pass through unchanged.
#pragma once

#include "ops/pixels.h"

namespace ops {

inline constexpr int kThinningIterations = 9;

// Both views have the same size; WriteBitmap starts as a copy of ReadBitmap
// (the same bytes in every pixel). The result is left in both.

// The plain form: every sub-pass visits every inner pixel and reads its eight
// neighbours from ReadBitmap, then copies WriteBitmap into ReadBitmap.
void ThinReference(const RowView& ReadBitmap, const RowView& WriteBitmap);

// The same result: the foreground is packed into one bit stream, rows end
// to end (rounded up to whole words from 512 pixels across), and each
// sub-pass evaluates the rule on whole words with bitwise logic, skipping
// the words whose neighbourhood has not changed since the same sub-pass of
// the previous iteration (which then deleted nothing there and would not
// now). Working memory, whatever the shape: at most 2.4 W*H/8 bytes for
// the plane, its starting copy and the change bits, plus W/3 bytes and a
// few kilobytes. Since both pictures start equal, the deletions are written
// into both at the end instead of copying one picture over the other. The
// picture is read only once, into the plane, before anything is written, so
// the two views may be the same rows: a caller that holds the picture once
// (the many-pictures worker) passes it as both.
void Thin(const RowView& ReadBitmap, const RowView& WriteBitmap);

}  // namespace ops
