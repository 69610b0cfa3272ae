// The chain stream on every core: the picture is cut into horizontal bands,
// each run by its own ChainStream on a thread of its own, and the bands'
// rows are handed out in order.
//
// A band of output rows [a, b) is computed from the input rows
// [a - kChainReach, b + kChainReach), clipped to the picture, as if those
// rows were the whole picture. Where that clipped range ends inside the
// picture, its end is not the picture's: the filter replicates the wrong
// row there and the thinning keeps the wrong border, and each step carries
// the error one row further in per pass (5 filter passes, 36 thinning
// sub-passes). So the error reaches exactly kChainReach rows in, which the
// band's margin covers; rows [a, b) are the whole picture's, byte for byte.
// Binarize and Label reach no other row. Bands overlap by the reach, and
// the overlap is work done twice: 2 * kChainReach rows a band.
//
// Threads and what they do:
//   - the caller's thread pushes the input rows (typically as a decoder
//     gives them) into a ring of rows, keeping only the blue bytes, the one
//     byte the chain reads;
//   - `threads` band threads each take the next band, read its rows from the
//     ring as soon as they arrive (a band starts before its input is all
//     decoded) and keep its output rows, packed (a byte a pixel for the
//     filtered stage, a bit a pixel for the others: every later stage is 0
//     or 255 in blue);
//   - one delivery thread hands the finished bands' rows to the sink, in
//     order, expanded back to 24-bit rows (stage A gray, B and C black or
//     white, D blue with green and red 1).
// So decoding, the chain and encoding overlap. Memory: the ring holds
// (threads + 1) bands with their margins, one byte a pixel, and at most
// threads + 2 bands' packed output wait; bands are made as tall as a
// budget allows (BandHeight), at least 4 * kChainReach rows.
//
// With one thread, or a picture too low to share out, no thread is started:
// one ChainStream runs on the caller's thread and the sink is called from
// Push and Finish.
//
// With settings (settings.h) the reach is ChainReach(settings, input)
// (chain_stream.h) in place of kChainReach: margins, the least band and the
// ring follow it. The ring holds the byte a pixel the chain reads (the
// blue byte or the luma). Otsu's method and full thinning work as for a
// ChainStream: BandedChain takes settings with a level (the caller ran the
// first pass), and a pass of full thinning reports through
// lastIterationChanged() whether another is needed, each band answering
// for its own rows; ChainInBands, given the picture in memory, runs the
// first pass of Otsu's method itself, on the same threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "ops/chain_stream.h"
#include "ops/pixels.h"

namespace ops {

// The band height for a picture of the given width and height, shared by
// `threads` threads, with about budgetBytes for the ring: the picture's
// height divided by the threads when that fits, else what fits, never
// under 4 * kChainReach.
int BandHeight(int width, int height, int threads, std::size_t budgetBytes);
// The same for a chain of the given reach (ChainReach), never under 4 reaches.
int BandHeight(int width, int height, int threads, std::size_t budgetBytes, int reach);

// The same bands on a picture held in memory, each band's thread reading
// its rows straight from the picture: no ring and no order to keep. The
// sink may be called from several threads at once, for different rows
// (each stage's rows of one band in order), so it must write where it is
// told (a picture of results, not the one being read). With one thread, or
// a picture too low to share out, one ChainStream runs on the caller's
// thread. An exception from the sink or a band stops every band and comes
// out once all have stopped.
void ChainInBands(const RowView& picture, StageSet kept, int threads, const StageRowSink& sink);

// What a run with settings found: the level binarize used (Otsu's choice,
// or N; -1 when the chain stops before B or starts after it), and whether
// the thinning's last iteration deleted a pixel (see ChainStream).
struct BandsOutcome {
    int level = -1;
    bool lastIterationChanged = false;
};

// The same with settings, and the rows of the picture or of a thinned
// stage. For Otsu's method it first counts the filtered levels in bands
// (FilteredHistogramOf) and uses the level they give.
BandsOutcome ChainInBands(const RowView& picture, StageSet kept, const ChainSettings& settings, StreamInput input,
                          int threads, const StageRowSink& sink);

// The histogram of the picture Filter(gray) would leave, counted in bands
// on up to `threads` threads, the picture unchanged: HistogramOf the
// filtered picture.
GrayHistogram FilteredHistogramOf(const RowView& picture, GraySource gray, int threads);

class BandedChain {
public:
    static constexpr std::size_t kDefaultBudget = std::size_t{96} << 20;

    // As ChainStream: a picture of width x height pixels, the kept stages
    // and where their rows go. The sink is called from
    // one thread at a time, each stage's rows in order. An exception thrown
    // by the sink or by a band (std::bad_alloc) stops the work and comes out
    // of the next Push or of Finish.
    BandedChain(int width, int height, StageSet kept, int threads, StageRowSink sink,
                std::size_t budgetBytes = kDefaultBudget);
    // With settings and the rows of the picture or of a thinned stage, as
    // ChainStream takes them (the same std::invalid_argument).
    BandedChain(int width, int height, StageSet kept, const ChainSettings& settings, StreamInput input, int threads,
                StageRowSink sink, std::size_t budgetBytes = kDefaultBudget);
    // Stops and joins the threads, if Finish was not reached (the caller's
    // reader failed halfway, say); nothing more reaches the sink.
    ~BandedChain();
    BandedChain(const BandedChain&) = delete;
    BandedChain& operator=(const BandedChain&) = delete;

    // The next row of the picture: 3 * width bytes. May wait while the ring
    // is full.
    void Push(const std::uint8_t* row);

    // After the last row: waits until every row of every kept stage has
    // reached the sink.
    void Finish();

    // Threads started (0 when the chain runs on the caller's thread) and the
    // band height used.
    int threads() const;
    int bandHeight() const;

    // Where stage C's rows go packed as well, before each reaches the sink:
    // a bit a pixel, bit x % 8 of byte x / 8 set for a white pixel and clear
    // for a stroke. Only a chain that runs in bands has its rows packed:
    // returns false (and never calls `packed`) for one that runs on the
    // caller's thread. Set before the first Push.
    bool DeliverThinnedPacked(std::function<void(int y, const std::uint8_t* bits)> packed);

    // After Finish: whether the thinning's last iteration deleted a pixel
    // anywhere in the picture (see ChainStream::lastIterationChanged).
    bool lastIterationChanged() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace ops
