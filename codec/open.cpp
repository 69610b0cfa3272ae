#include "codec/open.h"

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
#include "codec/jpeg.h"
#include "codec/orient.h"
#include "codec/png.h"
#include "codec/tiff.h"

namespace codec {
namespace {

using Kind = DecodeError::Kind;

// Stored rows gathered before they are turned into the shown picture: as
// many as codec/orient turns in one tile.
constexpr int kStripRows = 32;

std::uint64_t RowBytes(std::uint64_t width) { return 3 * width; }

void CheckHold(std::uint64_t width, std::uint64_t height, std::uint64_t needed, const OpenOptions& options) {
    if (needed > options.wholeBytes) throw TooMuchToHold(width, height, needed, options.wholeBytes);
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
    JpegRows(std::shared_ptr<JpegRowDecoder> decoder, Orientation shownAs)
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
    std::shared_ptr<JpegRowDecoder> decoder_;
    Orientation shownAs_;
};

// A band (a strip or a row of tiles) held, its rows handed out one by one.
class TiffRows final : public StoredRows {
public:
    explicit TiffRows(std::shared_ptr<TiffRowDecoder> decoder) : decoder_(std::move(decoder)) {}

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
    std::shared_ptr<TiffRowDecoder> decoder_;
    std::vector<std::uint8_t> band_;
    std::uint32_t filled_ = 0;  // rows of the band held
    std::uint32_t next_ = 0;
};

class BmpRows final : public StoredRows {
public:
    explicit BmpRows(std::shared_ptr<BmpRowDecoder> decoder) : decoder_(std::move(decoder)) {}
    void Read(std::uint8_t* row) override { decoder_->ReadRow(row); }

private:
    std::shared_ptr<BmpRowDecoder> decoder_;
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
                                    Orientation orientation, std::uint64_t decoderBytes, const OpenOptions& limits) {
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

}  // namespace

// ---------------------------------------------------------------------------
// The formats that read by rows

Picture::Opened OpenPng(const RandomAccess& file, std::uint32_t, const OpenOptions& limits) {
    // The orientation is wanted before the rows, and an eXIf chunk may
    // stand after the image data: it is looked for by walking the chunks
    // by their lengths, which libpng does not give before it has read them.
    const Orientation orientation = PngOrientationOf(file);
    if (limits.reading == Reading::kWhole) {
        // The file's bytes as they are: libpng finds damage where it meets
        // it, as the whole load always has.
        std::shared_ptr<PngRowDecoder> decoder = std::make_shared<PngRowDecoder>(SequentialSource(file), limits.maxPixels);
        return {DeclaredSize{decoder->width(), decoder->height(), orientation, decoder->resolution()}, 1, nullptr,
                [decoder](const AllocateRows& allocate) {
                    const ops::RowView rows = AllocateFitting(allocate, static_cast<int>(decoder->width()),
                                                              static_cast<int>(decoder->height()));
                    decoder->ReadAll(rows);
                    decoder->Finish();
                    return decoder->orientation();
                }};
    }
    auto decoder = std::make_unique<PngRowDecoder>(PngCheckedSource(file), limits.maxPixels);
    const std::uint64_t width = decoder->width(), height = decoder->height();
    const DeclaredSize stored = DeclaredSize{width, height, orientation, decoder->resolution()};
    if (!decoder->interlaced())
        return {stored, 1, Streamed(width, height, std::make_unique<PngRows>(std::move(decoder)), orientation, 0, limits), {}};

    // Interlaced: the passes fill the whole picture, and it is turned after.
    const bool turned = orientation != Orientation::kNormal;
    CheckHold(width, height, RowBytes(width) * height * (turned ? 2 : 1), limits);
    const ShownSize shown = ShownSizeOf({width, height, orientation});
    std::shared_ptr<PngRowDecoder> whole = std::move(decoder);
    return {stored, 1,
            std::make_unique<HeldReader>(
                static_cast<int>(shown.width), static_cast<int>(shown.height),
                [whole, orientation](const ops::RowView& view) {
                    const int w = static_cast<int>(whole->width()), h = static_cast<int>(whole->height());
                    if (orientation == Orientation::kNormal) {
                        whole->ReadAll(view);
                        whole->Finish();
                        return;
                    }
                    const std::size_t rowBytes = RowBytes(whole->width());
                    std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow)
                                                              std::uint8_t[rowBytes * static_cast<std::size_t>(h)]);
                    if (!bytes) throw DecodeError(Kind::kNoMemory, "not enough memory to hold the picture");
                    const ops::RowView stored{bytes.get(), w, h, static_cast<std::ptrdiff_t>(rowBytes)};
                    whole->ReadAll(stored);
                    whole->Finish();
                    Orient(stored, view, orientation);
                }),
            {}};
}

Picture::Opened OpenJpeg(const RandomAccess& file, std::uint32_t, const OpenOptions& limits) {
    std::shared_ptr<JpegRowDecoder> decoder = std::make_shared<JpegRowDecoder>(SequentialSource(file), limits.maxPixels);
    const std::uint64_t width = decoder->width(), height = decoder->height();
    const Orientation orientation = decoder->orientation();
    const DeclaredSize stored = DeclaredSize{width, height, orientation, decoder->resolution()};
    if (limits.reading == Reading::kWhole)
        return {stored, 1, nullptr, [decoder](const AllocateRows& allocate) {
                    // A file of several scans is read whole before the rows are asked for.
                    decoder->Start();
                    const ops::RowView rows = AllocateFitting(allocate, static_cast<int>(decoder->width()),
                                                              static_cast<int>(decoder->height()));
                    for (int y = 0; y < rows.height; ++y) decoder->ReadRow(rows.row(y));
                    decoder->Finish();
                    return decoder->orientation();
                }};
    const std::uint64_t coefficients = decoder->coefficientBytes();
    return {stored, 1,
            Streamed(width, height, std::make_unique<JpegRows>(decoder, orientation), orientation, coefficients, limits),
            {}};
}

Picture::Opened OpenTiff(const RandomAccess& file, std::uint32_t page, const OpenOptions& limits) {
    std::shared_ptr<TiffRowDecoder> decoder = std::make_shared<TiffRowDecoder>(file, limits.maxPixels, page);
    const std::uint64_t width = decoder->width(), height = decoder->height();
    const Orientation orientation = decoder->orientation();
    const DeclaredSize stored = DeclaredSize{width, height, orientation, decoder->resolution()};
    if (limits.reading == Reading::kWhole)
        return {stored, decoder->pages(), nullptr, [decoder](const AllocateRows& allocate) {
                    const ops::RowView rows = AllocateFitting(allocate, static_cast<int>(decoder->width()),
                                                              static_cast<int>(decoder->height()));
                    for (int top = 0; top < rows.height;) {
                        const ops::RowView band{rows.row(top), rows.width, rows.height - top, rows.stride};
                        top += static_cast<int>(decoder->ReadBand(band));
                    }
                    return decoder->orientation();
                }};
    const std::uint64_t band = decoder->bandBytes();
    const std::uint32_t pages = decoder->pages();
    return {stored, pages, Streamed(width, height, std::make_unique<TiffRows>(decoder), orientation, band, limits), {}};
}

Picture::Opened OpenBmp(const RandomAccess& file, std::uint32_t, const OpenOptions& limits) {
    // A packed bitmap is read as the BMP file it stands for.
    std::shared_ptr<BmpRowDecoder> decoder = std::make_shared<BmpRowDecoder>(AsBmpFile(file), limits.maxPixels);
    const int width = decoder->width(), height = decoder->height();
    const auto w = static_cast<std::uint64_t>(width), h = static_cast<std::uint64_t>(height);
    const DeclaredSize stored = DeclaredSize{w, h, Orientation::kNormal, decoder->resolution()};
    if (limits.reading == Reading::kWhole)
        return {stored, 1, nullptr, [decoder](const AllocateRows& allocate) {
                    if (decoder->runLength()) {
                        decoder->ReadAll(allocate);
                    } else if (decoder->width() > 0) {
                        // Row by row from the file: its pixel data is never held whole.
                        const ops::RowView rows = AllocateFitting(allocate, decoder->width(), decoder->height());
                        for (int y = 0; y < rows.height; ++y) decoder->ReadRow(rows.row(y));
                    }
                    return Orientation::kNormal;
                }};
    if (!decoder->runLength()) return {stored, 1, std::make_unique<StreamReader>(width, height, std::make_unique<BmpRows>(decoder), false), {}};
    CheckHold(w, h, RowBytes(w) * h + decoder->wholeFileBytes(), limits);
    return {stored, 1,
            std::make_unique<HeldReader>(width, height, [decoder](const ops::RowView& view) { decoder->ReadAll(Into(view)); }),
            {}};
}

Picture::Opened OpenWhole(const std::function<DeclaredSize(const AllocateRows&)>& decode, std::uint64_t bytesPerPixel,
                          const OpenOptions& options) {
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
    const DeclaredSize stored = DeclaredSize{width, height, Orientation::kNormal};
    if (options.reading == Reading::kWhole)
        return {stored, 1, nullptr, [decode](const AllocateRows& allocate) {
                    decode(allocate);
                    return Orientation::kNormal;
                }};
    CheckHold(width, height, width * height * bytesPerPixel, options);
    return {stored, 1,
            std::make_unique<HeldReader>(size.width, size.height, [decode](const ops::RowView& view) { decode(Into(view)); }),
            {}};
}

// ---------------------------------------------------------------------------
// The entry

OtherFormat::OtherFormat(Format wanted, Format found)
    : DecodeError(Kind::kUnsupported, std::string("not a ") + FormatName(wanted) + " file"), wanted_(wanted), found_(found) {}

Picture::~Picture() = default;

Resolution Picture::resolution() const { return ShownResolutionOf(stored_); }

void Picture::Next(std::uint8_t* row) {
    if (!opened_.rows) throw std::logic_error("the picture was opened to be read whole");
    started_ = true;
    opened_.rows->Next(row);
}

void Picture::ReadWhole(const AllocateRows& allocate) {
    if (started_) throw std::logic_error("the picture is read already");
    started_ = true;
    if (width_ == 0 || height_ == 0) return;
    if (opened_.rows) {
        const ops::RowView rows = AllocateFitting(allocate, width_, height_);
        for (int y = 0; y < height_; ++y) opened_.rows->Next(rows.row(y));
        return;
    }
    const auto checkWidth = [this](std::uint64_t width, std::uint64_t height) {
        if (width > maxWidth_) throw RowsTooWide(width, height, maxWidth_);
    };
    // The stored rows: the caller's when the picture is shown as stored,
    // otherwise held here until they are turned into the caller's.
    const Orientation assumed = stored_.orientation;
    std::unique_ptr<std::uint8_t[]> held;
    ops::RowView stored{};
    bool inCallers = false;
    const Orientation orientation = opened_.whole([&](int width, int height) {
        checkWidth(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height));
        if (assumed == Orientation::kNormal) {
            stored = AllocateFitting(allocate, width, height);
            inCallers = true;
        } else {
            const std::size_t rowBytes = 3 * static_cast<std::size_t>(width);
            held.reset(new std::uint8_t[rowBytes * static_cast<std::size_t>(height)]);
            stored = {held.get(), width, height, static_cast<std::ptrdiff_t>(rowBytes)};
        }
        return stored;
    });
    opened_.whole = nullptr;  // the decoder's memory goes with it
    if (stored.data == nullptr || (inCallers && orientation == Orientation::kNormal)) return;
    if (inCallers) {
        // Turned by EXIF data after the pixels: the caller's rows hold the
        // stored picture, kept here while the shown rows are asked for.
        const std::size_t rowBytes = 3 * static_cast<std::size_t>(stored.width);
        held.reset(new std::uint8_t[rowBytes * static_cast<std::size_t>(stored.height)]);
        const ops::RowView copy{held.get(), stored.width, stored.height, static_cast<std::ptrdiff_t>(rowBytes)};
        for (int y = 0; y < stored.height; ++y) std::memcpy(copy.row(y), stored.row(y), rowBytes);
        stored = copy;
    }
    const ShownSize shown = ShownSizeOf({static_cast<std::uint64_t>(stored.width), static_cast<std::uint64_t>(stored.height),
                                         orientation});
    checkWidth(shown.width, shown.height);
    const ops::RowView rows = AllocateFitting(allocate, static_cast<int>(shown.width), static_cast<int>(shown.height));
    Orient(stored, rows, orientation);
    stored_.orientation = orientation;
    width_ = rows.width;
    height_ = rows.height;
}

std::unique_ptr<Picture> OpenPicture(const RandomAccess& file, std::uint32_t page, const OpenOptions& options) {
    if (file.size == 0) throw EmptyFile();
    const Format format = SniffFormat(file);
    if (options.only != Format::kUnknown && format != options.only) throw OtherFormat(options.only, format);
    const Opener open = OpenerOf(format);
    if (open == nullptr) throw DecodeError(Kind::kUnsupported, "not a picture format this program reads");
    if (page > 0 && format != Format::kTiff) throw NoSuchPage(1);
    std::unique_ptr<Picture> picture(new Picture());
    picture->format_ = format;
    picture->maxWidth_ = options.maxWidth;
    picture->opened_ = open(file, page, options);
    picture->pages_ = picture->opened_.pages;
    picture->stored_ = picture->opened_.stored;
    if (picture->opened_.rows) {
        picture->width_ = picture->opened_.rows->width();
        picture->height_ = picture->opened_.rows->height();
    } else {
        const ShownSize shown = ShownSizeOf(picture->stored_);
        picture->width_ = static_cast<int>(shown.width);
        picture->height_ = static_cast<int>(shown.height);
    }
    return picture;
}

std::uint32_t PageCount(const RandomAccess& file) {
    if (SniffFormat(file) != Format::kTiff) return 1;
    return CountTiffPages(file);
}

}  // namespace codec
