// Shared by the tests of the GIF, PNM, ICO and BMP decoders: running a
// decoder over bytes held in memory into rows that reveal pixels never
// written and writes past a row, and the pictures the tests expect.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "codec/decode.h"

namespace codec_test {

using Bytes = std::vector<std::uint8_t>;
using Kind = codec::DecodeError::Kind;
using Bgr = std::array<std::uint8_t, 3>;

inline constexpr std::uint64_t kLimit = std::uint64_t{1} << 28;

inline constexpr Bgr kWhite = {255, 255, 255};
inline constexpr Bgr kBlack = {0, 0, 0};

// A picture as blue, green, red, row 0 at the top.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<Bgr> pixels;

    Picture() = default;
    Picture(int w, int h, Bgr fill = kBlack) : width(w), height(h), pixels(static_cast<std::size_t>(w) * h, fill) {}
    Bgr& at(int x, int y) { return pixels[static_cast<std::size_t>(y) * width + x]; }
    const Bgr& at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
    bool operator==(const Picture&) const = default;
};

inline const char* KindName(Kind kind) {
    switch (kind) {
    case Kind::kDamaged: return "damaged";
    case Kind::kTooLarge: return "too large";
    case Kind::kUnsupported: return "unsupported";
    case Kind::kNoMemory: return "no memory";
    }
    return "?";
}

// What a decoder made of a file.
struct Decoded {
    bool loaded = false;
    codec::DeclaredSize size;  // as returned
    Picture picture;
    Kind kind = Kind::kDamaged;  // when refused
    std::string detail;
    std::uint64_t errorWidth = 0, errorHeight = 0;
    int allocations = 0;
};

inline std::ostream& operator<<(std::ostream& out, const Decoded& d) {
    if (d.loaded) return out << "loaded " << d.picture.width << " x " << d.picture.height;
    return out << KindName(d.kind) << ": " << d.detail;
}

// Runs a decoder on the file, with allocate and its limit.
using Decoder = std::function<codec::DeclaredSize(const Bytes& file, const codec::AllocateRows& allocate,
                                                  std::uint64_t maxPixels)>;

// A ByteSource over the file that hands out pieces of 1 to 97 bytes, so that
// every buffer boundary of a decoder is crossed somewhere.
inline codec::ByteSource PiecesOf(const Bytes& file, std::size_t& at) {
    return [&file, &at, step = std::size_t{0}](std::uint8_t* out, std::size_t size) mutable {
        step = step % 97 + 1;
        const std::size_t n = std::min({size, step, file.size() - at});
        if (n > 0) std::memcpy(out, file.data() + at, n);
        at += n;
        return n;
    };
}

// Decodes twice, into rows preset to 0x00 with 5 spare bytes each and into
// rows preset to 0xFF with 3: both runs must agree (so every pixel was
// written), leave the spare bytes alone and allocate at most once, and only
// a DecodeError may be thrown.
inline Decoded DecodeChecked(const Decoder& decode, const Bytes& file, std::uint64_t maxPixels = kLimit) {
    Decoded runs[2];
    const std::pair<int, std::uint8_t> presets[2] = {{5, 0x00}, {3, 0xFF}};
    for (int run = 0; run < 2; ++run) {
        const auto [padding, fill] = presets[run];
        Decoded& out = runs[run];
        Bytes memory;
        ops::RowView view;
        const codec::AllocateRows allocate = [&](int width, int height) {
            ++out.allocations;
            view = {nullptr, width, height, 3 * static_cast<std::ptrdiff_t>(width) + padding};
            memory.assign(static_cast<std::size_t>(view.stride) * static_cast<std::size_t>(height), fill);
            view.data = memory.data();
            return view;
        };
        try {
            out.size = decode(file, allocate, maxPixels);
            out.loaded = true;
        } catch (const codec::DecodeError& error) {
            out.kind = error.kind();
            out.detail = error.what();
            out.errorWidth = error.width();
            out.errorHeight = error.height();
        } catch (const std::exception& error) {
            ADD_FAILURE() << "threw something other than DecodeError: " << error.what();
        }
        EXPECT_LE(out.allocations, 1);
        if (!out.loaded || out.allocations != 1) continue;
        EXPECT_EQ(out.size.width, static_cast<std::uint64_t>(view.width)) << "the size returned is not the one allocated";
        EXPECT_EQ(out.size.height, static_cast<std::uint64_t>(view.height));
        out.picture = Picture(view.width, view.height);
        bool padTouched = false;
        for (int y = 0; y < view.height; ++y) {
            const std::uint8_t* row = view.row(y);
            for (int x = 0; x < view.width; ++x) out.picture.at(x, y) = {row[3 * x], row[3 * x + 1], row[3 * x + 2]};
            padTouched |= std::any_of(row + 3 * view.width, row + 3 * view.width + padding,
                                      [&](std::uint8_t b) { return b != fill; });
        }
        EXPECT_FALSE(padTouched) << "bytes past 3 * width were written";
    }
    EXPECT_EQ(runs[0].loaded, runs[1].loaded);
    EXPECT_TRUE(runs[0].picture == runs[1].picture) << "some pixels were never written";
    return runs[0];
}

// The first differing pixel, or success.
inline ::testing::AssertionResult SamePicture(const Decoded& got, const Picture& want) {
    if (!got.loaded) return ::testing::AssertionFailure() << "refused: " << got;
    if (got.picture.width != want.width || got.picture.height != want.height)
        return ::testing::AssertionFailure() << "size " << got.picture.width << " x " << got.picture.height
                                             << ", expected " << want.width << " x " << want.height;
    for (int y = 0; y < want.height; ++y)
        for (int x = 0; x < want.width; ++x)
            if (got.picture.at(x, y) != want.at(x, y)) {
                const Bgr& g = got.picture.at(x, y);
                const Bgr& w = want.at(x, y);
                return ::testing::AssertionFailure()
                       << "pixel (" << x << ", " << y << ") is bgr " << int{g[0]} << "," << int{g[1]} << ","
                       << int{g[2]} << ", expected " << int{w[0]} << "," << int{w[1]} << "," << int{w[2]};
            }
    return ::testing::AssertionSuccess();
}

// Every shorter copy of a valid file is refused as damaged, or, where the
// part cut off held nothing of the picture, gives the whole file's picture:
// a decoder never makes up the pixels it has not read.
inline void ExpectCutCopiesRefusedOrWhole(const Decoder& decode, const Bytes& file) {
    const Decoded whole = DecodeChecked(decode, file);
    ASSERT_TRUE(whole.loaded) << whole;
    const std::size_t step = file.size() <= 3000 ? 1 : file.size() / 1500;
    for (std::size_t cut = 0; cut < file.size(); cut += cut + 64 >= file.size() || cut < 64 ? 1 : step) {
        SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(file.size()));
        const Decoded got = DecodeChecked(decode, Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut)));
        if (got.loaded) {
            ASSERT_TRUE(SamePicture(got, whole.picture)) << "a cut copy made up pixels";
        } else {
            ASSERT_EQ(got.kind, Kind::kDamaged) << got;
            ASSERT_FALSE(got.detail.empty());
        }
    }
}

// The name generator of the table-driven tests: each case's own name.
struct CaseName {
    template <class Info>
    std::string operator()(const Info& info) const {
        return info.param.name;
    }
};

}  // namespace codec_test
