#include "fuzz/picture_input.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "codec/bmp.h"
#include "codec/formats.h"
#include "codec/gif.h"
#include "codec/ico.h"
#include "codec/jpeg.h"
#include "codec/orient.h"
#include "codec/png.h"
#include "codec/pnm.h"
#include "codec/tiff.h"
#include "ops/binarize.h"
#include "ops/filter.h"
#include "ops/labeling.h"
#include "ops/thinning.h"

namespace fuzz {

namespace {

struct Buffer {
    int width = 0, height = 0;
    std::ptrdiff_t stride = 0;
    std::vector<std::uint8_t> bytes;
    ops::RowView view() { return {bytes.data(), width, height, stride}; }
};

void Require(bool condition) {
    if (!condition) std::abort();
}

// The orientation that undoes the given one.
codec::Orientation Inverse(codec::Orientation orientation) {
    if (orientation == codec::Orientation::kTurned90) return codec::Orientation::kTurned270;
    if (orientation == codec::Orientation::kTurned270) return codec::Orientation::kTurned90;
    return orientation;
}

// A padded buffer of the given size, every byte 0xA5.
Buffer Blank(int width, int height) {
    Buffer buffer;
    buffer.width = width;
    buffer.height = height;
    buffer.stride = 3 * static_cast<std::ptrdiff_t>(width) + 1;
    buffer.bytes.assign(static_cast<std::size_t>(buffer.stride) * height, 0xA5);
    return buffer;
}

// The stored picture turned as the file says, as the program shows it;
// turned back, it must be the stored picture again.
Buffer Shown(Buffer& stored, const codec::DeclaredSize& declared) {
    const codec::ShownSize size = codec::ShownSizeOf(declared);
    Require(declared.width == static_cast<std::uint64_t>(stored.width) &&
            declared.height == static_cast<std::uint64_t>(stored.height));
    Buffer shown = Blank(static_cast<int>(size.width), static_cast<int>(size.height));
    codec::Orient(stored.view(), shown.view(), declared.orientation);
    Buffer back = Blank(stored.width, stored.height);
    codec::Orient(shown.view(), back.view(), Inverse(declared.orientation));
    Require(back.bytes == stored.bytes);
    return shown;
}

}  // namespace

bool RunPictureInput(const std::uint8_t* data, std::size_t size) {
    Buffer picture;
    const auto allocate = [&](int width, int height) {
        Require(width > 0 && height > 0 &&
                static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) <= kFuzzMaxPixels);
        Require(picture.bytes.empty());  // asked once at most
        picture.width = width;
        picture.height = height;
        picture.stride = 3 * static_cast<std::ptrdiff_t>(width) + 1;  // padded, as real pictures may be
        picture.bytes.assign(static_cast<std::size_t>(picture.stride) * height, 0xA5);
        return picture.view();
    };
    // The file's bytes a few at a time, as a file arrives from the disk.
    std::size_t at = 0;
    const codec::ByteSource source = [&](std::uint8_t* buffer, std::size_t wanted) {
        const std::size_t n = std::min({wanted, size - at, std::size_t{4099}});
        std::memcpy(buffer, data + at, n);
        at += n;
        return n;
    };
    // Any part of the file, for the formats read through a directory.
    const codec::RandomSource randomSource = [&](std::uint64_t offset, std::uint8_t* buffer, std::size_t wanted) {
        if (offset >= size) return std::size_t{0};
        const std::size_t n = std::min<std::size_t>(wanted, size - static_cast<std::size_t>(offset));
        std::memcpy(buffer, data + offset, n);
        return n;
    };
    const std::span<const std::uint8_t> input(data, size);
    codec::DeclaredSize declared;
    try {
        switch (codec::SniffFormat(input.first(std::min(size, codec::kSniffBytes)))) {
        case codec::Format::kPng: declared = codec::DecodePng(source, allocate, kFuzzMaxPixels); break;
        case codec::Format::kJpeg: declared = codec::DecodeJpeg(source, allocate, kFuzzMaxPixels); break;
        case codec::Format::kGif: declared = codec::DecodeGif(source, allocate, kFuzzMaxPixels); break;
        case codec::Format::kPnm: declared = codec::DecodePnm(source, allocate, kFuzzMaxPixels); break;
        case codec::Format::kIco: declared = codec::DecodeIco(randomSource, allocate, kFuzzMaxPixels); break;
        case codec::Format::kTiff: {
            // Read at random from memory, the last page of a file that has
            // several (every directory before it is read on the way).
            const codec::RandomAccess file{size, [&](std::uint64_t offset, std::uint8_t* buffer, std::size_t wanted) {
                                               if (offset >= size) return std::size_t{0};
                                               const std::size_t n = std::min<std::size_t>(
                                                   {wanted, static_cast<std::size_t>(size - offset), std::size_t{4099}});
                                               std::memcpy(buffer, data + offset, n);
                                               return n;
                                           }};
            const std::uint32_t pages = codec::CountTiffPages(file);
            Require(pages >= 1);
            declared = codec::DecodeTiff(file, allocate, kFuzzMaxPixels, pages - 1);
            break;
        }
        default: codec::DecodeBmp(input, allocate, kFuzzMaxPixels); break;
        }
    } catch (const codec::DecodeError&) {
        return false;
    }
    if (picture.bytes.empty()) return true;
    if (declared.orientation != codec::Orientation::kNormal) picture = Shown(picture, declared);

    // Each operation on the result of the one before, as the stage files pass
    // it on; on small pictures the plain forms run beside and must agree.
    const bool compare = static_cast<std::uint64_t>(picture.width) * picture.height <= kFuzzComparePixels;
    Buffer plain = picture;
    ops::Filter(picture.view());
    if (compare) ops::FilterReference(plain.view());
    Require(!compare || picture.bytes == plain.bytes);
    ops::Binarize(picture.view());
    if (compare) ops::BinarizeReference(plain.view());
    Require(!compare || picture.bytes == plain.bytes);
    Buffer written = picture, plainWritten = plain;
    ops::Thin(picture.view(), written.view());
    Require(written.bytes == picture.bytes);
    if (compare) ops::ThinReference(plain.view(), plainWritten.view());
    Require(!compare || picture.bytes == plain.bytes);
    ops::Label(picture.view());
    if (compare) ops::LabelReference(plain.view());
    Require(!compare || picture.bytes == plain.bytes);

    // The padding byte after each row is never touched.
    for (int y = 0; y < picture.height; ++y) Require(picture.bytes[y * picture.stride + 3 * picture.width] == 0xA5);
    // What is written reads back the same.
    std::vector<std::uint8_t> file;
    codec::EncodeBmp24(picture.view(), [&](const std::uint8_t* bytes, std::size_t n) { file.insert(file.end(), bytes, bytes + n); });
    Buffer back;
    codec::DecodeBmp(
        file,
        [&](int width, int height) {
            back.width = width;
            back.height = height;
            back.stride = picture.stride;
            back.bytes.assign(picture.bytes.size(), 0xA5);
            return back.view();
        },
        kFuzzMaxPixels);
    Require(back.bytes == picture.bytes);
    return true;
}

}  // namespace fuzz
