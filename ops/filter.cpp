#include "ops/filter.h"

#include <algorithm>
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

void FilterReference(const RowView& picture) {
    if (picture.empty()) return;
    const int w = picture.width;
    const int h = picture.height;
    GrayGrid.Fit(w, h);
    gridWidth = w;
    gridHeight = h;
    for (int pass = 0; pass < kFilterPasses; ++pass) {
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* row = picture.row(y);
            for (int x = 0; x < w; ++x) GrayGrid.at(x, y) = row[3 * x];
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

// The fast form keeps the blue channel in a byte plane with a one-pixel frame
// around the picture that repeats the edge pixels, so the median loops have
// no edge tests. The median of nine is med3(max of the column minima, med3 of
// the column middles, min of the column maxima) once each column of three is
// sorted: ten min/max steps a pixel, on whole rows at a time.
namespace {

class Plane {
public:
    Plane(int width, int height)
        : width_(width), height_(height), pitch_(width + 2),
          bytes_(static_cast<std::size_t>(width + 2) * (height + 2)) {}

    std::uint8_t* row(int y) { return bytes_.data() + static_cast<std::ptrdiff_t>(y + 1) * pitch_ + 1; }

    // Repeats the edge pixels into the frame: columns first, then whole rows
    // (so the corners of the frame take the corner pixels).
    void ReplicateEdges() {
        for (int y = 0; y < height_; ++y) {
            std::uint8_t* r = row(y);
            r[-1] = r[0];
            r[width_] = r[width_ - 1];
        }
        std::copy_n(row(0) - 1, pitch_, row(-1) - 1);
        std::copy_n(row(height_ - 1) - 1, pitch_, row(height_) - 1);
    }

private:
    int width_, height_, pitch_;
    std::vector<std::uint8_t> bytes_;
};

void MedianRow(const std::uint8_t* above, const std::uint8_t* here, const std::uint8_t* below,
               std::uint8_t* lo, std::uint8_t* mid, std::uint8_t* hi, std::uint8_t* out, int width) {
    // Sort each column of three, the frame columns -1 and width included.
    for (int c = 0; c < width + 2; ++c) {
        const std::uint8_t a = above[c - 1], b = here[c - 1], d = below[c - 1];
        const std::uint8_t l = Min(a, b), u = Max(a, b);
        lo[c] = Min(l, d);
        hi[c] = Max(u, d);
        mid[c] = Max(l, Min(u, d));
    }
    for (int x = 0; x < width; ++x) {
        const std::uint8_t maxLo = Max(Max(lo[x], lo[x + 1]), lo[x + 2]);
        const std::uint8_t minHi = Min(Min(hi[x], hi[x + 1]), hi[x + 2]);
        const std::uint8_t medMid = Med3(mid[x], mid[x + 1], mid[x + 2]);
        out[x] = Med3(maxLo, medMid, minHi);
    }
}

}  // namespace

void Filter(const RowView& picture) {
    if (picture.empty()) return;
    const int w = picture.width;
    const int h = picture.height;
    Plane source(w, h), target(w, h);
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* row = picture.row(y);
        std::uint8_t* blue = source.row(y);
        for (int x = 0; x < w; ++x) blue[x] = row[3 * x];
    }
    std::vector<std::uint8_t> lo(w + 2), mid(w + 2), hi(w + 2);
    for (int pass = 0; pass < kFilterPasses; ++pass) {
        source.ReplicateEdges();
        for (int y = 0; y < h; ++y)
            MedianRow(source.row(y - 1), source.row(y), source.row(y + 1), lo.data(), mid.data(),
                      hi.data(), target.row(y), w);
        std::swap(source, target);
    }
    for (int y = 0; y < h; ++y) {
        std::uint8_t* row = picture.row(y);
        const std::uint8_t* gray = source.row(y);
        for (int x = 0; x < w; ++x) row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = gray[x];
    }
}

}  // namespace ops
