#include "app/qt_bridge.h"

#include <QFile>

#include <cstring>
#include <new>
#include <unistd.h>

QImage ImageOf(const TBitmap& bitmap) {
    if (bitmap.Empty()) return QImage();
    const ops::RowView rows = bitmap.ConstRows();
    // Read-only: a QImage that is written to copies the bytes first.
    return QImage(static_cast<const uchar*>(rows.data), rows.width, rows.height, static_cast<qsizetype>(rows.stride),
                  QImage::Format_BGR888);
}

TBitmap BitmapOf(const QImage& image) {
    TBitmap bitmap;
    if (image.isNull() || image.width() == 0 || image.height() == 0) return bitmap;
    const QImage converted =
        image.format() == QImage::Format_BGR888 ? image : image.convertToFormat(QImage::Format_BGR888);
    if (converted.isNull()) throw std::bad_alloc();
    const ops::RowView rows = bitmap.Allocate(converted.width(), converted.height());
    for (int y = 0; y < rows.height; ++y)
        std::memcpy(rows.row(y), converted.constScanLine(y), 3 * static_cast<std::size_t>(rows.width));
    return bitmap;
}

FileName FileNameOf(const QString& text) { return FileName(QFile::encodeName(text).toStdString()); }

void KeepQtQuiet() {
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type != QtFatalMsg) return;
        const QByteArray line = message.toUtf8() + '\n';
        (void)!::write(STDERR_FILENO, line.constData(), static_cast<std::size_t>(line.size()));
    });
}
