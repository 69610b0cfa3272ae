// Where the window meets the core: a bitmap shown as a QImage over the
// bitmap's own bytes, a QImage taken into a bitmap, the core's UTF-8 texts
// as QString and a name from a dialog as the bytes the system uses.
#pragma once

#include <QImage>
#include <QString>

#include "core/files.h"
#include "core/picture.h"

// The bitmap's pixels as a 24-bit QImage that reads the bitmap's bytes
// without copying them: valid while the bitmap keeps them (until it is
// written to, loaded or released). A null QImage for an empty bitmap.
QImage ImageOf(const TBitmap& bitmap);

// A bitmap holding the picture's pixels as 24-bit rows, whatever the
// QImage's format. Throws std::bad_alloc.
TBitmap BitmapOf(const QImage& image);

inline QString TextOf(const std::string& text) { return QString::fromStdString(text); }

// A name from a dialog, encoded as the system encodes names.
FileName FileNameOf(const QString& text);

// Qt's platform code reports through Qt's message handler; this keeps their
// lines off standard error, so that it carries only the program's own
// messages. A fatal message still goes out before the end.
void KeepQtQuiet();
