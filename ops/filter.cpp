#include "ops/filter.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

namespace ops {

ColumnGrid GrayGrid;

namespace {

// The picture the current pass holds in GrayGrid; MedianPixel keeps its
// neighbourhood inside it.
int gridWidth = 0;
int gridHeight = 0;

inline std::uint8_t Min(std::uint8_t a, std::uint8_t b) { return a < b ? a : b; }
inline std::uint8_t Max(std::uint8_t a, std::uint8_t b) { return a < b ? b : a; }
inline std::uint8_t Med3(std::uint8_t a, std::uint8_t b, std::uint8_t c) {
    return Max(Min(a, b), Min(Max(a, b), c));
}

}  // namespace

std::int32_t MedianPixel(int x, int y) {
    std::int32_t nine[9];
    int k = 0;
    for (int dy = -1; dy <= 1; ++dy) {
        const int ny = std::clamp(y + dy, 0, gridHeight - 1);
        for (int dx = -1; dx <= 1; ++dx) {
            const int nx = std::clamp(x + dx, 0, gridWidth - 1);
            nine[k++] = GrayGrid.at(nx, ny);
        }
    }
    std::sort(nine, nine + 9, std::greater<>());
    return nine[4];
}

void FilterReference(const RowView& picture) { FilterReference(picture, GraySource::kBlue); }

void FilterReference(const RowView& picture, GraySource gray) {
    if (picture.empty()) return;
    const int w = picture.width;
    const int h = picture.height;
    GrayGrid.Fit(w, h);
    gridWidth = w;
    gridHeight = h;
    for (int pass = 0; pass < kFilterPasses; ++pass) {
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* row = picture.row(y);
            for (int x = 0; x < w; ++x)
                GrayGrid.at(x, y) = gray == GraySource::kLuma ? LumaOf(row[3 * x], row[3 * x + 1], row[3 * x + 2])
                                                              : row[3 * x];
        }
        for (int y = 0; y < h; ++y) {
            std::uint8_t* row = picture.row(y);
            for (int x = 0; x < w; ++x) {
                const auto m = static_cast<std::uint8_t>(MedianPixel(x, y) & 0xFF);
                row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = m;
            }
        }
    }
}

// The fast form runs the five passes as a pipeline down the picture: pass k
// makes its row r as soon as pass k-1 has made row r+1, so each pass needs
// only its last three rows, and the whole filter reads and writes the picture
// once with everything else in cache. Rows carry a one-pixel frame that
// repeats the edge pixels, and row indices above and below the picture are
// clamped: that is the edge rule, applied here once, so the median loops
// have no edge tests. The median of nine is med3(max of the column minima,
// med3 of the column middles, min of the column maxima) once each column of
// three is sorted.
namespace {

// The last three rows a pass made, with their frames.
class RowRing {
public:
    explicit RowRing(int width)
        : width_(width), pitch_(width + 2), bytes_(3 * static_cast<std::size_t>(width + 2)) {}

    std::uint8_t* row(int r) { return bytes_.data() + static_cast<std::ptrdiff_t>(r % 3) * pitch_ + 1; }

    void Frame(int r) {
        std::uint8_t* p = row(r);
        p[-1] = p[0];
        p[width_] = p[width_ - 1];
    }

private:
    int width_, pitch_;
    std::vector<std::uint8_t> bytes_;
};

// One row of medians, in chunks whose sorted columns sit in local arrays
// (which nothing else can alias, so the loops vectorize without checks).
OPS_WIDE_CLONES void MedianRow(const std::uint8_t* above, const std::uint8_t* here, const std::uint8_t* below,
                               std::uint8_t* out, int width) {
    constexpr int kChunk = 256;
    std::uint8_t lo[kChunk + 2], mid[kChunk + 2], hi[kChunk + 2];
    for (int start = 0; start < width; start += kChunk) {
        const int n = std::min(kChunk, width - start);
        const std::uint8_t* a = above + start - 1;
        const std::uint8_t* b = here + start - 1;
        const std::uint8_t* d = below + start - 1;
        // Sort each column of three, one column either side of the chunk included.
        for (int c = 0; c < n + 2; ++c) {
            const std::uint8_t l = Min(a[c], b[c]), u = Max(a[c], b[c]);
            lo[c] = Min(l, d[c]);
            hi[c] = Max(u, d[c]);
            mid[c] = Max(l, Min(u, d[c]));
        }
        std::uint8_t* o = out + start;
        for (int x = 0; x < n; ++x) {
            const std::uint8_t maxLo = Max(Max(lo[x], lo[x + 1]), lo[x + 2]);
            const std::uint8_t minHi = Min(Min(hi[x], hi[x + 1]), hi[x + 2]);
            const std::uint8_t medMid = Med3(mid[x], mid[x + 1], mid[x + 2]);
            o[x] = Med3(maxLo, medMid, minHi);
        }
    }
}

OPS_WIDE_CLONES void TakeBlue(const std::uint8_t* row, std::uint8_t* blue, int width) {
    for (int x = 0; x < width; ++x) blue[x] = row[3 * x];
}

OPS_WIDE_CLONES void TakeLuma(const std::uint8_t* row, std::uint8_t* luma, int width) {
    for (int x = 0; x < width; ++x)
        luma[x] = static_cast<std::uint8_t>((299u * row[3 * x + 2] + 587u * row[3 * x + 1] + 114u * row[3 * x] + 500u) /
                                            1000u);
}

OPS_WIDE_CLONES void PutGray(const std::uint8_t* gray, std::uint8_t* row, int width) {
    for (int x = 0; x < width; ++x) {
        row[3 * x] = gray[x];
        row[3 * x + 1] = gray[x];
        row[3 * x + 2] = gray[x];
    }
}

// Narrow pictures: work done once per row would cost far more than the few
// pixels of a row, so each stage keeps its rows framed and end to end, with
// a copy of the first row above them and of the last below (the clamped
// neighbours). The rows above and below are then one pitch away, and a
// single MedianRow call makes a strip of many rows; the bytes it makes in
// the frames between rows are thrown away when the rows are framed.
class StripBuffer {
public:
    StripBuffer(int width, int strip)
        : width_(width), pitch_(width + 2), capacity_(3 * strip + 3),
          bytes_(static_cast<std::size_t>(capacity_) * (width + 2)) {}

    // Row r, from -1 (the copy of row 0) to the height (the copy of the last row).
    std::uint8_t* row(int r) { return bytes_.data() + static_cast<std::ptrdiff_t>(r - base_) * pitch_ + 1; }

    // Makes room for rows up to `last`, keeping rows `keep` onwards.
    void Reserve(int keep, int last) {
        if (last - base_ < capacity_) return;
        std::memmove(bytes_.data(), row(keep) - 1, static_cast<std::size_t>(end_ - keep) * pitch_);
        base_ = keep;
    }

    // Frames row r once its pixels are in, and copies it to row -1 or
    // `height` when it is the first or the last.
    void Finish(int r, int height) {
        std::uint8_t* p = row(r);
        p[-1] = p[0];
        p[width_] = p[width_ - 1];
        end_ = r + 1;
        if (r == 0) std::memcpy(row(-1) - 1, p - 1, pitch_);
        if (r == height - 1) std::memcpy(row(height) - 1, p - 1, pitch_);
    }

    int pitch() const { return pitch_; }

private:
    int width_, pitch_, capacity_;
    int base_ = -1, end_ = -1;
    std::vector<std::uint8_t> bytes_;
};

constexpr int kNarrowWidth = 128;  // below this, strips of rows
constexpr int kStripBytes = 4096;

void FilterNarrow(const RowView& picture, GraySource gray) {
    const int w = picture.width;
    const int h = picture.height;
    const int strip = std::max(1, kStripBytes / (w + 2));
    const int strips = (h + strip - 1) / strip;
    // stages[0] holds blue rows, stages[k] the rows of pass k (k < 5); the
    // last pass makes a strip into `last` and writes it into the picture.
    std::vector<StripBuffer> stages(kFilterPasses, StripBuffer(w, strip));
    const int pitch = w + 2;
    std::vector<std::uint8_t> last(static_cast<std::size_t>(strip) * pitch);
    for (int t = 0; t < strips + kFilterPasses; ++t) {
        if (t < strips) {
            const int first = t * strip, end = std::min(h, first + strip);
            stages[0].Reserve((t - 1) * strip - 1, end);
            for (int r = first; r < end; ++r) {
                TakeGray(picture.row(r), stages[0].row(r), w, gray);
                stages[0].Finish(r, h);
            }
        }
        for (int pass = 1; pass <= kFilterPasses; ++pass) {
            const int j = t - pass;
            if (j < 0 || j >= strips) continue;
            const int first = j * strip, end = std::min(h, first + strip);
            StripBuffer& from = stages[pass - 1];
            const int span = (end - first) * pitch - 2;
            if (pass < kFilterPasses) {
                StripBuffer& to = stages[pass];
                to.Reserve((j - 1) * strip - 1, end);
                MedianRow(from.row(first - 1), from.row(first), from.row(first + 1), to.row(first), span);
                for (int r = first; r < end; ++r) to.Finish(r, h);
            } else {
                MedianRow(from.row(first - 1), from.row(first), from.row(first + 1), last.data(), span);
                for (int r = first; r < end; ++r) {
                    const std::uint8_t* gray = last.data() + static_cast<std::ptrdiff_t>(r - first) * pitch;
                    std::uint8_t* out = picture.row(r);
                    for (int x = 0; x < w; ++x) out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = gray[x];
                }
            }
        }
    }
}

// Columns x0..x1-1 of the picture, the pipeline run over them and up to five
// columns either side. A band's frame repeats its outermost columns, which is
// the edge rule only at the picture's edges; inside, each pass spreads that
// one column further in, so after five passes the five extra columns either
// side absorb it. The five columns left of x0 come from `savedLeft` (five
// bytes per row), as the band to the left has already filtered them.
void FilterColumns(const RowView& picture, int x0, int x1, const std::uint8_t* savedLeft, GraySource gray) {
    const int h = picture.height;
    const int left = x0 > 0 ? kFilterPasses : 0, right = std::min(kFilterPasses, picture.width - x1);
    const int w = left + (x1 - x0) + right;
    // rings[0] holds blue rows, rings[k] the rows of pass k (k < 5); the
    // last pass writes straight back into the picture, five rows behind the
    // row being read.
    std::vector<RowRing> rings(kFilterPasses, RowRing(w));
    std::vector<std::uint8_t> last(static_cast<std::size_t>(w));
    for (int t = 0; t < h + kFilterPasses; ++t) {
        if (t < h) {
            std::uint8_t* blue = rings[0].row(t);
            if (left > 0) std::memcpy(blue, savedLeft + static_cast<std::ptrdiff_t>(t) * left, left);
            TakeGray(picture.row(t) + 3 * static_cast<std::ptrdiff_t>(x0), blue + left, w - left, gray);
            rings[0].Frame(t);
        }
        for (int pass = 1; pass <= kFilterPasses; ++pass) {
            const int r = t - pass;
            if (r < 0 || r >= h) continue;
            RowRing& from = rings[pass - 1];
            std::uint8_t* out = pass < kFilterPasses ? rings[pass].row(r) : last.data();
            MedianRow(from.row(std::max(r - 1, 0)), from.row(r), from.row(std::min(r + 1, h - 1)), out, w);
            if (pass < kFilterPasses)
                rings[pass].Frame(r);
            else
                PutGray(last.data() + left, picture.row(r) + 3 * static_cast<std::ptrdiff_t>(x0), x1 - x0);
        }
    }
}

// Very wide pictures go in bands, so the rows the pipeline keeps stay small
// (and in cache) however wide the picture.
constexpr int kBandWidth = 16384;

}  // namespace

void TakeGray(const std::uint8_t* row, std::uint8_t* gray, int width, GraySource source) {
    if (source == GraySource::kLuma)
        TakeLuma(row, gray, width);
    else
        TakeBlue(row, gray, width);
}

void Filter(const RowView& picture) { Filter(picture, GraySource::kBlue); }

void Filter(const RowView& picture, GraySource gray) {
    if (picture.empty()) return;
    const int w = picture.width;
    const int h = picture.height;
    if (w < kNarrowWidth) return FilterNarrow(picture, gray);
    if (w <= 2 * kBandWidth) return FilterColumns(picture, 0, w, nullptr, gray);
    std::vector<std::uint8_t> saved(static_cast<std::size_t>(kFilterPasses) * h), next(saved.size());
    for (int x0 = 0, x1; x0 < w; x0 = x1) {
        x1 = std::min(w, x0 + kBandWidth);
        if (x1 < w)  // the next band's left columns, before this band filters them
            for (int y = 0; y < h; ++y)
                TakeGray(picture.row(y) + 3 * static_cast<std::ptrdiff_t>(x1 - kFilterPasses),
                         next.data() + static_cast<std::size_t>(y) * kFilterPasses, kFilterPasses, gray);
        FilterColumns(picture, x0, x1, saved.data(), gray);
        std::swap(saved, next);
    }
}

// The stream runs the pipeline of FilterColumns one time step per row that
// goes in: at step t pass k makes its row t - k from rows t-k-1 .. t-k+1 of
// pass k-1, the last of which pass k-1 made in the same step, the others
// clamped to the picture. Three rows per pass are then enough. Once the last
// row is in, the remaining five steps run as Next asks for their rows.
FilterRows::FilterRows(int width, int height)
    : width_(width), height_(height), pitch_(static_cast<std::ptrdiff_t>(width) + 2),
      bytes_(static_cast<std::size_t>(3 * (kFilterPasses + 1)) * (static_cast<std::size_t>(width) + 2)) {}

void FilterRows::Push(const std::uint8_t* gray) {
    std::uint8_t* row = Row(0, in_);
    std::memcpy(row, gray, static_cast<std::size_t>(width_));
    row[-1] = row[0];
    row[width_] = row[width_ - 1];
    ++in_;
    Step(steps_++);
}

const std::uint8_t* FilterRows::Next() {
    while (ready_ == nullptr && in_ == height_ && steps_ < height_ + kFilterPasses) Step(steps_++);
    const std::uint8_t* row = ready_;
    ready_ = nullptr;
    if (row != nullptr) ++out_;
    return row;
}

void FilterRows::Step(int t) {
    for (int pass = 1; pass <= kFilterPasses; ++pass) {
        const int r = t - pass;
        if (r < 0) break;
        if (r >= height_) continue;
        std::uint8_t* out = Row(pass, r);
        MedianRow(Row(pass - 1, std::max(r - 1, 0)), Row(pass - 1, r), Row(pass - 1, std::min(r + 1, height_ - 1)), out,
                  width_);
        out[-1] = out[0];
        out[width_] = out[width_ - 1];
        if (pass == kFilterPasses) ready_ = out;
    }
}

}  // namespace ops
