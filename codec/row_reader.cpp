#include "codec/row_reader.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <functional>
#include <new>
#include <span>
#include <stdexcept>
#include <utility>
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

namespace codec {
namespace {

using Kind = DecodeError::Kind;

// Stored rows gathered before they are turned into the shown picture: as
// many as codec/orient turns in one tile.
constexpr int kStripRows = 32;

std::uint64_t RowBytes(std::uint64_t width) { return 3 * width; }

std::string Mebibytes(std::uint64_t bytes) {
    return std::to_string((bytes + (std::uint64_t{1} << 20) - 1) >> 20) + " MiB";
}

// The file's bytes in order, for the decoders that read a stream.
ByteSource SequentialSource(const RandomAccess& file) {
    return [file, position = std::uint64_t{0}](std::uint8_t* buffer, std::size_t size) mutable {
        const std::size_t got = ReadUpTo(file, position, buffer, size);
        position += got;
        return got;
    };
}

void CheckHold(std::uint64_t width, std::uint64_t height, std::uint64_t needed, const RowReaderLimits& limits) {
    if (needed > limits.wholeBytes) throw TooMuchToHold(width, height, needed, limits.wholeBytes);
}

// ---------------------------------------------------------------------------
// Stored rows: a picture's rows as its file stores them, top to bottom

class StoredRows {
public:
    virtual ~StoredRows() = default;
    // The next stored row: 3 * width bytes.
    virtual void Read(std::uint8_t* row) = 0;
    // After the last row: reads what the file holds after the pixels.
    virtual void End() {}
};

class PngRows final : public StoredRows {
public:
    explicit PngRows(std::unique_ptr<PngRowDecoder> decoder) : decoder_(std::move(decoder)) {}
    void Read(std::uint8_t* row) override { decoder_->ReadRow(row); }
    void End() override { decoder_->Finish(); }

private:
    std::unique_ptr<PngRowDecoder> decoder_;
};

class JpegRows final : public StoredRows {
public:
    JpegRows(std::unique_ptr<JpegRowDecoder> decoder, Orientation shownAs)
        : decoder_(std::move(decoder)), shownAs_(shownAs) {}

    void Read(std::uint8_t* row) override {
        decoder_->Start();
        decoder_->ReadRow(row);
    }

    // EXIF data stands before the first scan in every file seen; one that
    // comes only after the pixels, and turns the picture, comes too late
    // for rows already handed out.
    void End() override {
        decoder_->Finish();
        if (decoder_->orientation() != shownAs_)
            throw DecodeError(Kind::kUnsupported,
                              "the jpeg file gives the picture's orientation after its pixels, too late for a "
                              "picture read row by row");
    }

private:
    std::unique_ptr<JpegRowDecoder> decoder_;
    Orientation shownAs_;
};

// A band (a strip or a row of tiles) held, its rows handed out one by one.
class TiffRows final : public StoredRows {
public:
    explicit TiffRows(std::unique_ptr<TiffRowDecoder> decoder) : decoder_(std::move(decoder)) {}

    void Read(std::uint8_t* row) override {
        const std::size_t rowBytes = RowBytes(decoder_->width());
        if (next_ == filled_) {
            if (band_.empty()) band_.resize(rowBytes * decoder_->bandHeight());
            const ops::RowView view{band_.data(), static_cast<int>(decoder_->width()),
                                    static_cast<int>(decoder_->bandHeight()), static_cast<std::ptrdiff_t>(rowBytes)};
            filled_ = decoder_->ReadBand(view);
            next_ = 0;
        }
        std::memcpy(row, band_.data() + rowBytes * next_++, rowBytes);
    }

private:
    std::unique_ptr<TiffRowDecoder> decoder_;
    std::vector<std::uint8_t> band_;
    std::uint32_t filled_ = 0;  // rows of the band held
    std::uint32_t next_ = 0;
};

class BmpRows final : public StoredRows {
public:
    explicit BmpRows(std::unique_ptr<BmpRowDecoder> decoder) : decoder_(std::move(decoder)) {}
    void Read(std::uint8_t* row) override { decoder_->ReadRow(row); }

private:
    std::unique_ptr<BmpRowDecoder> decoder_;
};

// Reads every stored row, kStripRows at a time, into its place in the shown
// rows (a stored strip becomes shown rows, or shown columns for the
// orientations that swap the sides).
void OrientStrips(StoredRows& rows, int width, int height, Orientation orientation, const ops::RowView& shown) {
    const std::size_t rowBytes = RowBytes(static_cast<std::uint64_t>(width));
    std::vector<std::uint8_t> strip(rowBytes * kStripRows);
    // The orientations that show the stored first row at the bottom or at
    // the right.
    const bool fromTheEnd = orientation == Orientation::kTurned180 || orientation == Orientation::kFlipped ||
                            orientation == Orientation::kTurned90 || orientation == Orientation::kTransversed;
    for (int top = 0; top < height; top += kStripRows) {
        const int count = std::min(kStripRows, height - top);
        for (int i = 0; i < count; ++i) rows.Read(strip.data() + rowBytes * static_cast<std::size_t>(i));
        const ops::RowView stored{strip.data(), width, count, static_cast<std::ptrdiff_t>(rowBytes)};
        const int start = fromTheEnd ? height - top - count : top;
        const ops::RowView place = SwapsSides(orientation)
                                       ? ops::RowView{shown.row(0) + 3 * static_cast<std::ptrdiff_t>(start), count,
                                                      shown.height, shown.stride}
                                       : ops::RowView{shown.row(start), shown.width, count, shown.stride};
        Orient(stored, place, orientation);
    }
    rows.End();
}

// ---------------------------------------------------------------------------
// Readers

// Hands out the stored rows as they come, each mirrored when the picture is
// shown mirrored left to right.
class StreamReader final : public RowReader {
public:
    StreamReader(int width, int height, std::unique_ptr<StoredRows> rows, bool mirrored)
        : RowReader(width, height), rows_(std::move(rows)), mirrored_(mirrored) {}

    void Next(std::uint8_t* row) override {
        if (failure_) std::rethrow_exception(failure_);
        if (next_ >= height()) throw std::logic_error("the picture has no more rows");
        try {
            if (mirrored_) {
                stored_.resize(RowBytes(static_cast<std::uint64_t>(width())));
                rows_->Read(stored_.data());
                const std::ptrdiff_t bytes = static_cast<std::ptrdiff_t>(stored_.size());
                Orient({stored_.data(), width(), 1, bytes}, {row, width(), 1, bytes}, Orientation::kMirrored);
            } else {
                rows_->Read(row);
            }
            if (next_ + 1 == height()) {
                rows_->End();
                rows_.reset();  // the decoder's memory goes with the last row
            }
        } catch (...) {
            failure_ = std::current_exception();
            throw;
        }
        ++next_;
    }

private:
    std::unique_ptr<StoredRows> rows_;
    bool mirrored_;
    std::vector<std::uint8_t> stored_;
    int next_ = 0;
    std::exception_ptr failure_;
};

// Holds the shown picture whole, made by `fill` at the first row, and hands
// out its rows; the memory goes with the last row.
class HeldReader final : public RowReader {
public:
    using Fill = std::function<void(const ops::RowView& shown)>;

    HeldReader(int width, int height, Fill fill) : RowReader(width, height), fill_(std::move(fill)) {}

    void Next(std::uint8_t* row) override {
        if (failure_) std::rethrow_exception(failure_);
        if (next_ >= height()) throw std::logic_error("the picture has no more rows");
        const std::size_t rowBytes = RowBytes(static_cast<std::uint64_t>(width()));
        if (next_ == 0) {
            try {
                held_.reset(new (std::nothrow) std::uint8_t[rowBytes * static_cast<std::size_t>(height())]);
                if (!held_) throw DecodeError(Kind::kNoMemory, "not enough memory to hold the picture");
                fill_({held_.get(), width(), height(), static_cast<std::ptrdiff_t>(rowBytes)});
                fill_ = nullptr;
            } catch (...) {
                held_.reset();
                failure_ = std::current_exception();
                throw;
            }
        }
        std::memcpy(row, held_.get() + rowBytes * static_cast<std::size_t>(next_), rowBytes);
        if (++next_ == height()) held_.reset();
    }

private:
    Fill fill_;
    std::unique_ptr<std::uint8_t[]> held_;
    int next_ = 0;
    std::exception_ptr failure_;
};

// A reader of stored rows, streamed when the picture is shown as stored or
// mirrored left to right, otherwise turned into a held picture. decoderBytes
// is what the decoder holds beyond a few rows.
std::unique_ptr<RowReader> Streamed(std::uint64_t width, std::uint64_t height, std::unique_ptr<StoredRows> rows,
                                    Orientation orientation, std::uint64_t decoderBytes, const RowReaderLimits& limits) {
    const int w = static_cast<int>(width), h = static_cast<int>(height);
    if (orientation != Orientation::kNormal && orientation != Orientation::kMirrored) {
        CheckHold(width, height, RowBytes(width) * (height + kStripRows) + decoderBytes, limits);
        const ShownSize shown = ShownSizeOf({width, height, orientation});
        std::shared_ptr<StoredRows> stored = std::move(rows);
        return std::make_unique<HeldReader>(static_cast<int>(shown.width), static_cast<int>(shown.height),
                                            [stored, w, h, orientation](const ops::RowView& view) {
                                                OrientStrips(*stored, w, h, orientation, view);
                                            });
    }
    if (decoderBytes > 0) CheckHold(width, height, decoderBytes, limits);
    return std::make_unique<StreamReader>(w, h, std::move(rows), orientation == Orientation::kMirrored);
}

// The rows a whole decoder asks for: the held picture's, which must be of
// the size found when the reader was opened.
AllocateRows Into(const ops::RowView& view) {
    return [view, calls = 0](int width, int height) mutable {
        if (width != view.width || height != view.height || calls++ > 0)
            throw DecodeError(Kind::kDamaged, "the file changed while it was read");
        return view;
    };
}

// A picture that a decoder can only read whole: its size from a first run
// that stops where the decoder asks for rows (after the headers), the
// pixels at the first row. bytesPerPixel counts the rows and what the
// decoder holds beside them.
using WholeDecode = std::function<void(const AllocateRows& allocate)>;

std::unique_ptr<RowReader> Whole(const WholeDecode& decode, std::uint64_t bytesPerPixel, const RowReaderLimits& limits) {
    struct SizeFound {
        int width, height;
    };
    SizeFound size{0, 0};
    try {
        decode([](int width, int height) -> ops::RowView { throw SizeFound{width, height}; });
    } catch (const SizeFound& found) {
        size = found;
    }
    if (size.width <= 0 || size.height <= 0) throw DecodeError(Kind::kDamaged, "the picture has no pixels");
    const auto width = static_cast<std::uint64_t>(size.width), height = static_cast<std::uint64_t>(size.height);
    CheckHold(width, height, width * height * bytesPerPixel, limits);
    return std::make_unique<HeldReader>(size.width, size.height,
                                        [decode](const ops::RowView& view) { decode(Into(view)); });
}

// ---------------------------------------------------------------------------
// The formats

std::unique_ptr<RowReader> OpenPng(const RandomAccess& file, const RowReaderLimits& limits) {
    const Orientation orientation = PngOrientationOf(file);
    auto decoder = std::make_unique<PngRowDecoder>(PngCheckedSource(file), limits.maxPixels);
    const std::uint64_t width = decoder->width(), height = decoder->height();
    if (!decoder->interlaced())
        return Streamed(width, height, std::make_unique<PngRows>(std::move(decoder)), orientation, 0, limits);

    // Interlaced: the passes fill the whole picture, and it is turned after.
    const bool turned = orientation != Orientation::kNormal;
    CheckHold(width, height, RowBytes(width) * height * (turned ? 2 : 1), limits);
    const ShownSize shown = ShownSizeOf({width, height, orientation});
    std::shared_ptr<PngRowDecoder> whole = std::move(decoder);
    return std::make_unique<HeldReader>(
        static_cast<int>(shown.width), static_cast<int>(shown.height), [whole, orientation](const ops::RowView& view) {
            const int w = static_cast<int>(whole->width()), h = static_cast<int>(whole->height());
            if (orientation == Orientation::kNormal) {
                whole->ReadAll(view);
                whole->Finish();
                return;
            }
            const std::size_t rowBytes = RowBytes(whole->width());
            std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[rowBytes * static_cast<std::size_t>(h)]);
            if (!bytes) throw DecodeError(Kind::kNoMemory, "not enough memory to hold the picture");
            const ops::RowView stored{bytes.get(), w, h, static_cast<std::ptrdiff_t>(rowBytes)};
            whole->ReadAll(stored);
            whole->Finish();
            Orient(stored, view, orientation);
        });
}

std::unique_ptr<RowReader> OpenJpeg(const RandomAccess& file, const RowReaderLimits& limits) {
    auto decoder = std::make_unique<JpegRowDecoder>(SequentialSource(file), limits.maxPixels);
    const std::uint64_t width = decoder->width(), height = decoder->height();
    const Orientation orientation = decoder->orientation();
    const std::uint64_t coefficients = decoder->coefficientBytes();
    return Streamed(width, height, std::make_unique<JpegRows>(std::move(decoder), orientation), orientation,
                    coefficients, limits);
}

std::unique_ptr<RowReader> OpenTiff(const RandomAccess& file, std::uint32_t page, const RowReaderLimits& limits) {
    auto decoder = std::make_unique<TiffRowDecoder>(file, limits.maxPixels, page);
    const std::uint64_t width = decoder->width(), height = decoder->height();
    const Orientation orientation = decoder->orientation();
    const std::uint64_t band = decoder->bandBytes();
    return Streamed(width, height, std::make_unique<TiffRows>(std::move(decoder)), orientation, band, limits);
}

std::unique_ptr<RowReader> OpenBmp(const RandomAccess& file, const RowReaderLimits& limits) {
    auto decoder = std::make_unique<BmpRowDecoder>(file, limits.maxPixels);
    const int width = decoder->width(), height = decoder->height();
    if (!decoder->runLength()) return std::make_unique<StreamReader>(width, height, std::make_unique<BmpRows>(std::move(decoder)), false);
    const auto w = static_cast<std::uint64_t>(width), h = static_cast<std::uint64_t>(height);
    CheckHold(w, h, RowBytes(w) * h + decoder->wholeFileBytes(), limits);
    std::shared_ptr<BmpRowDecoder> whole = std::move(decoder);
    return std::make_unique<HeldReader>(width, height, [whole](const ops::RowView& view) { whole->ReadAll(Into(view)); });
}

}  // namespace

TooMuchToHold::TooMuchToHold(std::uint64_t width, std::uint64_t height, std::uint64_t needed, std::uint64_t allowed)
    : DecodeError(Kind::kTooLarge,
                  "the picture is " + std::to_string(width) + " x " + std::to_string(height) +
                      " pixels, and reading it would hold " + Mebibytes(needed) + ", more than the " +
                      Mebibytes(allowed) + " allowed",
                  width, height),
      needed_(needed),
      allowed_(allowed) {}

std::unique_ptr<RowReader> OpenRowReader(const RandomAccess& file, std::uint32_t page, const RowReaderLimits& limits) {
    if (file.size == 0) throw DecodeError(Kind::kDamaged, "the file is empty");
    std::uint8_t head[kSniffBytes];
    const std::size_t got = ReadUpTo(file, 0, head, sizeof head);
    const Format format = SniffFormat(std::span<const std::uint8_t>(head, got));
    if (format == Format::kUnknown) throw DecodeError(Kind::kUnsupported, "not a picture format this program reads");
    if (page > 0 && format != Format::kTiff) throw std::out_of_range("the file has only 1 page");
    const std::uint64_t maxPixels = limits.maxPixels;
    switch (format) {
    case Format::kPng: return OpenPng(file, limits);
    case Format::kJpeg: return OpenJpeg(file, limits);
    case Format::kTiff: return OpenTiff(file, page, limits);
    case Format::kBmp: return OpenBmp(file, limits);
    case Format::kGif:
        return Whole([file, maxPixels](const AllocateRows& allocate) { DecodeGif(SequentialSource(file), allocate, maxPixels); },
                     3, limits);
    case Format::kPnm:
        return Whole([file, maxPixels](const AllocateRows& allocate) { DecodePnm(SequentialSource(file), allocate, maxPixels); },
                     3, limits);
    case Format::kIco:
        // The chosen bitmap is held too: up to 4 bytes a pixel and a bit of
        // mask, counted as 5.
        return Whole([file, maxPixels](const AllocateRows& allocate) { DecodeIco(file.read, allocate, maxPixels); },
                     3 + 5, limits);
    case Format::kUnknown: break;
    }
    throw DecodeError(Kind::kUnsupported, "not a picture format this program reads");
}

}  // namespace codec
