// Replays, through the fuzz target's own checks (fast and plain forms of
// every operation agree, rows' padding untouched, BMP round trip exact), the
// inputs that once made it fail, and every file of the BMP corpus.
#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include "fuzz/picture_input.h"

namespace {

QStringList FilesIn(const QString& folder) {
    QStringList files;
    for (const QString& name : QDir(folder).entryList(QDir::Files)) files << folder + "/" + name;
    return files;
}

void Replay(const QString& file) {
    QFile input(file);
    ASSERT_TRUE(input.open(QIODevice::ReadOnly));
    const QByteArray bytes = input.readAll();
    // A failed check aborts the test program, which fails the test.
    fuzz::RunPictureInput(reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size()));
}

TEST(FuzzReplayTest, InputsThatOnceFailedPassNow) {
    for (const QString& file : FilesIn(QStringLiteral(WORKBENCH_FUZZ_CRASHES_DIR))) {
        SCOPED_TRACE(file.toStdString());
        Replay(file);
    }
}

TEST(FuzzReplayTest, EveryCorpusFilePassesTheChainChecks) {
    int decoded = 0;
    for (const char* folder : {"good", "questionable", "bad"}) {
        for (const QString& file : FilesIn(QStringLiteral(WORKBENCH_BMPSUITE_DIR "/") + folder)) {
            SCOPED_TRACE(file.toStdString());
            QFile input(file);
            ASSERT_TRUE(input.open(QIODevice::ReadOnly));
            const QByteArray bytes = input.readAll();
            decoded += fuzz::RunPictureInput(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                             static_cast<std::size_t>(bytes.size()));
        }
    }
    EXPECT_GE(decoded, 27);  // at least every good file
}

}  // namespace
