#include "core/picture.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>

#include "core/chain.h"
#include "codec/open.h"

namespace {

using files::FailRead;
using files::FailWrite;
using files::Reason;

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

// Rows of a new 24-bit picture for a decoder to fill; std::bad_alloc when
// its memory cannot be had.
codec::AllocateRows RowsOf(TBitmap& picture) {
    return [&picture](int width, int height) { return picture.Allocate(width, height); };
}

std::string OnlyPages(std::uint32_t count) {
    return count == 1 ? std::string("the file has only 1 page")
                      : "the file has only " + std::to_string(count) + " pages";
}

// Turns what opening or reading a picture threw into the message that names
// the file; anything else (the file's own read errors, already named) passes on.
[[noreturn]] void FailOpen(const FileName& name, std::exception_ptr thrown, std::uint64_t maxPixels) {
    try {
        std::rethrow_exception(thrown);
    } catch (const codec::EmptyFile& error) {
        FailRead(name, error.what());
    } catch (const codec::NoSuchPage& error) {
        FailRead(name, OnlyPages(error.pages()));
    } catch (const codec::RowsTooWide& error) {
        FailRead(name, "the picture is " + std::to_string(error.width()) + " x " + std::to_string(error.height()) +
                           " pixels, wider than the limit of " + std::to_string(error.limit()) + " pixels a row");
    } catch (const codec::TooMuchToHold& error) {
        throw PictureTooLargeToHold("Cannot read " + name.Shown() + ": " + error.what(), error.width(),
                                    error.height(), error.needed());
    } catch (const codec::DecodeError& error) {
        FailDecode(name, error, maxPixels);
    } catch (const std::bad_alloc&) {
        FailRead(name, Reason(ENOMEM));
    }
}

// The whole picture of the page (0 the first), as shown; only a BMP file
// when a stage file is read.
TBitmap DecodeFile(const FileName& name, bool stageFile, int page = 0) {
    files::InputFile file(name);
    codec::OpenOptions options;
    options.reading = codec::Reading::kWhole;
    options.maxPixels = kMaxPicturePixels;
    options.maxWidth = kMaxPictureWidth;
    if (stageFile) options.only = codec::kStageFileFormat;
    TBitmap image;
    try {
        const std::unique_ptr<codec::Picture> picture =
            codec::OpenPicture(file.Access(), static_cast<std::uint32_t>(page), options);
        picture->ReadWhole(RowsOf(image));
        image.SetResolution(picture->resolution());
    } catch (...) {
        FailOpen(name, std::current_exception(), kMaxPicturePixels);
    }
    return image;  // empty for a picture without pixels
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
    resolution_ = {};
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

void TBitmap::LoadFromFile(const FileName& fileName) { *this = DecodeFile(fileName, /*stageFile=*/true); }

void TBitmap::SaveToFile(const FileName& fileName) const {
    WriteStageFile(fileName, ConstRows(), codec::kStageOutput, files::Durability::kFlushedEach, resolution_);
}

std::uint8_t* TBitmap::ScanLine(int y) { return Rows().row(y); }

ops::RowView TBitmap::Rows() {
    if (Empty()) return {};
    if (pixels_.use_count() > 1) {
        // Shared with a copy: this side gets bytes of its own first.
        const std::shared_ptr<Pixels> shared = pixels_;
        const codec::Resolution resolution = resolution_;
        try {
            const ops::RowView rows = Allocate(shared->width, shared->height);
            resolution_ = resolution;
            std::memcpy(rows.data, shared->bytes.get(),
                        static_cast<std::size_t>(shared->stride) * static_cast<std::size_t>(shared->height));
        } catch (const std::bad_alloc&) {
            pixels_ = shared;
            resolution_ = resolution;
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

struct PictureRows::State {
    files::InputFile file;
    std::unique_ptr<codec::Picture> picture;
    std::uint64_t maxPixels = kMaxPicturePixels;
    explicit State(const FileName& name) : file(name) {}
};

PictureRows::PictureRows(const FileName& fileName, int page, std::uint64_t maxPixels, std::uint64_t wholeBytes)
    : state_(std::make_unique<State>(fileName)) {
    state_->maxPixels = maxPixels;
    try {
        state_->picture = codec::OpenPicture(state_->file.Access(), static_cast<std::uint32_t>(page),
                                             {.reading = codec::Reading::kRows, .maxPixels = maxPixels, .wholeBytes = wholeBytes});
    } catch (...) {
        FailOpen(fileName, std::current_exception(), maxPixels);
    }
}

PictureRows::~PictureRows() = default;

int PictureRows::Width() const { return state_->picture->width(); }
int PictureRows::Height() const { return state_->picture->height(); }
codec::Resolution PictureRows::Resolution() const { return state_->picture->resolution(); }

void PictureRows::Next(std::uint8_t* row) {
    try {
        state_->picture->Next(row);
    } catch (...) {
        FailOpen(state_->file.name(), std::current_exception(), state_->maxPixels);
    }
}

void TPicture::LoadFromFile(const FileName& fileName, int page) {
    bitmap_ = DecodeFile(fileName, /*stageFile=*/false, page);
}

int PageCount(const FileName& fileName) {
    files::InputFile file(fileName);
    try {
        return static_cast<int>(codec::PageCount(file.Access()));
    } catch (const codec::DecodeError& error) {
        FailDecode(fileName, error);
    }
}
