#include "core/picture.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <span>
#include <vector>
#include <unistd.h>

#include "codec/bmp.h"
#include "codec/formats.h"
#include "codec/gif.h"
#include "codec/ico.h"
#include "codec/jpeg.h"
#include "codec/orient.h"
#include "codec/png.h"
#include "codec/pnm.h"
#include "codec/row_reader.h"
#include "codec/tiff.h"

namespace {

using files::FailRead;
using files::FailWrite;
using files::Reason;

// The first bytes of a file, enough to know its format and to hold a BMP
// file's headers and palette.
constexpr std::size_t kHeadBytes = 64 * 1024;

std::string TooLargeReason(std::uint64_t width, std::uint64_t height, std::uint64_t limit = kMaxPicturePixels) {
    return "the picture is " + std::to_string(width) + " x " + std::to_string(height) + " pixels, more than the limit of " +
           std::to_string(limit) + " pixels";
}

const std::string kDamaged = "the picture data is damaged or incomplete";

[[noreturn]] void FailDecode(const FileName& name, const codec::DecodeError& error,
                             std::uint64_t limit = kMaxPicturePixels) {
    const std::string detail = error.what();
    switch (error.kind()) {
    case codec::DecodeError::Kind::kTooLarge: FailRead(name, TooLargeReason(error.width(), error.height(), limit));
    case codec::DecodeError::Kind::kUnsupported: FailRead(name, detail);
    case codec::DecodeError::Kind::kNoMemory: FailRead(name, Reason(ENOMEM));
    case codec::DecodeError::Kind::kDamaged: break;
    }
    FailRead(name, detail.empty() ? kDamaged : kDamaged + " (" + detail + ")");
}

// Rows of a new 24-bit picture, refused when they would be wider than the
// limit; std::bad_alloc when its memory cannot be had.
ops::RowView NewPicture(TBitmap& picture, std::uint64_t width, std::uint64_t height, const FileName& name) {
    if (width > kMaxPictureWidth)
        FailRead(name, "the picture is " + std::to_string(width) + " x " + std::to_string(height) +
                           " pixels, wider than the limit of " + std::to_string(kMaxPictureWidth) + " pixels a row");
    return picture.Allocate(static_cast<int>(width), static_cast<int>(height));
}

// Rows of a new 24-bit picture for a decoder to fill.
codec::AllocateRows RowsOf(TBitmap& picture, const FileName& name) {
    return [&picture, &name](int width, int height) {
        return NewPicture(picture, static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height), name);
    };
}

// The picture as its file means it to be shown: turned or mirrored into
// new rows when the file declares an orientation.
TBitmap Shown(const TBitmap& stored, codec::Orientation orientation, const FileName& name) {
    if (orientation == codec::Orientation::kNormal || stored.Empty()) return stored;
    const codec::ShownSize size = codec::ShownSizeOf(
        {static_cast<std::uint64_t>(stored.Width()), static_cast<std::uint64_t>(stored.Height()), orientation});
    TBitmap shown;
    const ops::RowView rows = NewPicture(shown, size.width, size.height, name);
    codec::Orient(stored.ConstRows(), rows, orientation);
    return shown;
}

codec::ByteSource SourceOf(files::InputFile& file) {
    return [&file](std::uint8_t* buffer, std::size_t size) { return file.Read(buffer, size); };
}

// Reads at any place of the file, for formats whose parts are found through
// a directory.
codec::RandomSource RandomSourceOf(files::InputFile& file) {
    return [&file](std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
        std::size_t done = 0;
        while (done < size && offset + done < file.size()) {
            const ssize_t got = ::pread(file.descriptor(), buffer + done, size - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) FailRead(file.name(), Reason(errno));
            if (got == 0) break;
            done += static_cast<std::size_t>(got);
        }
        return done;
    };
}

// A BMP file: its headers and palette from the first bytes, then no more of
// the pixel data than the decoder can use, so a huge gap before the pixels
// or junk after them costs nothing.
TBitmap DecodeBmpFile(files::InputFile& file, const std::vector<std::uint8_t>& head) {
    std::vector<std::uint8_t> bytes = head;
    const std::optional<codec::BmpExtent> extent = codec::BmpExtentOf(head);
    if (extent && file.size() > head.size() && extent->width * extent->height <= kMaxPicturePixels &&
        extent->pixelOffset < file.size()) {
        const std::uint64_t pixelBytes = std::min(extent->pixelBytes, file.size() - extent->pixelOffset);
        // Adds up to count bytes from the file's current place.
        const auto append = [&](std::uint64_t count) {
            const std::size_t had = bytes.size();
            std::vector<std::uint8_t> grown(had + static_cast<std::size_t>(count));
            std::copy(bytes.begin(), bytes.end(), grown.begin());
            grown.erase(grown.begin() + static_cast<std::ptrdiff_t>(had + file.ReadFully(grown.data() + had, static_cast<std::size_t>(count))),
                        grown.end());
            bytes = std::move(grown);
        };
        if (extent->pixelOffset <= head.size()) {
            append(std::max(extent->pixelOffset + pixelBytes, std::uint64_t{head.size()}) - head.size());
        } else {
            // The pixels start past the first bytes: keep those (headers and
            // palette) and put the pixel data right after them.
            if (::lseek(file.descriptor(), static_cast<off_t>(extent->pixelOffset), SEEK_SET) < 0)
                FailRead(file.name(), Reason(errno));
            append(pixelBytes);
            const auto offset = static_cast<std::uint32_t>(head.size());
            for (int i = 0; i < 4; ++i) bytes[10 + i] = static_cast<std::uint8_t>(offset >> (8 * i));
        }
    }
    TBitmap image;
    codec::DecodeBmp(bytes, RowsOf(image, file.name()), kMaxPicturePixels);
    return image;  // empty for a picture without pixels
}

// A file read at random, as TIFF needs.
codec::RandomAccess AccessTo(files::InputFile& file) {
    return {file.size(), [&file](std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
                for (;;) {
                    const ssize_t got = ::pread(file.descriptor(), buffer, size, static_cast<off_t>(offset));
                    if (got >= 0) return static_cast<std::size_t>(got);
                    if (errno != EINTR) FailRead(file.name(), Reason(errno));
                }
            }};
}

std::string OnlyPages(std::uint32_t count) {
    return count == 1 ? std::string("the file has only 1 page")
                      : "the file has only " + std::to_string(count) + " pages";
}

TBitmap DecodeTiffFile(files::InputFile& file, int page) {
    const codec::RandomAccess access = AccessTo(file);
    const std::uint32_t pages = codec::CountTiffPages(access);
    if (static_cast<std::uint32_t>(page) >= pages) FailRead(file.name(), OnlyPages(pages));
    TBitmap image;
    const codec::DeclaredSize declared =
        codec::DecodeTiff(access, RowsOf(image, file.name()), kMaxPicturePixels, static_cast<std::uint32_t>(page));
    return Shown(image, declared.orientation, file.name());
}

TBitmap DecodeFile(const FileName& name, bool bmpOnly, int page = 0) {
    files::InputFile file(name);
    if (file.size() == 0) FailRead(name, "the file is empty");
    try {
        std::vector<std::uint8_t> head(std::min<std::uint64_t>(file.size(), kHeadBytes));
        head.resize(file.ReadFully(head.data(), head.size()));
        const codec::Format format =
            codec::SniffFormat(std::span(head).first(std::min(head.size(), codec::kSniffBytes)));
        if (bmpOnly && format != codec::Format::kBmp) FailRead(name, "not a BMP file");
        if (page > 0 && format != codec::Format::kTiff && format != codec::Format::kUnknown) FailRead(name, OnlyPages(1));
        TBitmap image;
        switch (format) {
        case codec::Format::kBmp: return DecodeBmpFile(file, head);
        case codec::Format::kPng: {
            file.Rewind();
            const codec::DeclaredSize declared = codec::DecodePng(SourceOf(file), RowsOf(image, name), kMaxPicturePixels);
            return Shown(image, declared.orientation, name);
        }
        case codec::Format::kJpeg: {
            file.Rewind();
            const codec::DeclaredSize declared = codec::DecodeJpeg(SourceOf(file), RowsOf(image, name), kMaxPicturePixels);
            return Shown(image, declared.orientation, name);
        }
        case codec::Format::kGif:
            file.Rewind();
            codec::DecodeGif(SourceOf(file), RowsOf(image, name), kMaxPicturePixels);
            return image;
        case codec::Format::kPnm:
            file.Rewind();
            codec::DecodePnm(SourceOf(file), RowsOf(image, name), kMaxPicturePixels);
            return image;
        case codec::Format::kIco:
            codec::DecodeIco(RandomSourceOf(file), RowsOf(image, name), kMaxPicturePixels);
            return image;
        case codec::Format::kTiff: return DecodeTiffFile(file, page);
        case codec::Format::kUnknown: break;
        }
        FailRead(name, "not a picture format this program reads");
    } catch (const codec::DecodeError& error) {
        FailDecode(name, error);
    } catch (const std::bad_alloc&) {
        FailRead(name, Reason(ENOMEM));
    }
}

}  // namespace

namespace {

std::uint64_t NewKey() {
    static std::atomic<std::uint64_t> last{0};
    return ++last;
}

}  // namespace

ops::RowView TBitmap::Allocate(int width, int height) {
    pixels_.reset();
    if (width <= 0 || height <= 0) return {};
    auto pixels = std::make_shared<Pixels>();
    pixels->width = width;
    pixels->height = height;
    pixels->stride = (3 * static_cast<std::ptrdiff_t>(width) + 3) & ~std::ptrdiff_t{3};
    pixels->key = NewKey();
    const std::size_t size = static_cast<std::size_t>(pixels->stride) * static_cast<std::size_t>(height);
    pixels->bytes = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    // The padding is zero, so that equal pictures hold equal bytes.
    const std::size_t used = 3 * static_cast<std::size_t>(width);
    if (static_cast<std::size_t>(pixels->stride) != used)
        for (int y = 0; y < height; ++y)
            std::memset(pixels->bytes.get() + static_cast<std::size_t>(y) * static_cast<std::size_t>(pixels->stride) + used,
                        0, static_cast<std::size_t>(pixels->stride) - used);
    pixels_ = std::move(pixels);
    return {pixels_->bytes.get(), width, height, pixels_->stride};
}

void TBitmap::LoadFromFile(const FileName& fileName) { *this = DecodeFile(fileName, /*bmpOnly=*/true); }

void TBitmap::SaveToFile(const FileName& fileName) const {
    files::OutputFile file(fileName);
    try {
        codec::EncodeBmp24(ConstRows(), [&](const std::uint8_t* bytes, std::size_t size) { file.Write(bytes, size); });
    } catch (const codec::BmpError& error) {
        FailWrite(fileName, error.what());
    } catch (const std::bad_alloc&) {
        FailWrite(fileName, Reason(ENOMEM));
    }
    file.Commit();
}

std::uint8_t* TBitmap::ScanLine(int y) { return Rows().row(y); }

ops::RowView TBitmap::Rows() {
    if (Empty()) return {};
    if (pixels_.use_count() > 1) {
        // Shared with a copy: this side gets bytes of its own first.
        const std::shared_ptr<Pixels> shared = pixels_;
        try {
            const ops::RowView rows = Allocate(shared->width, shared->height);
            std::memcpy(rows.data, shared->bytes.get(),
                        static_cast<std::size_t>(shared->stride) * static_cast<std::size_t>(shared->height));
        } catch (const std::bad_alloc&) {
            pixels_ = shared;
            throw Exception("Cannot copy the picture: not enough memory");
        }
    }
    pixels_->key = NewKey();  // the caller may write
    return {pixels_->bytes.get(), pixels_->width, pixels_->height, pixels_->stride};
}

ops::RowView TBitmap::ConstRows() const {
    if (Empty()) return {};
    return {pixels_->bytes.get(), pixels_->width, pixels_->height, pixels_->stride};
}

namespace {

[[noreturn]] void FailHold(const FileName& name, const codec::TooMuchToHold& error) {
    throw PictureTooLargeToHold("Cannot read " + name.Shown() + ": " + error.what(),
                                error.width(), error.height(), error.needed());
}

}  // namespace

struct PictureRows::State {
    files::InputFile file;
    std::unique_ptr<codec::RowReader> reader;
    std::uint64_t maxPixels = kMaxPicturePixels;
    explicit State(const FileName& name) : file(name) {}
};

PictureRows::PictureRows(const FileName& fileName, int page, std::uint64_t maxPixels, std::uint64_t wholeBytes)
    : state_(std::make_unique<State>(fileName)) {
    state_->maxPixels = maxPixels;
    files::InputFile& file = state_->file;
    if (file.size() == 0) FailRead(fileName, "the file is empty");
    try {
        std::uint8_t head[codec::kSniffBytes] = {};
        const std::size_t got = file.ReadFully(head, sizeof head);
        const codec::Format format = codec::SniffFormat(std::span(head, got));
        if (format == codec::Format::kUnknown) FailRead(fileName, "not a picture format this program reads");
        const codec::RandomAccess access = AccessTo(file);
        if (format == codec::Format::kTiff) {
            const std::uint32_t pages = codec::CountTiffPages(access);
            if (static_cast<std::uint32_t>(page) >= pages) FailRead(fileName, OnlyPages(pages));
        } else if (page > 0) {
            FailRead(fileName, OnlyPages(1));
        }
        state_->reader = codec::OpenRowReader(access, static_cast<std::uint32_t>(page), {maxPixels, wholeBytes});
    } catch (const codec::TooMuchToHold& error) {
        FailHold(fileName, error);
    } catch (const codec::DecodeError& error) {
        FailDecode(fileName, error, maxPixels);
    } catch (const std::bad_alloc&) {
        FailRead(fileName, Reason(ENOMEM));
    }
}

PictureRows::~PictureRows() = default;

int PictureRows::Width() const { return state_->reader->width(); }
int PictureRows::Height() const { return state_->reader->height(); }

void PictureRows::Next(std::uint8_t* row) {
    try {
        state_->reader->Next(row);
    } catch (const codec::TooMuchToHold& error) {
        FailHold(state_->file.name(), error);
    } catch (const codec::DecodeError& error) {
        FailDecode(state_->file.name(), error, state_->maxPixels);
    } catch (const std::bad_alloc&) {
        FailRead(state_->file.name(), Reason(ENOMEM));
    }
}

void TPicture::LoadFromFile(const FileName& fileName, int page) {
    bitmap_ = DecodeFile(fileName, /*bmpOnly=*/false, page);
}

int PageCount(const FileName& fileName) {
    files::InputFile file(fileName);
    std::uint8_t head[8] = {};
    const std::size_t got = file.ReadFully(head, sizeof head);
    if (!codec::LooksLikeTiff(std::span(head, got))) return 1;
    try {
        return static_cast<int>(codec::CountTiffPages(AccessTo(file)));
    } catch (const codec::DecodeError& error) {
        FailDecode(fileName, error);
    }
}
