#include "ops/bands.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace ops {

int BandHeight(int width, int height, int threads, std::size_t budgetBytes) {
    return BandHeight(width, height, threads, budgetBytes, kChainReach);
}

int BandHeight(int width, int height, int threads, std::size_t budgetBytes, int reach) {
    if (threads <= 1 || width <= 0 || height <= 0) return std::max(height, 0);
    const std::int64_t shared = (static_cast<std::int64_t>(height) + threads - 1) / threads;
    const std::int64_t fits =
        static_cast<std::int64_t>(budgetBytes / (static_cast<std::size_t>(width) * (threads + 1))) - 2 * std::int64_t{reach};
    const std::int64_t band = std::max<std::int64_t>(std::min(shared, fits), 4 * std::int64_t{reach});
    return static_cast<int>(std::min<std::int64_t>(band, height));
}

namespace {

// The bands of a picture in memory: `count` bands of `band` rows, each
// with `reach` rows either side.
struct BandRows {
    int first, last;  // the band's own rows
    int from, to;     // the rows it reads
};
BandRows BandOf(int k, int band, int reach, int height) {
    BandRows rows;
    rows.first = static_cast<int>(std::int64_t{k} * band);
    rows.last = static_cast<int>(std::min<std::int64_t>(height, std::int64_t{rows.first} + band));
    rows.from = std::max(0, rows.first - reach);
    rows.to = static_cast<int>(std::min<std::int64_t>(height, std::int64_t{rows.last} + reach));
    return rows;
}

// Runs work(k, failed) for each band k in [0, count) on up to `threads`
// threads, the caller's among them. The first exception sets `failed`
// (which work may watch to stop early), stops handing out bands and comes
// out once every thread has stopped.
template <class Work>
void OnThreads(int count, int threads, const Work& work) {
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    std::exception_ptr error;
    const auto run = [&] {
        try {
            for (int k = next++; k < count && !failed; k = next++) work(k, failed);
        } catch (...) {
            failed = true;
            std::lock_guard lock(mutex);
            if (!error) error = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    try {
        for (int t = 1; t < std::min(threads, count); ++t) helpers.emplace_back(run);
    } catch (...) {
        failed = true;
        for (std::thread& helper : helpers) helper.join();
        throw;
    }
    run();
    for (std::thread& helper : helpers) helper.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace

void ChainInBands(const RowView& picture, StageSet kept, int threads, const StageRowSink& sink) {
    ChainInBands(picture, kept, ChainSettings{}, StreamInput::kPicture, threads, sink);
}

BandsOutcome ChainInBands(const RowView& picture, StageSet kept, const ChainSettings& asked, StreamInput input,
                          int threads, const StageRowSink& sink) {
    BandsOutcome outcome;
    const bool binarizes = input == StreamInput::kPicture && kept.Reaches(Stage::kBinarized);
    if (picture.empty()) return outcome;
    ChainSettings settings = asked;
    if (binarizes && settings.threshold.otsu())
        settings = Resolved(settings, FilteredHistogramOf(picture, settings.gray, threads));
    if (binarizes) outcome.level = settings.threshold.level();
    const int width = picture.width, height = picture.height;
    const int reach = ChainReach(settings, input);
    const int band = BandHeight(width, height, threads, std::numeric_limits<std::size_t>::max(), reach);
    const int count = static_cast<int>((std::int64_t{height} + band - 1) / band);
    if (threads <= 1 || count <= 1) {
        ChainStream stream(width, height, kept, settings, input, sink);
        for (int y = 0; y < height; ++y) stream.Push(picture.row(y));
        stream.Finish();
        outcome.lastIterationChanged = stream.lastIterationChanged();
        return outcome;
    }
    std::atomic<bool> changed{false};
    OnThreads(count, threads, [&](int k, const std::atomic<bool>& failed) {
        const BandRows rows = BandOf(k, band, reach, height);
        ChainStream stream(width, rows.to - rows.from, kept, settings, input,
                           [&](Stage stage, int y, const std::uint8_t* row) {
                               const int at = rows.from + y;
                               if (at >= rows.first && at < rows.last) sink(stage, at, row);
                           });
        stream.WatchRows(rows.first - rows.from, rows.last - rows.from);
        for (int y = rows.from; y < rows.to && !failed; ++y) stream.Push(picture.row(y));
        if (failed) return;
        stream.Finish();
        if (stream.lastIterationChanged()) changed = true;
    });
    outcome.lastIterationChanged = changed;
    return outcome;
}

GrayHistogram FilteredHistogramOf(const RowView& picture, GraySource source, int threads) {
    GrayHistogram histogram{};
    if (picture.empty()) return histogram;
    const int width = picture.width, height = picture.height;
    const int band = BandHeight(width, height, threads, std::numeric_limits<std::size_t>::max(), kFilterReach);
    const int count = static_cast<int>((std::int64_t{height} + band - 1) / band);
    std::mutex mutex;
    OnThreads(count, threads, [&](int k, const std::atomic<bool>& failed) {
        const BandRows rows = BandOf(k, band, kFilterReach, height);
        FilterRows filter(width, rows.to - rows.from);
        std::vector<std::uint8_t> gray(static_cast<std::size_t>(width));
        GrayHistogram counted{};
        for (int y = rows.from; y < rows.to && !failed; ++y) {
            TakeGray(picture.row(y), gray.data(), width, source);
            filter.Push(gray.data());
            while (const std::uint8_t* medians = filter.Next())
                if (const int at = rows.from + filter.rowsOut() - 1; at >= rows.first && at < rows.last)
                    CountLevels(medians, width, counted);
        }
        std::lock_guard lock(mutex);
        for (int level = 0; level < 256; ++level) histogram[level] += counted[level];
    });
    return histogram;
}

namespace {


inline bool Kept(StageSet kept, int stage) { return kept.Has(kAllStages[stage]); }

// A kept stage's row as a band holds it: A its blue bytes, the others a bit
// a pixel (set where the blue byte is not 0, pixel x in bit x % 8 of byte
// x / 8).
OPS_WIDE_CLONES void BlueOfRow(const std::uint8_t* row, std::uint8_t* blue, std::size_t width) {
    for (std::size_t x = 0; x < width; ++x) blue[x] = row[3 * x];
}

OPS_WIDE_CLONES void BitsOfRow(const std::uint8_t* row, std::uint8_t* bits, std::size_t width) {
    std::size_t x = 0;
    for (; x + 8 <= width; x += 8) {
        unsigned byte = 0;
        for (unsigned k = 0; k < 8; ++k) byte |= static_cast<unsigned>(row[3 * (x + k)] != 0) << k;
        bits[x / 8] = static_cast<std::uint8_t>(byte);
    }
    if (x < width) {
        unsigned byte = 0;
        for (unsigned k = 0; x + k < width; ++k) byte |= static_cast<unsigned>(row[3 * (x + k)] != 0) << k;
        bits[x / 8] = static_cast<std::uint8_t>(byte);
    }
}

// And back to 24-bit pixels: a set bit is 255, a clear one 0, in blue and,
// for B and C, in green and red; D's green and red are 1 (see LabelRow).
using EightPixels = std::array<std::uint8_t, 24>;
template <std::uint8_t kOthersSet, std::uint8_t kOthersClear>
constexpr std::array<EightPixels, 256> kPixelsOfByte = [] {
    std::array<EightPixels, 256> table{};
    for (int b = 0; b < 256; ++b)
        for (int k = 0; k < 8; ++k) {
            const bool set = (b >> k) & 1;
            table[b][3 * k] = set ? 255 : 0;
            table[b][3 * k + 1] = table[b][3 * k + 2] = set ? kOthersSet : kOthersClear;
        }
    return table;
}();

template <std::uint8_t kOthersSet, std::uint8_t kOthersClear>
void RowOfBits(const std::uint8_t* bits, std::uint8_t* row, std::size_t width) {
    const auto& table = kPixelsOfByte<kOthersSet, kOthersClear>;
    std::size_t x = 0;
    for (; x + 8 <= width; x += 8) std::memcpy(row + 3 * x, table[bits[x / 8]].data(), 24);
    for (; x < width; ++x) {
        const bool set = (bits[x / 8] >> (x & 7)) & 1u;
        row[3 * x] = set ? 255 : 0;
        row[3 * x + 1] = row[3 * x + 2] = set ? kOthersSet : kOthersClear;
    }
}

// One band: its output rows [first, last) come from input rows [from, to).
struct Band {
    int first = 0, last = 0;
    int from = 0, to = 0;
    int mark = 0;          // the next input row to read, while reading
    int wants = 0;         // waits until this many rows are in (0: not waiting)
    bool reading = false;
    bool done = false;
    bool changed = false;  // the thinning's last iteration deleted a pixel of its rows
    // Packed output per kept stage: A a byte a pixel, B to D a bit a pixel.
    std::vector<std::uint8_t> rows[4];
};

}  // namespace

struct BandedChain::State {
    int width = 0, height = 0;
    StageSet kept;
    ChainSettings settings;
    StreamInput input = StreamInput::kPicture;
    int reach = kChainReach;
    StageRowSink sink;
    int band = 0;
    int bandCount = 0;
    std::size_t bitsBytes = 0;  // bytes of a row packed a bit a pixel
    std::function<void(int y, const std::uint8_t* bits)> thinnedPacked;

    // Run on the caller's thread.
    std::unique_ptr<ChainStream> direct;

    // The ring: row y of the picture's blue bytes sits in slot y % capacity.
    int capacity = 0;
    int threadCount = 0;
    std::vector<std::uint8_t> ring;

    // Rows a band waits for come with `arrived`; everything else (room in
    // the ring, a band taken, done or delivered, a stop) with `changed`.
    // Bands take rows a chunk at a time and are woken only when their chunk
    // is in, so a row costs no wake-up of its own.
    static constexpr int kChunk = 64;
    std::mutex mutex;
    std::condition_variable arrived;
    std::condition_variable changed;
    int pushed = 0;      // rows in so far
    int lowestWanted = 0;  // the least `wants` of a waiting band; 0: none waits
    int started = 0;     // bands taken by a thread
    int delivered = 0;   // bands handed to the sink
    std::vector<Band> bands;
    bool stop = false;
    std::exception_ptr error;

    std::vector<std::thread> workers;
    std::thread delivery;

    // The lowest row a band still has to read (caller holds the mutex).
    int LowWater() const {
        int low = started < bandCount ? bands[static_cast<std::size_t>(started)].from : height;
        for (int k = delivered; k < started; ++k) {
            const Band& band = bands[static_cast<std::size_t>(k)];
            if (band.reading) low = std::min(low, band.mark);
        }
        return low;
    }

    void Fail(std::exception_ptr thrown) {
        std::lock_guard lock(mutex);
        if (!error) error = thrown;
        stop = true;
        changed.notify_all();
        arrived.notify_all();
    }

    // The least row count a band waits for (caller holds the mutex).
    void UpdateLowestWanted() {
        lowestWanted = 0;
        for (int k = delivered; k < started; ++k) {
            const int wants = bands[static_cast<std::size_t>(k)].wants;
            if (wants != 0 && (lowestWanted == 0 || wants < lowestWanted)) lowestWanted = wants;
        }
    }

    void RunBands() {
        try {
            for (;;) {
                int k;
                {
                    std::unique_lock lock(mutex);
                    const int inFlight = threadCount + 2;
                    changed.wait(lock, [&] { return stop || started == bandCount || started - delivered < inFlight; });
                    if (stop || started == bandCount) return;
                    k = started++;
                    Band& band = bands[static_cast<std::size_t>(k)];
                    band.mark = band.from;
                    band.reading = true;
                }
                RunBand(bands[static_cast<std::size_t>(k)]);
            }
        } catch (...) {
            Fail(std::current_exception());
        }
    }

    void RunBand(Band& band) {
        const std::size_t w = static_cast<std::size_t>(width);
        for (int stage = 0; stage < 4; ++stage) {
            if (!Kept(kept, stage)) continue;
            const std::size_t perRow = stage == 0 ? w : bitsBytes;
            band.rows[stage].assign(perRow * static_cast<std::size_t>(band.last - band.first), 0);
        }
        ChainStream stream(width, band.to - band.from, kept, settings, input,
                           [&](Stage stage, int y, const std::uint8_t* row) {
                               const int at = band.from + y;
                               if (at < band.first || at >= band.last) return;
                               const int s = static_cast<int>(stage);
                               const std::size_t index = static_cast<std::size_t>(at - band.first);
                               if (s == 0)
                                   BlueOfRow(row, band.rows[0].data() + index * w, w);
                               else
                                   BitsOfRow(row, band.rows[s].data() + index * bitsBytes, w);
                           });
        stream.WatchRows(band.first - band.from, band.last - band.from);
        int y = band.from;
        while (y < band.to) {
            int available;
            {
                // A chunk of rows at a time, so that the mark moves on and
                // the ring makes room while the band works.
                const int chunkEnd = static_cast<int>(std::min<std::int64_t>(band.to, std::int64_t{y} + kChunk));
                std::unique_lock lock(mutex);
                if (!stop && pushed < chunkEnd) {
                    band.wants = chunkEnd;
                    UpdateLowestWanted();
                    arrived.wait(lock, [&] { return stop || pushed >= chunkEnd; });
                    band.wants = 0;
                    UpdateLowestWanted();
                }
                if (stop) return;
                available = std::min(pushed, chunkEnd);
            }
            // Rows y .. available-1 stay in the ring until this band moves
            // its mark past them, so they are read without the lock.
            for (; y < available; ++y) stream.PushGray(ring.data() + static_cast<std::size_t>(y % capacity) * w);
            std::lock_guard lock(mutex);
            band.mark = y;
            changed.notify_all();
        }
        stream.Finish();
        std::lock_guard lock(mutex);
        band.changed = stream.lastIterationChanged();
        band.reading = false;
        band.done = true;
        changed.notify_all();
    }

    void Deliver() {
        try {
            const std::size_t w = static_cast<std::size_t>(width);
            std::vector<std::uint8_t> row(3 * w);
            for (int k = 0; k < bandCount; ++k) {
                {
                    std::unique_lock lock(mutex);
                    changed.wait(lock, [&] { return stop || bands[static_cast<std::size_t>(k)].done; });
                    if (stop) return;
                }
                Band& band = bands[static_cast<std::size_t>(k)];
                for (int y = band.first; y < band.last; ++y) {
                    const std::size_t index = static_cast<std::size_t>(y - band.first);
                    for (int s = 0; s < 4; ++s) {
                        if (!Kept(kept, s)) continue;
                        if (s == 0) {
                            const std::uint8_t* gray = band.rows[0].data() + index * w;
                            for (std::size_t x = 0; x < w; ++x) row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = gray[x];
                        } else if (s == 3) {
                            RowOfBits<1, 1>(band.rows[s].data() + index * bitsBytes, row.data(), w);
                        } else {
                            const std::uint8_t* bits = band.rows[s].data() + index * bitsBytes;
                            if (s == 2 && thinnedPacked) thinnedPacked(y, bits);
                            RowOfBits<255, 0>(bits, row.data(), w);
                        }
                        sink(kAllStages[s], y, row.data());
                    }
                }
                std::lock_guard lock(mutex);
                for (auto& rows : band.rows) std::vector<std::uint8_t>().swap(rows);
                ++delivered;
                changed.notify_all();
            }
        } catch (...) {
            Fail(std::current_exception());
        }
    }

    void Stop() {
        {
            std::lock_guard lock(mutex);
            stop = true;
            changed.notify_all();
            arrived.notify_all();
        }
        for (std::thread& worker : workers)
            if (worker.joinable()) worker.join();
        if (delivery.joinable()) delivery.join();
    }
};

BandedChain::BandedChain(int width, int height, StageSet kept, int threads, StageRowSink sink,
                         std::size_t budgetBytes)
    : BandedChain(width, height, kept, ChainSettings{}, StreamInput::kPicture, threads, std::move(sink), budgetBytes) {}

BandedChain::BandedChain(int width, int height, StageSet kept, const ChainSettings& settings, StreamInput input,
                         int threads, StageRowSink sink, std::size_t budgetBytes)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.width = width;
    s.height = height;
    s.kept = kept;
    s.settings = settings;
    s.input = input;
    s.reach = ChainReach(settings, input);
    s.sink = std::move(sink);
    s.band = BandHeight(width, height, threads, budgetBytes, s.reach);
    s.bandCount = static_cast<int>((std::int64_t{height} + s.band - 1) / s.band);
    if (threads <= 1 || s.bandCount <= 1) {
        s.band = height;
        s.bandCount = 1;
        s.direct = std::make_unique<ChainStream>(width, height, kept, settings, input, s.sink);
        return;
    }
    ChainStream::Check(kept, settings, input);  // before any thread, not in one
    s.bitsBytes = (static_cast<std::size_t>(width) + 7) / 8;
    s.threadCount = std::min(threads, s.bandCount);
    s.capacity = static_cast<int>(
        std::min<std::int64_t>(height, std::int64_t{s.threadCount + 1} * (s.band + 2 * std::int64_t{s.reach})));
    s.ring.resize(static_cast<std::size_t>(s.capacity) * static_cast<std::size_t>(width));
    s.bands.resize(static_cast<std::size_t>(s.bandCount));
    for (int k = 0; k < s.bandCount; ++k) {
        Band& band = s.bands[static_cast<std::size_t>(k)];
        band.first = k * s.band;
        band.last = static_cast<int>(std::min<std::int64_t>(height, std::int64_t{band.first} + s.band));
        band.from = std::max(0, band.first - s.reach);
        band.to = static_cast<int>(std::min<std::int64_t>(height, std::int64_t{band.last} + s.reach));
    }
    s.workers.reserve(static_cast<std::size_t>(s.threadCount));
    try {
        for (int k = 0; k < s.threadCount; ++k) s.workers.emplace_back([&s] { s.RunBands(); });
        s.delivery = std::thread([&s] { s.Deliver(); });
    } catch (...) {
        s.Stop();
        throw;
    }
}

BandedChain::~BandedChain() {
    if (state_) state_->Stop();
}

void BandedChain::Push(const std::uint8_t* row) {
    State& s = *state_;
    if (s.direct) {
        s.direct->Push(row);
        return;
    }
    std::unique_lock lock(s.mutex);
    if (s.pushed - s.LowWater() >= s.capacity)
        s.changed.wait(lock, [&] { return s.stop || s.pushed - s.LowWater() < s.capacity; });
    if (s.error) std::rethrow_exception(s.error);
    if (s.stop) return;
    const int y = s.pushed;
    lock.unlock();
    // No band reads slot y % capacity until pushed passes y.
    std::uint8_t* gray = s.ring.data() + static_cast<std::size_t>(y % s.capacity) * static_cast<std::size_t>(s.width);
    TakeGray(row, gray, s.width, s.input == StreamInput::kThinned ? GraySource::kBlue : s.settings.gray);
    lock.lock();
    ++s.pushed;
    const bool wake = s.lowestWanted != 0 && s.pushed >= s.lowestWanted;
    lock.unlock();
    if (wake) s.arrived.notify_all();
}

void BandedChain::Finish() {
    State& s = *state_;
    if (s.direct) {
        s.direct->Finish();
        return;
    }
    {
        std::unique_lock lock(s.mutex);
        if (s.pushed != s.height && !s.stop) {
            lock.unlock();
            s.Stop();
            throw std::logic_error("the banded chain finished before its last row");
        }
        s.changed.wait(lock, [&] { return s.stop || s.delivered == s.bandCount; });
    }
    std::exception_ptr error;
    {
        std::lock_guard lock(s.mutex);
        error = s.error;
    }
    s.Stop();
    if (error) std::rethrow_exception(error);
}

int BandedChain::threads() const { return state_->threadCount; }
int BandedChain::bandHeight() const { return state_->band; }

bool BandedChain::DeliverThinnedPacked(std::function<void(int y, const std::uint8_t* bits)> packed) {
    State& s = *state_;
    if (s.direct) return false;
    s.thinnedPacked = std::move(packed);
    return true;
}

bool BandedChain::lastIterationChanged() const {
    const State& s = *state_;
    if (s.direct) return s.direct->lastIterationChanged();
    return std::any_of(s.bands.begin(), s.bands.end(), [](const Band& band) { return band.changed; });
}

}  // namespace ops
