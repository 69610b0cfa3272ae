#include "fuzz/picture_input.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "codec/bmp.h"
#include "codec/formats.h"
#include "codec/open.h"
#include "codec/orient.h"
#include "ops/binarize.h"
#include "ops/filter.h"
#include "ops/labeling.h"
#include "ops/skeleton.h"
#include "ops/skeleton_stream.h"
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

// The picture as shown, turned back as its file stores it and then as the
// file says again, must be itself.
void CheckTurns(Buffer& shown, codec::Orientation orientation) {
    const codec::ShownSize size = codec::ShownSizeOf(
        {static_cast<std::uint64_t>(shown.width), static_cast<std::uint64_t>(shown.height), orientation});
    Buffer stored = Blank(static_cast<int>(size.width), static_cast<int>(size.height));
    codec::Orient(shown.view(), stored.view(), Inverse(orientation));
    Buffer again = Blank(shown.width, shown.height);
    codec::Orient(stored.view(), again.view(), orientation);
    Require(again.bytes == shown.bytes);
}

// The skeleton measures of the picture, whole and from the stream of its
// rows, must be the same tables (or name the same pixel that is neither
// black nor white).
void CheckMeasures(Buffer& picture) {
    const ops::SkeletonMeasures whole = ops::MeasureSkeleton(picture.view());
    ops::SkeletonStream stream(picture.width, picture.height);
    for (int y = 0; y < picture.height; ++y)
        if (!stream.Add(picture.view().row(y))) break;
    const ops::SkeletonMeasures streamed = stream.Finish();
    Require(whole.not_two_level == streamed.not_two_level);
    Require(ops::BranchesCsv(whole) == ops::BranchesCsv(streamed));
    Require(ops::SkeletonsCsv(whole) == ops::SkeletonsCsv(streamed));
    for (const ops::SkeletonFigures& s : whole.skeletons)
        Require(s.pixels == s.junction_pixels + s.slab_pixels + s.end_points && s.pixels >= 1);
}

}  // namespace

bool RunPictureInput(const std::uint8_t* data, std::size_t size) {
    Buffer picture;
    int asked = 0;
    const auto allocate = [&](int width, int height) {
        Require(width > 0 && height > 0 &&
                static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) <= kFuzzMaxPixels);
        Require(++asked <= 2);
        picture = Blank(width, height);  // padded, as real pictures may be
        return picture.view();
    };
    // The file's bytes a few at a time, as a file arrives from the disk.
    const codec::RandomAccess input{size, [&](std::uint64_t offset, std::uint8_t* buffer, std::size_t wanted) {
                                       if (offset >= size) return std::size_t{0};
                                       const std::size_t n = std::min<std::size_t>(
                                           {wanted, static_cast<std::size_t>(size - offset), std::size_t{4099}});
                                       std::memcpy(buffer, data + offset, n);
                                       return n;
                                   }};
    codec::OpenOptions options;
    options.reading = codec::Reading::kWhole;
    options.maxPixels = kFuzzMaxPixels;
    codec::Orientation orientation = codec::Orientation::kNormal;
    try {
        // The last page of a file that has several (every directory before
        // it is read on the way).
        const std::uint32_t pages = codec::PageCount(input);
        Require(pages >= 1);
        const std::unique_ptr<codec::Picture> opened = codec::OpenPicture(input, pages - 1, options);
        Require(opened->pages() == pages);
        const codec::Orientation declared = opened->stored().orientation;
        opened->ReadWhole(allocate);
        Require(picture.bytes.empty() || (opened->width() == picture.width && opened->height() == picture.height));
        orientation = opened->stored().orientation;
        // The rows are asked for once; twice only when the file turns the
        // picture where its pixels are already read (EXIF data after them).
        Require(asked <= 1 || (declared == codec::Orientation::kNormal && orientation != codec::Orientation::kNormal));
    } catch (const codec::DecodeError&) {
        return false;
    }
    if (picture.bytes.empty()) return true;
    if (orientation != codec::Orientation::kNormal) CheckTurns(picture, orientation);

    // Each operation on the result of the one before, as the stage files pass
    // it on; on small pictures the plain forms run beside and must agree.
    const bool compare = static_cast<std::uint64_t>(picture.width) * picture.height <= kFuzzComparePixels;
    CheckMeasures(picture);  // as a skeleton made elsewhere: mostly not two-level
    Buffer plain = picture;
    ops::Filter(picture.view());
    if (compare) ops::FilterReference(plain.view());
    Require(!compare || picture.bytes == plain.bytes);
    ops::Binarize(picture.view());
    if (compare) ops::BinarizeReference(plain.view());
    Require(!compare || picture.bytes == plain.bytes);
    CheckMeasures(picture);  // two-level, blobs and all
    Buffer written = picture, plainWritten = plain;
    ops::Thin(picture.view(), written.view());
    Require(written.bytes == picture.bytes);
    if (compare) ops::ThinReference(plain.view(), plainWritten.view());
    Require(!compare || picture.bytes == plain.bytes);
    CheckMeasures(picture);  // the thinned stage, as measure reads it
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
