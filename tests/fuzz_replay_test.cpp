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

class FuzzReplayCorpusTest : public testing::TestWithParam<CorpusFile> {};

// Every good file decodes; the others may be refused, but pass the checks.
TEST_P(FuzzReplayCorpusTest, PassesTheChainChecks) {
    const bool decoded = Replay(GetParam().path);
    EXPECT_TRUE(decoded || GetParam().folder != "good");
}

INSTANTIATE_TEST_SUITE_P(Bmpsuite, FuzzReplayCorpusTest, testing::ValuesIn(AllCorpusFiles()), CorpusFileName);

}  // namespace
