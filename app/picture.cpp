#include "app/picture.h"

#include <algorithm>
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

QString TooLargeReason(std::uint64_t width, std::uint64_t height, std::uint64_t limit = kMaxPicturePixels) {
    return QStringLiteral("the picture is %1 x %2 pixels, more than the limit of %3 pixels")
        .arg(width)
        .arg(height)
        .arg(limit);
}

const QString kDamaged = QStringLiteral("the picture data is damaged or incomplete");

[[noreturn]] void FailDecode(const FileName& name, const codec::DecodeError& error,
                             std::uint64_t limit = kMaxPicturePixels) {
    const QString detail = QString::fromStdString(error.what());
    switch (error.kind()) {
    case codec::DecodeError::Kind::kTooLarge: FailRead(name, TooLargeReason(error.width(), error.height(), limit));
    case codec::DecodeError::Kind::kUnsupported: FailRead(name, detail);
    case codec::DecodeError::Kind::kNoMemory: FailRead(name, Reason(ENOMEM));
    case codec::DecodeError::Kind::kDamaged: break;
    }
    FailRead(name, detail.isEmpty() ? kDamaged : QStringLiteral("%1 (%2)").arg(kDamaged, detail));
}

// A new 24-bit picture, refused when its rows would be wider than a QImage
// holds; std::bad_alloc when its memory cannot be had.
QImage NewPicture(std::uint64_t width, std::uint64_t height, const FileName& name) {
    if (width > kMaxPictureWidth)
        FailRead(name, QStringLiteral("the picture is %1 x %2 pixels, wider than the limit of %3 pixels a row")
                           .arg(width)
                           .arg(height)
                           .arg(kMaxPictureWidth));
    QImage image(static_cast<int>(width), static_cast<int>(height), QImage::Format_BGR888);
    if (image.isNull()) throw std::bad_alloc();
    return image;
}

ops::RowView RowsIn(const QImage& image) {
    return {const_cast<std::uint8_t*>(image.constBits()), image.width(), image.height(), image.bytesPerLine()};
}

// Rows of a new 24-bit picture for a decoder to fill.
codec::AllocateRows RowsOf(QImage& image, const FileName& name) {
    return [&image, &name](int width, int height) {
        image = NewPicture(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height), name);
        return ops::RowView{image.bits(), width, height, image.bytesPerLine()};
    };
}

// The picture as its file means it to be shown: turned or mirrored into
// new rows when the file declares an orientation.
QImage Shown(const QImage& stored, codec::Orientation orientation, const FileName& name) {
    if (orientation == codec::Orientation::kNormal || stored.isNull()) return stored;
    const codec::ShownSize size = codec::ShownSizeOf(
        {static_cast<std::uint64_t>(stored.width()), static_cast<std::uint64_t>(stored.height()), orientation});
    const QImage shown = NewPicture(size.width, size.height, name);
    codec::Orient(RowsIn(stored), RowsIn(shown), orientation);
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

QImage To24Bit(const QImage& image) {
    if (image.isNull() || image.format() == QImage::Format_BGR888) return image;
    QImage converted = image.convertToFormat(QImage::Format_BGR888);
    if (converted.isNull()) throw std::bad_alloc();
    return converted;
}

// A BMP file: its headers and palette from the first bytes, then no more of
// the pixel data than the decoder can use, so a huge gap before the pixels
// or junk after them costs nothing.
QImage DecodeBmpFile(files::InputFile& file, const std::vector<std::uint8_t>& head) {
    QByteArray bytes(reinterpret_cast<const char*>(head.data()), static_cast<qsizetype>(head.size()));
    const std::optional<codec::BmpExtent> extent = codec::BmpExtentOf(head);
    if (extent && file.size() > head.size() && extent->width * extent->height <= kMaxPicturePixels &&
        extent->pixelOffset < file.size()) {
        const std::uint64_t pixelBytes = std::min(extent->pixelBytes, file.size() - extent->pixelOffset);
        // Adds up to count bytes from the file's current place.
        const auto append = [&](std::uint64_t count) {
            const qsizetype had = bytes.size();
            bytes.resize(had + static_cast<qsizetype>(count));
            bytes.truncate(had + static_cast<qsizetype>(file.ReadFully(
                                     reinterpret_cast<std::uint8_t*>(bytes.data()) + had, static_cast<std::size_t>(count))));
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
            for (int i = 0; i < 4; ++i) bytes[10 + i] = static_cast<char>(offset >> (8 * i));
        }
    }
    QImage image;
    const auto data = std::span(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                static_cast<std::size_t>(bytes.size()));
    codec::DecodeBmp(data, RowsOf(image, file.name()), kMaxPicturePixels);
    return image;  // null for a picture without pixels
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

QString OnlyPages(std::uint32_t count) {
    return count == 1 ? QStringLiteral("the file has only 1 page") : QStringLiteral("the file has only %1 pages").arg(count);
}

QImage DecodeTiffFile(files::InputFile& file, int page) {
    const codec::RandomAccess access = AccessTo(file);
    const std::uint32_t pages = codec::CountTiffPages(access);
    if (static_cast<std::uint32_t>(page) >= pages) FailRead(file.name(), OnlyPages(pages));
    QImage image;
    const codec::DeclaredSize declared =
        codec::DecodeTiff(access, RowsOf(image, file.name()), kMaxPicturePixels, static_cast<std::uint32_t>(page));
    return Shown(image, declared.orientation, file.name());
}

QImage DecodeFile(const FileName& name, bool bmpOnly, int page = 0) {
    files::InputFile file(name);
    if (file.size() == 0) FailRead(name, QStringLiteral("the file is empty"));
    try {
        std::vector<std::uint8_t> head(std::min<std::uint64_t>(file.size(), kHeadBytes));
        head.resize(file.ReadFully(head.data(), head.size()));
        const codec::Format format =
            codec::SniffFormat(std::span(head).first(std::min(head.size(), codec::kSniffBytes)));
        if (bmpOnly && format != codec::Format::kBmp) FailRead(name, QStringLiteral("not a BMP file"));
        if (page > 0 && format != codec::Format::kTiff && format != codec::Format::kUnknown) FailRead(name, OnlyPages(1));
        QImage image;
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
        FailRead(name, QStringLiteral("not a picture format this program reads"));
    } catch (const codec::DecodeError& error) {
        FailDecode(name, error);
    } catch (const std::bad_alloc&) {
        FailRead(name, Reason(ENOMEM));
    }
}

}  // namespace

void KeepQtQuiet() {
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type != QtFatalMsg) return;
        const QByteArray line = message.toUtf8() + '\n';
        (void)!::write(STDERR_FILENO, line.constData(), static_cast<std::size_t>(line.size()));
    });
}

void TBitmap::LoadFromFile(const FileName& fileName) { image_ = DecodeFile(fileName, /*bmpOnly=*/true); }

void TBitmap::SaveToFile(const FileName& fileName) const {
    files::OutputFile file(fileName);
    const QImage& image = Empty() ? QImage() : image_;
    const ops::RowView rows{const_cast<std::uint8_t*>(image.constBits()), Width(), Height(),
                            image.isNull() ? 0 : image.bytesPerLine()};
    try {
        codec::EncodeBmp24(rows, [&](const std::uint8_t* bytes, std::size_t size) { file.Write(bytes, size); });
    } catch (const codec::BmpError& error) {
        FailWrite(fileName, QString::fromStdString(error.what()));
    } catch (const std::bad_alloc&) {
        FailWrite(fileName, Reason(ENOMEM));
    }
    file.Commit();
}

void TBitmap::ConvertTo24Bit() {
    try {
        image_ = To24Bit(image_);
    } catch (const std::bad_alloc&) {
        throw Exception(QStringLiteral("Cannot convert the picture to 24-bit pixels: not enough memory"));
    }
}

std::uint8_t* TBitmap::ScanLine(int y) { return image_.scanLine(y); }

ops::RowView TBitmap::Rows() {
    if (Empty()) return {};
    std::uint8_t* bits = image_.bits();  // detaches from any copy sharing the bytes
    if (bits == nullptr) throw Exception(QStringLiteral("Cannot copy the picture: not enough memory"));
    return {bits, image_.width(), image_.height(), image_.bytesPerLine()};
}

void TBitmap::SetImage(const QImage& image) {
    try {
        image_ = To24Bit(image);
    } catch (const std::bad_alloc&) {
        throw Exception(QStringLiteral("Cannot convert the picture to 24-bit pixels: not enough memory"));
    }
}

namespace {

[[noreturn]] void FailHold(const FileName& name, const codec::TooMuchToHold& error) {
    throw PictureTooLargeToHold(QStringLiteral("Cannot read %1: %2").arg(name.Shown(), QString::fromStdString(error.what())),
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
    if (file.size() == 0) FailRead(fileName, QStringLiteral("the file is empty"));
    try {
        std::uint8_t head[codec::kSniffBytes] = {};
        const std::size_t got = file.ReadFully(head, sizeof head);
        const codec::Format format = codec::SniffFormat(std::span(head, got));
        if (format == codec::Format::kUnknown) FailRead(fileName, QStringLiteral("not a picture format this program reads"));
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
    bitmap_.SetImage(DecodeFile(fileName, /*bmpOnly=*/false, page));
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
