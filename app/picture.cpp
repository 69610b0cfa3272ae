#include "app/picture.h"

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <cerrno>
#include <cstring>
#include <span>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "codec/bmp.h"

namespace {

// Files larger than this are refused before they are read: no picture within
// the pixel limit needs more, whatever its format.
constexpr qint64 kMaxFileBytes = qint64{2} << 30;

QString Quoted(const QString& fileName) { return QStringLiteral("\"%1\"").arg(fileName); }

[[noreturn]] void FailRead(const QString& fileName, const QString& reason) {
    throw Exception(QStringLiteral("Cannot read %1: %2").arg(Quoted(fileName), reason));
}

[[noreturn]] void FailWrite(const QString& fileName, const QString& reason) {
    throw Exception(QStringLiteral("Cannot write %1: %2").arg(Quoted(fileName), reason));
}

QString Reason(int error) {
    switch (error) {
    case ENOENT: return QStringLiteral("no such file");
    case ENOTDIR: return QStringLiteral("a folder in the path is not a folder");
    case EACCES:
    case EPERM: return QStringLiteral("permission denied");
    case EISDIR: return QStringLiteral("it is a folder");
    case ENOSPC: return QStringLiteral("no space left on the disk");
    case EDQUOT: return QStringLiteral("disk quota exceeded");
    case EFBIG: return QStringLiteral("the file would be larger than allowed");
    case EROFS: return QStringLiteral("the disk is read-only");
    case ENAMETOOLONG: return QStringLiteral("the name is too long");
    case ENOMEM: return QStringLiteral("not enough memory");
    default: return QString::fromLocal8Bit(std::strerror(error)).toLower();
    }
}

QString MemoryLimitReason(std::uint64_t width, std::uint64_t height) {
    return QStringLiteral("the picture is %1 x %2 pixels, more than the limit of %3 pixels")
        .arg(width)
        .arg(height)
        .arg(kMaxPicturePixels);
}

// An open file descriptor that closes itself.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

QByteArray ReadWholeFile(const QString& fileName) {
    const QByteArray path = QFile::encodeName(fileName);
    if (path.isEmpty()) FailRead(fileName, Reason(ENOENT));
    Descriptor fd(::open(path.constData(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) FailRead(fileName, Reason(errno));
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) FailRead(fileName, Reason(errno));
    if (S_ISDIR(info.st_mode)) FailRead(fileName, Reason(EISDIR));
    if (!S_ISREG(info.st_mode)) FailRead(fileName, QStringLiteral("it is not an ordinary file"));
    if (info.st_size > kMaxFileBytes)
        FailRead(fileName, QStringLiteral("the file is larger than %1 bytes").arg(kMaxFileBytes));
    QByteArray bytes;
    try {
        bytes.resize(static_cast<qsizetype>(info.st_size));
    } catch (const std::bad_alloc&) {
        FailRead(fileName, Reason(ENOMEM));
    }
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::read(fd.get(), bytes.data() + done, static_cast<std::size_t>(bytes.size() - done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) FailRead(fileName, Reason(errno));
        if (got == 0) break;  // the file shrank while being read
        done += got;
    }
    bytes.truncate(done);
    return bytes;
}

QImage DecodeBmpFile(const QString& fileName, const QByteArray& bytes) {
    QImage image;
    try {
        const auto file = std::span(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                    static_cast<std::size_t>(bytes.size()));
        codec::DecodeBmp(
            file,
            [&](int width, int height) {
                image = QImage(width, height, QImage::Format_BGR888);
                if (image.isNull()) FailRead(fileName, Reason(ENOMEM));
                return ops::RowView{image.bits(), width, height, image.bytesPerLine()};
            },
            kMaxPicturePixels);
    } catch (const codec::BmpError& error) {
        FailRead(fileName, QString::fromStdString(error.what()));
    } catch (const std::bad_alloc&) {
        FailRead(fileName, Reason(ENOMEM));
    }
    return image;  // null for a picture without pixels
}

QImage To24Bit(const QImage& image) {
    if (image.isNull() || image.format() == QImage::Format_BGR888) return image;
    QImage converted = image.convertToFormat(QImage::Format_BGR888);
    if (converted.isNull()) throw Exception(QStringLiteral("Cannot convert the picture: not enough memory"));
    return converted;
}

QImage DecodeOtherFile(const QString& fileName, const QByteArray& bytes) {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAllocationLimit(static_cast<int>(kMaxPicturePixels * 4 / (1024 * 1024)));
    if (!reader.canRead()) FailRead(fileName, QStringLiteral("not a picture format this program reads"));
    const QSize size = reader.size();
    if (size.isValid() && static_cast<std::uint64_t>(size.width()) * static_cast<std::uint64_t>(size.height()) > kMaxPicturePixels)
        FailRead(fileName, MemoryLimitReason(size.width(), size.height()));
    QImage image = reader.read();
    if (image.isNull()) {
        FailRead(fileName, reader.error() == QImageReader::InvalidDataError
                               ? QStringLiteral("the picture data is damaged or incomplete")
                               : reader.errorString().toLower());
    }
    try {
        return To24Bit(image);
    } catch (const Exception&) {
        FailRead(fileName, Reason(ENOMEM));
    }
}

QImage DecodeFile(const QString& fileName, bool bmpOnly) {
    const QByteArray bytes = ReadWholeFile(fileName);
    const auto head = std::span(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                static_cast<std::size_t>(bytes.size()));
    if (bytes.isEmpty()) FailRead(fileName, QStringLiteral("the file is empty"));
    if (codec::LooksLikeBmp(head)) return DecodeBmpFile(fileName, bytes);
    if (bmpOnly) FailRead(fileName, QStringLiteral("not a BMP file"));
    return DecodeOtherFile(fileName, bytes);
}

// Writes a file beside the target under a temporary name and renames it over
// the target once every byte is on the disk. On any failure the temporary file
// is removed and the target is left exactly as it was.
class AtomicFile {
public:
    explicit AtomicFile(const QString& fileName) : fileName_(fileName), target_(QFile::encodeName(fileName)) {
        if (target_.isEmpty()) FailWrite(fileName_, Reason(ENOENT));
        struct stat info {};
        if (::stat(target_.constData(), &info) == 0) {
            if (S_ISDIR(info.st_mode)) FailWrite(fileName_, Reason(EISDIR));
            if (!S_ISREG(info.st_mode)) FailWrite(fileName_, QStringLiteral("it is not an ordinary file"));
            // Root may write anything; a file without write permission is
            // still kept as the user marked it.
            if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(target_.constData(), W_OK) != 0)
                FailWrite(fileName_, QStringLiteral("the file is read-only"));
            mode_ = info.st_mode & 07777;
        } else {
            const mode_t mask = ::umask(0);
            ::umask(mask);
            mode_ = 0666 & ~mask;
        }
        const QFileInfo where(fileName_);
        temp_ = QFile::encodeName(where.dir().filePath(QStringLiteral(".%1.XXXXXX").arg(where.fileName())));
        const int fd = ::mkostemp(temp_.data(), O_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            FailWrite(fileName_, error == ENOENT ? QStringLiteral("no such folder") : Reason(error));
        }
        fd_ = fd;
    }

    ~AtomicFile() {
        if (fd_ >= 0) {
            ::close(fd_);
            ::unlink(temp_.constData());
        }
    }

    void Write(const std::uint8_t* bytes, std::size_t size) {
        while (size > 0) {
            const ssize_t done = ::write(fd_, bytes, size);
            if (done < 0 && errno == EINTR) continue;
            if (done < 0) FailWrite(fileName_, Reason(errno));
            if (done == 0) FailWrite(fileName_, Reason(ENOSPC));
            bytes += done;
            size -= static_cast<std::size_t>(done);
        }
    }

    void Commit() {
        if (::fchmod(fd_, mode_) != 0 || ::fsync(fd_) != 0) FailWrite(fileName_, Reason(errno));
        const int fd = std::exchange(fd_, -1);
        if (::close(fd) != 0) {
            const int error = errno;
            ::unlink(temp_.constData());
            FailWrite(fileName_, Reason(error));
        }
        if (::rename(temp_.constData(), target_.constData()) != 0) {
            const int error = errno;
            ::unlink(temp_.constData());
            FailWrite(fileName_, Reason(error));
        }
    }

    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

private:
    QString fileName_;
    QByteArray target_;
    QByteArray temp_;
    mode_t mode_ = 0644;
    int fd_ = -1;
};

}  // namespace

void TBitmap::LoadFromFile(const QString& fileName) { image_ = DecodeFile(fileName, /*bmpOnly=*/true); }

void TBitmap::SaveToFile(const QString& fileName) const {
    AtomicFile file(fileName);
    const QImage& image = Empty() ? QImage() : image_;
    const ops::RowView rows{const_cast<std::uint8_t*>(image.constBits()), Width(), Height(),
                            image.isNull() ? 0 : image.bytesPerLine()};
    try {
        codec::EncodeBmp24(rows, [&](const std::uint8_t* bytes, std::size_t size) { file.Write(bytes, size); });
    } catch (const codec::BmpError& error) {
        FailWrite(fileName, QString::fromStdString(error.what()));
    }
    file.Commit();
}

void TBitmap::ConvertTo24Bit() { image_ = To24Bit(image_); }

std::uint8_t* TBitmap::ScanLine(int y) { return image_.scanLine(y); }

ops::RowView TBitmap::Rows() {
    if (Empty()) return {};
    std::uint8_t* bits = image_.bits();  // detaches from any copy sharing the bytes
    if (bits == nullptr) throw Exception(QStringLiteral("Cannot copy the picture: not enough memory"));
    return {bits, image_.width(), image_.height(), image_.bytesPerLine()};
}

void TBitmap::SetImage(const QImage& image) { image_ = To24Bit(image); }

void TPicture::LoadFromFile(const QString& fileName) { bitmap_.SetImage(DecodeFile(fileName, /*bmpOnly=*/false)); }
