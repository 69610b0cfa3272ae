// Replays, through the fuzz target's own checks (fast and plain forms of
// every operation agree, rows' padding untouched, BMP round trip exact, the
// centre lines' files the same whole and streamed), the inputs that once
// made it fail, every file of the BMP corpus, and the seeds.
#include "fuzz/picture_input.h"
#include "tests/app_test_support.h"

#include <QFileInfo>

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

// The fuzzer's seeds are small pictures of every format it reads: each one
// decodes and passes the chain's checks.
TEST(FuzzReplayTest, EverySeedDecodesAndPassesTheChainChecks) {
    const QDir seeds(QStringLiteral(WORKBENCH_SOURCE_DIR "/fuzz/seeds"));
    int replayed = 0;
    for (const QString& folder : seeds.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QDir dir(seeds.filePath(folder));
        const QStringList files = dir.entryList(QDir::Files);
        EXPECT_FALSE(files.isEmpty()) << folder.toStdString() << " holds no seed";
        for (const QString& name : files) {
            SCOPED_TRACE((folder + "/" + name).toStdString());
            EXPECT_LT(QFileInfo(dir.filePath(name)).size(), 2048) << "seeds are kept small";
            EXPECT_TRUE(Replay(dir.filePath(name)));
            ++replayed;
        }
    }
    EXPECT_GE(replayed, 4);
}

}  // namespace
