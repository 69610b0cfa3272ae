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
//
// Settings (settings.h). A stream given ChainSettings hands out, stage for
// stage, the rows of Filter(gray), Binarize(threshold) and
// Thin(iterations) run on the whole picture; default settings are the
// chain above. What each costs a stream:
//   gray luma   nothing to speak of: each row's lumas are taken as it goes in.
//   threshold N nothing.
//   otsu        a first pass over the whole picture before the stream: the
//               level depends on every filtered row, and the first row of B
//               may not wait for the last row of A. The caller runs the
//               filter over the rows once (FilteredHistogram below, or a
//               stream keeping only A), takes Otsu's level of the
//               histogram (Resolved, binarize.h) and gives the stream the
//               resolved settings; a stream given Otsu's method unresolved
//               refuses to start. So the picture is read twice and
//               filtered twice; the first pass holds the filter's rows.
//   thin N      reach 4 N rows (ThinReach), and 12 N + 3 rows of bits and
//               32 N rows of change bits, about 1.6 N bytes a pixel of the
//               width: nine iterations hold what the chain holds today.
//   thin full   passes of kFullThinPassIterations (9) iterations, each
//               with the reach and memory of thin 9. The first pass, over
//               the picture, hands out a C (and D) that is final when
//               lastIterationChanged() is false afterwards. Otherwise the
//               caller keeps C (a stage file, say; or D, whose blue byte is
//               C's) and runs another pass over its rows, a stream with
//               StreamInput::kThinned that thins nine iterations further
//               and hands out C and D, until one pass's
//               lastIterationChanged() is false. The result is byte for
//               byte Thin with full thinning: an iteration that deletes
//               nothing leaves the picture as it was, so every iteration
//               after it does too. The passes are the iterations that
//               delete, plus the one that deletes nothing, over nine,
//               rounded up; each pass past the first reads C (or D) once
//               and writes the kept C and D once more. An iteration takes at most
//               two layers from either side of a stroke: a bar 37 pixels
//               thick is a line after one pass and known to be one after
//               the second.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "ops/binarize.h"
#include "ops/filter.h"
#include "ops/settings.h"
#include "ops/stage.h"

namespace ops {

inline constexpr int kFilterReach = 5;
inline constexpr int kThinReach = 36;
inline constexpr int kChainReach = kFilterReach + kThinReach;

// What a stream's rows are.
enum class StreamInput : std::uint8_t {
    kPicture,  // the picture: the chain runs from the filter on
    kThinned,  // the thinned stage (C) an earlier pass of full thinning
               // handed out: the stream thins it further and hands out C
               // and D only (its blue byte decides: 0 is a stroke)
};

// The reach of the thinning of one pass: 4 rows an iteration.
constexpr int ThinReach(const ChainSettings& settings) { return 4 * PassIterations(settings.thin); }
// The reach of a stream: how many rows below a row of C or D the input must
// have reached before that row is final.
constexpr int ChainReach(const ChainSettings& settings, StreamInput input = StreamInput::kPicture) {
    return (input == StreamInput::kPicture ? kFilterReach : 0) + ThinReach(settings);
}
static_assert(ThinReach(ChainSettings{}) == kThinReach && ChainReach(ChainSettings{}) == kChainReach);

// Takes row y of a stage: 3 * width bytes, valid only during the call.
using StageRowSink = std::function<void(Stage stage, int y, const std::uint8_t* row)>;

class ChainStream {
public:
    // A picture of width x height pixels (both > 0). Stages in `kept` (not
    // empty) are handed to sink; the chain runs up to the
    // last of them and no further. Exceptions from sink pass through Push
    // and Finish unchanged, and the stream is then not used again.
    ChainStream(int width, int height, StageSet kept, StageRowSink sink);
    // With settings, and rows of the picture or of a thinned stage. Throws
    // std::invalid_argument for a threshold of Otsu's method where the
    // chain reaches B (resolve it first: Resolved in binarize.h), and for
    // StreamInput::kThinned with A or B kept.
    ChainStream(int width, int height, StageSet kept, const ChainSettings& settings, StreamInput input,
                StageRowSink sink);
    // What that constructor refuses, without a stream (an empty `kept` too).
    static void Check(StageSet kept, const ChainSettings& settings, StreamInput input);
    ~ChainStream();
    ChainStream(const ChainStream&) = delete;
    ChainStream& operator=(const ChainStream&) = delete;

    // The next row of the picture: 3 * width bytes.
    void Push(const std::uint8_t* row);
    // The same row given as the one byte a pixel the chain reads of it
    // (width bytes): TakeGray (filter.h) of the row with the settings'
    // GraySource, the blue bytes by default; for StreamInput::kThinned the
    // blue bytes.
    void PushGray(const std::uint8_t* gray);

    // After the last row has gone in (exactly height rows): every kept
    // stage has then handed out every row. (The last row's Push already
    // hands out the rows still held; Finish checks that it was the last.)
    void Finish();

    // Whether the last iteration of this pass's thinning deleted a pixel in
    // one of the watched rows (all rows, unless WatchRows said otherwise);
    // false when the chain stops before C. After Finish, for full
    // thinning: true means another pass is needed (see above).
    bool lastIterationChanged() const;
    // Watches rows [first, last) only: a band of a picture cut into bands
    // watches its own rows, not the margins it computes and drops.
    void WatchRows(int first, int last);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The first pass Otsu's threshold needs: the histogram of the levels of the
// filtered picture (HistogramOf what Filter(gray) leaves), from the
// picture's rows as they come, holding only the filter's rows (about 18
// bytes a pixel of the width). On threads, a BandedChain keeping only A
// (bands.h) gives the same rows to count.
class FilteredHistogram {
public:
    // Width and height in pixels, both > 0.
    FilteredHistogram(int width, int height, GraySource gray);

    // The next row: 3 * width bytes, or the bytes the filter reads of it.
    void Push(const std::uint8_t* row);
    void PushGray(const std::uint8_t* gray);

    // After exactly height rows: the histogram.
    const GrayHistogram& Finish();

private:
    int width_, height_;
    GraySource gray_;
    FilterRows filter_;
    int pushed_ = 0;
    std::vector<std::uint8_t> row_;
    GrayHistogram histogram_{};
};

}  // namespace ops
