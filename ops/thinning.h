// Thinning: a parallel thinning of the Zhang-Suen family, nine iterations of
// four directional sub-passes (north-west, north-east, south-west, south-east),
// always all 36 sub-passes, no early stop.
//
// Given ThinIterations (settings.h), N iterations (4 N sub-passes; none for
// N = 0), or, for full thinning, iterations until one (all four of its
// sub-passes) deletes no pixel: that iteration is the last, as every later
// one would see the same picture and delete nothing either.
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

#include <cstdint>
#include <vector>

#include "ops/pixels.h"
#include "ops/settings.h"

namespace ops {

// The iterations of the forms without settings.
inline constexpr int kThinningIterations = ThinIterations::kDefaultCount;

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

// Both forms with the iterations given. Each returns whether the last
// iteration it ran deleted a pixel: for full thinning never; for N
// iterations, true when the thinning may not be over (one more iteration
// would delete something, or nothing: it takes that iteration to know).
// Pictures under 3 pixels across or down and N = 0 run no iteration: false.
bool ThinReference(const RowView& ReadBitmap, const RowView& WriteBitmap, ThinIterations iterations);
bool Thin(const RowView& ReadBitmap, const RowView& WriteBitmap, ThinIterations iterations);

// The rows of a thinning stream: the foreground as bits, pixel x of a row
// bit x % 64 of word x / 64, ThinRowWords(width) words a row, the bits past
// the width 0.
using ThinWord = std::uint64_t;
inline int ThinRowWords(int width) { return (width + 63) / 64; }

// Packs a row of levels (`width` bytes, foreground where 0, as the blue
// byte is read) into bits.
void PackForegroundRow(const std::uint8_t* level, ThinWord* bits, int width);

// The same 36 sub-passes as a stream of rows, for a picture of a known size
// seen once from the top, each row going in as bits. The sub-passes run as
// a pipeline: sub-pass k makes its row r once sub-pass k-1 has made row
// r + 1. Reach: row y of the result is final once row y + 36 has gone in
// (or the last row, whose arrival finishes every row still open). Rows 0
// and H-1 and columns 0 and W-1 never change; pictures narrower or lower
// than 3 pass through unchanged, each row handed back as it goes in.
//
// Each sub-pass holds its last 3 rows of bits and, for its last 8 rows, a
// bit for each word it changed: 111 rows of bits in all, about 14 bytes a
// pixel of the width, whatever the height. A sub-pass after the first four skips the
// words whose neighbourhood none of the last four sub-passes changed: there
// the same sub-pass of the previous iteration saw the same bits and deleted
// nothing. No state outside the object.
//
// With N iterations (ThinRows(width, height, N)) the same with 4 N
// sub-passes: reach 4 N rows, 12 N + 3 rows of bits and 32 N rows of change
// bits held. N = 0 passes every row through as it goes in.
class ThinRows {
public:
    // Width and height in pixels, both > 0; nine iterations, or N (0 to
    // ThinIterations::kMaxCount).
    ThinRows(int width, int height);
    ThinRows(int width, int height, int iterations);

    // The next row of the picture: ThinRowWords(width) words. After each
    // Push, call Next until it returns nullptr.
    void Push(const ThinWord* row);

    // The next finished row (ThinRowWords(width) words, valid until the
    // next Push or Next), rows in order from 0; nullptr when none is.
    const ThinWord* Next();

    // Rows handed out by Next so far.
    int rowsOut() const { return out_; }

    // Whether the last iteration deleted a pixel of the row Next handed out
    // last (a row of a picture that passes through: never).
    bool lastIterationChanged() const { return lastChanged_; }

private:
    ThinWord* Row(int stage, int r) {
        return rows_.data() + static_cast<std::ptrdiff_t>(stage * 3 + r % 3) * (words_ + 2) + 1;
    }
    ThinWord* Changes(int pass, int r) {
        return changes_.data() + static_cast<std::ptrdiff_t>(pass * kChangeRows + r % kChangeRows) * (groups_ + 2) + 1;
    }
    void Step(int t);
    void SubPassRow(int pass, int r);

    static constexpr int kChangeRows = 8;  // a sub-pass reads the changes of rows up to 5 behind the newest

    int height_, words_, groups_;
    int lastStage_;  // 4 N
    bool passThrough_;
    int in_ = 0, steps_ = 0, out_ = 0;
    const ThinWord* ready_ = nullptr;
    bool readyChanged_ = false, lastChanged_ = false;
    std::vector<ThinWord> rows_;     // stages 0 (the input) to 4 N, three rows each, a zero word either side
    std::vector<ThinWord> changes_;  // sub-passes 0 to 4 N - 1, kChangeRows rows each, a zero word either side
    std::vector<ThinWord> active_;   // the words a sub-pass visits in its row, a zero word either side
    ThinWord firstMask_, lastMask_;  // the inner columns of the first and last word
};

}  // namespace ops
