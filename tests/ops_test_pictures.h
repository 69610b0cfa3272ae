// Pictures for the pixel-operation tests: 24-bit rows (blue, green, red) with
// padded lines. Every byte past 3 * width in a row holds a known filler that
// the tests check afterwards, so an operation that writes beyond its pixels is
// caught even where the sanitizers cannot see it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ops/pixels.h"

namespace ops_test {

struct Pixel {
    std::uint8_t b = 0, g = 0, r = 0;
    friend bool operator==(const Pixel&, const Pixel&) = default;
};

inline constexpr Pixel kBlack{0, 0, 0};
inline constexpr Pixel kWhite{255, 255, 255};

inline std::string Describe(const Pixel& p) {
    return "(B" + std::to_string(p.b) + ",G" + std::to_string(p.g) + ",R" + std::to_string(p.r) + ")";
}

// The filler of byte i (i >= 3 * width) of row y in lines of `stride` bytes;
// never 0, 1 or 255, and mostly unlike the same byte at another stride.
inline std::uint8_t Filler(int y, std::ptrdiff_t i, std::ptrdiff_t stride) {
    return static_cast<std::uint8_t>(0xA0 + (y * 3 + i + stride) % 16);
}

class Picture {
public:
    // w x h pixels, all (0, 0, 0), with 3 * w + padding bytes per line; the
    // padding (1 to 7 unless given) varies with the size, and so the stride.
    Picture(int w, int h, int padding = -1)
        : w_(w), h_(h), stride_(3 * std::ptrdiff_t{w} + (padding >= 0 ? padding : 1 + (w * 5 + h * 3) % 7)) {
        bytes_.assign(static_cast<std::size_t>(stride_ * h), 0);
        for (int y = 0; y < h_; ++y)
            for (std::ptrdiff_t i = 3 * std::ptrdiff_t{w_}; i < stride_; ++i) row(y)[i] = Filler(y, i, stride_);
    }

    int width() const { return w_; }
    int height() const { return h_; }
    ops::RowView view() { return {bytes_.empty() ? nullptr : bytes_.data(), w_, h_, stride_}; }
    std::uint8_t* row(int y) { return bytes_.data() + y * stride_; }
    const std::uint8_t* row(int y) const { return bytes_.data() + y * stride_; }
    Pixel at(int x, int y) const { return {row(y)[3 * x], row(y)[3 * x + 1], row(y)[3 * x + 2]}; }
    void set(int x, int y, Pixel v) {
        std::uint8_t* p = row(y) + 3 * x;
        p[0] = v.b, p[1] = v.g, p[2] = v.r;
    }
    std::uint8_t blue(int x, int y) const { return row(y)[3 * x]; }
    void Fill(Pixel v, int x0 = 0, int y0 = 0, int w = -1, int h = -1) {
        for (int y = y0; y < (h < 0 ? h_ : y0 + h); ++y)
            for (int x = x0; x < (w < 0 ? w_ : x0 + w); ++x) set(x, y, v);
    }
    // The same pixels in a picture with another line padding.
    Picture WithPadding(int padding) const {
        Picture copy(w_, h_, padding);
        for (int y = 0; y < h_; ++y)
            for (int x = 0; x < w_; ++x) copy.set(x, y, at(x, y));
        return copy;
    }
    // The first padding byte that no longer holds its filler, or "" when all do.
    std::string PaddingDamage() const {
        for (int y = 0; y < h_; ++y)
            for (std::ptrdiff_t i = 3 * std::ptrdiff_t{w_}; i < stride_; ++i)
                if (row(y)[i] != Filler(y, i, stride_))
                    return "row " + std::to_string(y) + " byte " + std::to_string(i) + " changed to " +
                           std::to_string(row(y)[i]);
        return "";
    }

private:
    int w_, h_;
    std::ptrdiff_t stride_;
    std::vector<std::uint8_t> bytes_;
};

// Pixels equal (padding is not compared); the message names the first
// difference and how many pixels differ.
inline ::testing::AssertionResult SamePixels(const Picture& actual, const Picture& expected) {
    long differing = 0;
    std::ostringstream first;
    for (int y = 0; y < actual.height(); ++y)
        for (int x = 0; x < actual.width(); ++x)
            if (!(actual.at(x, y) == expected.at(x, y)) && differing++ == 0)
                first << "pixel (" << x << ", " << y << ") is " << Describe(actual.at(x, y)) << ", expected "
                      << Describe(expected.at(x, y));
    if (differing == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << differing << " pixels differ in a " << actual.width() << "x"
                                         << actual.height() << " picture; first: " << first.str();
}

// Every pixel's three bytes drawn from the generator.
inline Picture RandomPicture(int w, int h, std::mt19937& rng) {
    Picture pic(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            pic.set(x, y, {std::uint8_t(rng()), std::uint8_t(rng()), std::uint8_t(rng())});
    return pic;
}

// A two-level picture drawn as text, one string per row from the top:
// '#' is black (0, 0, 0), anything else white (255, 255, 255).
inline Picture Drawn(const std::vector<std::string>& rows) {
    Picture pic(rows.empty() ? 0 : static_cast<int>(rows[0].size()), static_cast<int>(rows.size()));
    for (int y = 0; y < pic.height(); ++y)
        for (int x = 0; x < pic.width(); ++x) pic.set(x, y, rows[y][x] == '#' ? kBlack : kWhite);
    return pic;
}

struct Size {
    int w, h;
};
inline std::string Name(Size s) { return std::to_string(s.w) + "x" + std::to_string(s.h); }

// The sizes every operation is compared on: one pixel, one row, one column,
// odd sizes, 641 x 481 (larger than the 640 x 480 grids), and no pixels.
inline const std::vector<Size> kOddSizes{{1, 1}, {1, 7}, {7, 1}, {47, 33}, {641, 481}, {0, 3}};

// The forms of an operation on one picture, each run on its own copy of
// `input`: every copy must come out as `expected` with its padding intact.
struct Form {
    const char* name;
    void (*run)(const ops::RowView&);
};
inline void ExpectForms(const std::vector<Form>& forms, const Picture& input, const Picture& expected) {
    for (const Form& form : forms) {
        SCOPED_TRACE(form.name);
        Picture pic = input;
        form.run(pic.view());
        EXPECT_TRUE(SamePixels(pic, expected));
        EXPECT_EQ(pic.PaddingDamage(), "");
    }
}

// Strokes (lines one or two pixels wide), blobs, rings and dots.
inline Picture RandomDrawing(std::mt19937& rng) {
    auto in = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const int w = in(1, 24), h = in(1, 24);
    std::vector<std::string> rows(static_cast<std::size_t>(h), std::string(static_cast<std::size_t>(w), '.'));
    auto put = [&](int x, int y) {
        if (x >= 0 && y >= 0 && x < w && y < h) rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] = '#';
    };
    const int shapes = in(0, 6);
    for (int s = 0; s < shapes; ++s) {
        switch (in(0, 3)) {
            case 0: {  // a stroke
                const int x0 = in(0, w - 1), y0 = in(0, h - 1), x1 = in(0, w - 1), y1 = in(0, h - 1), thick = in(1, 2);
                const int steps = std::max(std::abs(x1 - x0), std::abs(y1 - y0));
                for (int k = 0; k <= steps; ++k) {
                    const int x = steps ? x0 + (x1 - x0) * k / steps : x0, y = steps ? y0 + (y1 - y0) * k / steps : y0;
                    put(x, y);
                    if (thick == 2) put(x + 1, y);
                }
                break;
            }
            case 1: {  // a blob
                const int x0 = in(0, w - 1), y0 = in(0, h - 1), bw = in(1, 5), bh = in(1, 5);
                for (int y = y0; y < y0 + bh; ++y)
                    for (int x = x0; x < x0 + bw; ++x)
                        if (in(0, 5) > 0) put(x, y);
                break;
            }
            case 2: {  // a ring
                const int x0 = in(0, w - 1), y0 = in(0, h - 1), rw = in(3, 6), rh = in(3, 6);
                for (int x = x0; x < x0 + rw; ++x) put(x, y0), put(x, y0 + rh - 1);
                for (int y = y0; y < y0 + rh; ++y) put(x0, y), put(x0 + rw - 1, y);
                break;
            }
            default:
                for (int k = in(1, 4); k > 0; --k) put(in(0, w - 1), in(0, h - 1));
        }
    }
    return Drawn(rows);
}

}  // namespace ops_test
