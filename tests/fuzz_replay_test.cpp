// Replays, through the fuzz target's own checks (fast and plain forms of
// every operation agree, rows' padding untouched, BMP round trip exact), the
// inputs that once made it fail, and every file of the BMP corpus.
#include "fuzz/picture_input.h"
#include "tests/app_test_support.h"

namespace {

// True when the file decoded to a picture. A failed check aborts the test
// program, which fails the test.
bool Replay(const QString& file) {
    const QByteArray bytes = FileBytes(file);
    return fuzz::RunPictureInput(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                 static_cast<std::size_t>(bytes.size()));
}

TEST(FuzzReplayTest, InputsThatOnceFailedPassNow) {
    const QDir crashes(QStringLiteral(WORKBENCH_FUZZ_CRASHES_DIR));
    for (const QString& name : crashes.entryList(QDir::Files)) {
        SCOPED_TRACE(name.toStdString());
        Replay(crashes.filePath(name));
    }
}

TEST(FuzzReplayTest, EveryCorpusFilePassesTheChainChecks) {
    int decoded = 0;
    for (const char* folder : {"good", "questionable", "bad"})
        for (const QString& file : CorpusFiles(folder)) {
            SCOPED_TRACE(file.toStdString());
            decoded += Replay(file);
        }
    EXPECT_GE(decoded, 27);  // at least every good file
}

}  // namespace
