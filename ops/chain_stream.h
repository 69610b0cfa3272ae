// The chain as a stream of rows: filter, binarize, thin and label in one
// pass down the picture, each step holding only the rows its reach needs.
//
// Rows go in top to bottom, 24-bit (blue, green, red; only the blue byte is
// read, as Filter reads it). Each kept stage hands out its rows top to
// bottom, 24-bit, byte for byte the rows the whole-picture operations leave
// in memory after that stage (Filter, Binarize, Thin, Label run one after
// the other on the same picture).
//
// Reach, in rows, of each step (how far below a row the input must have
// reached before that row of the step is final):
//   filter    5  (five passes of a 3 x 3 median, edge replicated)
//   binarize  0
//   thin     36  (nine iterations of four sub-passes, one row each)
//   label     0
// so a row of C or D is final kChainReach rows after it went in; the last
// rows come out when the last row has gone in.
//
// Memory follows the width, not the height: a few rows of bytes for the
// filter and about 3 rows of bits per thinning sub-pass, whatever the
// height.
//
// The stream is pure: no program-wide state, so streams on other threads
// share nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "ops/stage.h"

namespace ops {

inline constexpr int kFilterReach = 5;
inline constexpr int kThinReach = 36;
inline constexpr int kChainReach = kFilterReach + kThinReach;

// Takes row y of a stage: 3 * width bytes, valid only during the call.
using StageRowSink = std::function<void(Stage stage, int y, const std::uint8_t* row)>;

class ChainStream {
public:
    // A picture of width x height pixels (both > 0). Stages in `kept` (not
    // empty) are handed to sink; the chain runs up to the
    // last of them and no further. Exceptions from sink pass through Push
    // and Finish unchanged, and the stream is then not used again.
    ChainStream(int width, int height, StageSet kept, StageRowSink sink);
    ~ChainStream();
    ChainStream(const ChainStream&) = delete;
    ChainStream& operator=(const ChainStream&) = delete;

    // The next row of the picture: 3 * width bytes.
    void Push(const std::uint8_t* row);
    // The same row given as its blue bytes alone (width bytes): the chain
    // reads nothing else of a pixel.
    void PushBlue(const std::uint8_t* blue);

    // After the last row has gone in (exactly height rows): every kept
    // stage has then handed out every row. (The last row's Push already
    // hands out the rows still held; Finish checks that it was the last.)
    void Finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace ops
