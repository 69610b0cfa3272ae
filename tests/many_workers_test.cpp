// The workers of the many-pictures mode: long-lived processes that run the
// chain in memory, picture after picture, each picture isolated from the
// others and held to the worker's memory limit.
#include <QImage>

#include "tests/runner_test_support.h"

namespace {

using namespace runner_test;

struct ChainCase {
    std::string name;
    int width, height;
    const char* format;  // as Qt writes it
    const char* extension;
    bool random;  // random pixels rather than strokes
};

// Writes the case's picture as in/<name>.<extension>.
std::string MakeCasePicture(const ChainCase& c) {
    std::filesystem::create_directories("in");
    const std::string path = "in/" + c.name + "." + c.extension;
    const QImage picture = c.random ? RandomPicture(c.width, c.height, static_cast<std::uint32_t>(c.width * 7 + c.height))
                                    : StrokePicture(c.width, c.height);
    EXPECT_TRUE(picture.save(QString::fromStdString(path), c.format));
    return path;
}

class InMemoryChainTest : public testing::TestWithParam<ChainCase> {};

// The worker hands each operation's rows to the next; the word chain reads
// each stage back from its BMP file. Both give the same bytes.
TEST_P(InMemoryChainTest, WritesWhatTheWordChainWrites) {
    ScratchDir dir;
    const std::string input = MakeCasePicture(GetParam());
    const ToolRun run = RunTool({"--out", "out", QByteArray::fromStdString(input)});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    ExpectSameAsSingleRun(input, "out/" + GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, InMemoryChainTest,
    testing::Values(ChainCase{"OnePixel", 1, 1, "PNG", "png", true}, ChainCase{"OneAcross", 1, 9, "PNG", "png", true},
                    ChainCase{"TwoAcross", 2, 9, "BMP", "bmp", true}, ChainCase{"TwoDown", 9, 2, "PNG", "png", true},
                    ChainCase{"TwoByTwo", 2, 2, "PPM", "ppm", true}, ChainCase{"ThreeAcross", 3, 40, "PNG", "png", false},
                    ChainCase{"Odd", 47, 33, "PNG", "png", true}, ChainCase{"OddStrokes", 47, 33, "BMP", "bmp", false},
                    ChainCase{"Jpeg", 65, 31, "JPG", "jpg", false},
                    ChainCase{"Gray", 40, 30, "PGM", "pgm", true}, ChainCase{"Full", 640, 480, "PNG", "png", false},
                    ChainCase{"PastTheGrids", 641, 481, "BMP", "bmp", false},
                    ChainCase{"Icon", 32, 32, "ICO", "ico", true}),
    [](const auto& info) { return info.param.name; });

TEST(ManyWorkersTest, APictureWithoutPixelsGivesWhatTheWordChainGives) {
    ScratchDir dir;
    // A BMP file of 0 x 0 pixels: headers and no pixel data.
    QByteArray bmp("BM", 2);
    const auto put = [&bmp](std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) bmp.append(static_cast<char>(value >> (8 * i)));
    };
    put(54, 4), put(0, 4), put(54, 4), put(40, 4), put(0, 4), put(0, 4), put(1, 2), put(24, 2);
    put(0, 4), put(0, 4), put(2835, 4), put(2835, 4), put(0, 4), put(0, 4);
    ASSERT_TRUE(WriteBytes("empty.bmp", bmp));
    const ToolRun run = RunTool({"--out", "out", "--report", "r.jsonl", "empty.bmp"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    ExpectSameAsSingleRun("empty.bmp", "out/empty");
    const std::vector<QJsonObject> entries = ReportEntries("r.jsonl");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]["width"].toInt(-1), 0);
    EXPECT_EQ(entries[0]["height"].toInt(-1), 0);
}

// The workers are started once and take picture after picture: a run of
// many pictures never has more worker processes than --jobs, and sees
// only a few of them over its life.
TEST(ManyWorkersTest, AFewWorkersTakeEveryPicture) {
    ScratchDir dir;
    for (int i = 0; i < 40; ++i) MakePicture("in/p" + std::to_string(100 + i) + ".png", 300, 200, static_cast<std::uint32_t>(i));
    Child run({"--out", "out", "--jobs", "2", "in"});
    std::set<pid_t> seen;
    std::size_t most = 0;
    while (Lines(run.OutputSoFar()).size() < 41) {
        const std::vector<pid_t> workers = ChildrenOf(run.pid());
        most = std::max(most, workers.size());
        seen.insert(workers.begin(), workers.end());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (!Alive(run.pid())) break;
    }
    const ToolRun result = run.Wait();
    ASSERT_EQ(result.exitCode, 0) << result.err.toStdString();
    EXPECT_LE(most, 2u);
    EXPECT_LE(seen.size(), 2u) << "a worker was started for a picture";
    for (int i = 0; i < 40; i += 13) ExpectSameAsSingleRun("in/p" + std::to_string(100 + i) + ".png", "out/p" + std::to_string(100 + i));
}

TEST(ManyWorkersTest, AWorkerKilledMidPictureFailsThatPictureAndANewWorkerDoesTheRest) {
    ScratchDir dir;
    for (int i = 0; i < 4; ++i) MakePicture("in/a" + std::to_string(i) + ".png", 64, 48, static_cast<std::uint32_t>(i));
    MakePicture("in/big.png", 8000, 6000, 1);
    for (int i = 0; i < 4; ++i) MakePicture("in/c" + std::to_string(i) + ".png", 64, 48, static_cast<std::uint32_t>(i + 4));
    Child run({"--out", "out", "--jobs", "1", "--report", "r.jsonl", "in"});
    // The small pictures before "big" take milliseconds; "big" takes long
    // enough that the worker is killed in the middle of it, once its result
    // folder is made.
    WaitUntil([&] { return std::filesystem::exists("out/big"); });
    std::vector<pid_t> workers;
    WaitUntil([&] { return (workers = ChildrenOf(run.pid())).size() == 1 && HasOpen(workers[0], "in/big.png"); });
    ASSERT_EQ(::kill(workers[0], SIGKILL), 0);
    const ToolRun result = run.Wait();
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "workbench-batch: \"in/big.png\": the worker was killed by signal 9 (SIGKILL)\n");
    const std::vector<QJsonObject> entries = ReportEntries("r.jsonl");
    EXPECT_EQ(Inputs(entries, "failed"), std::multiset<std::string>{"in/big.png"});
    EXPECT_EQ(Inputs(entries, "done").size(), 8u);
    for (int i = 0; i < 4; ++i) ExpectSameAsSingleRun("in/c" + std::to_string(i) + ".png", "out/c" + std::to_string(i));
    EXPECT_FALSE(std::filesystem::exists("out/big"));
    EXPECT_TRUE(Temporaries("out").empty());
}

TEST(ManyWorkersTest, APictureOverTheMemoryLimitFailsAloneNamingTheLimit) {
    ScratchDir dir;
    // 4000 x 3000 pixels take 36 MB as 24-bit rows alone, and a PPM file
    // is read whole (a PNG file would be read a few rows at a time).
    MakePicture("in/big.ppm", 4000, 3000, 1);
    MakePicture("in/small.png", 64, 48, 3);
    MakePicture("in/tiny.png", 9, 7, 4);
    const ToolRun run = RunTool({"--out", "out", "--jobs", "1", "--max-memory", "40M", "--report", "r.jsonl", "in"});
    EXPECT_EQ(run.exitCode, 1);
    const QList<QByteArray> errors = Lines(run.err);
    ASSERT_EQ(errors.size(), 1) << run.err.toStdString();
    EXPECT_TRUE(errors[0].startsWith("workbench-batch: \"in/big.ppm\": the picture is 4000 x 3000 pixels and needs about "))
        << errors[0].toStdString();
    EXPECT_TRUE(errors[0].endsWith(" MB, more than the worker's memory limit of 40 MB (--max-memory)"))
        << errors[0].toStdString();
    EXPECT_EQ(Inputs(ReportEntries("r.jsonl"), "done"), (std::multiset<std::string>{"in/small.png", "in/tiny.png"}));
    ExpectSameAsSingleRun("in/small.png", "out/small");
    EXPECT_FALSE(std::filesystem::exists("out/big"));
    // With room enough it passes.
    const ToolRun roomy = RunTool({"--out", "out", "--jobs", "1", "--max-memory=1G", "in"});
    EXPECT_EQ(roomy.exitCode, 0) << roomy.err.toStdString();
    ExpectSameAsSingleRun("in/big.ppm", "out/big");
}

struct SizeCase {
    std::string name;
    QByteArray text;
    QByteArray message;  // empty: accepted
};

class MemorySizeTest : public testing::TestWithParam<SizeCase> {};

TEST_P(MemorySizeTest, MaxMemoryTakesBytesOrASuffix) {
    ScratchDir dir;
    MakePicture("a.png", 9, 7, 1);
    const ToolRun run = RunTool({"--out", "out", "--max-memory", GetParam().text, "a.png"});
    if (GetParam().message.isEmpty()) {
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    } else {
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.err, "workbench-batch: " + GetParam().message + "\nTry 'workbench-batch --help' for more.\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, MemorySizeTest,
    testing::Values(SizeCase{"Bytes", "50000000", ""}, SizeCase{"Kilobytes", "60000k", ""},
                    SizeCase{"Megabytes", "64M", ""}, SizeCase{"GigabytesWithB", "2GB", ""},
                    SizeCase{"Zero", "0", R"('--max-memory' needs a size such as 800M or 2G, not "0")"},
                    SizeCase{"UnknownSuffix", "12X", R"('--max-memory' needs a size such as 800M or 2G, not "12X")"},
                    SizeCase{"Fraction", "1.5G", R"('--max-memory' needs a size such as 800M or 2G, not "1.5G")"},
                    SizeCase{"TooLarge", "99999999999G", R"('--max-memory' needs a size such as 800M or 2G, not "99999999999G")"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
