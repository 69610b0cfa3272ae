// What the many-pictures mode keeps: --keep picks the stages written,
// --format their file format. A PNG stage file decodes to the pixels of the
// BMP stage file the word chain writes; the record names what was kept, so
// that a run asking for something else does the picture again.
#include <QJsonArray>

#include <span>

#include "codec/bmp.h"
#include "codec/png.h"
#include "tests/runner_test_support.h"

namespace {

using namespace runner_test;

struct Pixels {
    int width = 0, height = 0;
    std::vector<std::uint8_t> bytes;  // 3 * width a row, no padding
};

// A stage file decoded by the codec: BMP or PNG, by its name.
Pixels Decoded(const std::string& path) {
    const std::string file = ReadAll(path);
    Pixels pixels;
    const codec::AllocateRows allocate = [&pixels](int width, int height) {
        pixels.width = width;
        pixels.height = height;
        pixels.bytes.assign(static_cast<std::size_t>(3 * width) * static_cast<std::size_t>(height), 0);
        return ops::RowView{pixels.bytes.data(), width, height, 3 * static_cast<std::ptrdiff_t>(width)};
    };
    if (path.ends_with(".png")) {
        std::size_t at = 0;
        codec::DecodePng(
            [&](std::uint8_t* buffer, std::size_t size) {
                const std::size_t n = std::min(size, file.size() - at);
                std::memcpy(buffer, file.data() + at, n);
                at += n;
                return n;
            },
            allocate, std::uint64_t{1} << 28);
    } else {
        codec::DecodeBmp(std::span(reinterpret_cast<const std::uint8_t*>(file.data()), file.size()), allocate,
                         std::uint64_t{1} << 28);
    }
    return pixels;
}

// The word chain's four stage files for an input, in a folder of their own.
std::string ReferenceStages(const std::string& input) {
    static int count = 0;
    const std::string folder = "/tmp/workbench-keep-reference-" + std::to_string(::getpid()) + "-" + std::to_string(count++);
    const std::string absolute = std::filesystem::current_path().string() + "/" + input;
    const ToolRun run = RunTool({"-C", QByteArray::fromStdString(folder), "load", QByteArray::fromStdString(absolute),
                                 "filter", "binarize", "thin", "label"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    return folder;
}

// The names in a folder, hidden ones included.
std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

struct KeepCase {
    std::string stages;  // as --keep takes them, e.g. "B,D"
    std::string format;
};

std::string CaseName(const KeepCase& c) {
    std::string name;
    for (const char stage : c.stages)
        if (stage != ',') name += stage;
    return name + "_" + c.format;
}

std::vector<KeepCase> EveryKeepAndFormat() {
    std::vector<KeepCase> cases;
    for (const char* format : {"bmp", "png"})
        for (int set = 1; set < 16; ++set) {
            std::string stages;
            for (int i = 0; i < 4; ++i)
                if (set & (1 << i)) {
                    if (!stages.empty()) stages.push_back(',');
                    stages.push_back(static_cast<char>('A' + i));
                }
            cases.push_back({stages, format});
        }
    return cases;
}

class KeepAndFormatTest : public testing::TestWithParam<KeepCase> {};

TEST_P(KeepAndFormatTest, WritesTheKeptStagesWithTheWordChainsPixels) {
    const KeepCase& c = GetParam();
    ScratchDir dir;
    MakePicture("in/odd.png", 47, 33, 3);   // random pixels
    MakePicture("in/thin.bmp", 2, 9, 1);    // strokes, two across
    MakePicture("in/wide.png", 130, 41, 2);  // strokes
    const ToolRun run = RunTool({"--out", "out", "--keep", QByteArray::fromStdString(c.stages), "--format",
                                 QByteArray::fromStdString(c.format), "--report", "r.jsonl", "in"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();

    std::vector<std::string> kept;
    for (const char stage : c.stages)
        if (stage != ',') kept.push_back(std::string(1, stage) + "." + c.format);
    for (const std::string name : {"odd", "thin", "wide"}) {
        SCOPED_TRACE(name);
        const std::string folder = "out/" + name;
        std::set<std::string> expected(kept.begin(), kept.end());
        expected.insert(".finished");
        EXPECT_EQ(Names(folder), expected);
        const std::string reference = ReferenceStages("in/" + name + (name == "thin" ? ".bmp" : ".png"));
        for (const std::string& file : kept) {
            const std::string stage = reference + "/" + file.substr(0, 1) + ".bmp";
            if (c.format == "bmp") {
                EXPECT_TRUE(ReadAll(folder + "/" + file) == ReadAll(stage)) << file << " differs from the word chain's";
            } else {
                const Pixels got = Decoded(folder + "/" + file), want = Decoded(stage);
                EXPECT_EQ(got.width, want.width);
                EXPECT_EQ(got.height, want.height);
                EXPECT_TRUE(got.bytes == want.bytes) << file << " decodes to other pixels than the word chain's BMP";
            }
        }
        std::filesystem::remove_all(reference);
        const std::string record = ReadAll(folder + "/.finished");
        EXPECT_NE(record.find("\nstages " + c.stages + "\n"), std::string::npos) << record;
        EXPECT_NE(record.find("\nformat " + c.format + "\n"), std::string::npos) << record;
    }
    for (const QJsonObject& entry : ReportEntries("r.jsonl")) {
        QStringList files;
        for (const QJsonValue& file : entry["files"].toArray()) files << file.toString();
        QStringList want;
        for (const std::string& file : kept) want << QString::fromStdString(file);
        EXPECT_EQ(files, want) << entry["input"].toString().toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Every, KeepAndFormatTest, testing::ValuesIn(EveryKeepAndFormat()),
                         [](const auto& info) { return CaseName(info.param); });

// The summary's first counts: done and skipped.
std::pair<int, int> DoneAndSkipped(const ToolRun& run) {
    int done = -1, skipped = -1;
    std::sscanf(Lines(run.out).back().constData(), "%d done, %d skipped", &done, &skipped);
    return {done, skipped};
}

TEST(KeepTest, ARunAskingForOtherStagesOrAnotherFormatDoesThePictureAgain) {
    ScratchDir dir;
    MakePicture("in/a.png", 47, 33, 3);
    const auto run = [](const QList<QByteArray>& options) {
        QList<QByteArray> args{"--out", "out"};
        args += options;
        args << "in";
        const ToolRun result = RunTool(args);
        EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
        return DoneAndSkipped(result);
    };
    const std::set<std::string> everyBmp{".finished", "A.bmp", "B.bmp", "C.bmp", "D.bmp"};
    EXPECT_EQ(run({}), std::make_pair(1, 0));
    EXPECT_EQ(run({"--keep", "A,B,C,D", "--format", "bmp"}), std::make_pair(0, 1)) << "the defaults spelled out";
    EXPECT_EQ(run({"--keep", "C"}), std::make_pair(1, 0));
    EXPECT_EQ(Names("out/a"), (std::set<std::string>{".finished", "C.bmp"}));
    EXPECT_EQ(run({"--keep", "c"}), std::make_pair(0, 1));
    EXPECT_EQ(run({"--keep", "C", "--format", "png"}), std::make_pair(1, 0));
    EXPECT_EQ(Names("out/a"), (std::set<std::string>{".finished", "C.png"}));
    EXPECT_EQ(run({"--format", "png", "--keep", "C"}), std::make_pair(0, 1));
    EXPECT_EQ(run({"--keep", "C,D", "--format", "png"}), std::make_pair(1, 0));
    EXPECT_EQ(Names("out/a"), (std::set<std::string>{".finished", "C.png", "D.png"}));
    EXPECT_EQ(run({}), std::make_pair(1, 0));
    EXPECT_EQ(Names("out/a"), everyBmp);
    ExpectSameAsSingleRun("in/a.png", "out/a");
}

TEST(KeepTest, AFileShorterThanItsRecordSaysIsDoneAgain) {
    ScratchDir dir;
    MakePicture("in/a.png", 47, 33, 3);
    const QList<QByteArray> command{"--out", "out", "--keep", "B,D", "--format", "png", "in"};
    EXPECT_EQ(DoneAndSkipped(RunTool(command)), std::make_pair(1, 0));
    std::filesystem::resize_file("out/a/D.png", std::filesystem::file_size("out/a/D.png") - 1);
    EXPECT_EQ(DoneAndSkipped(RunTool(command)), std::make_pair(1, 0));
    EXPECT_EQ(DoneAndSkipped(RunTool(command)), std::make_pair(0, 1));
}

// Results recorded before stages and formats could be chosen hold every
// stage as BMP, and their record ends after the picture's size.
TEST(KeepTest, ARecordOfAnEarlierVersionStandsForEveryStageAsBmp) {
    ScratchDir dir;
    MakePicture("in/a.png", 47, 33, 3);
    ASSERT_EQ(RunTool({"--out", "out", "in"}).exitCode, 0);
    std::string record = ReadAll("out/a/.finished");
    const std::size_t page = record.find("page ");
    ASSERT_NE(page, std::string::npos);
    std::string old = record.substr(0, page);
    const std::size_t width = record.find("width ");
    const std::size_t stages = record.find("stages ");
    old += record.substr(width, stages - width);
    ASSERT_TRUE(WriteBytes("out/a/.finished", QByteArray::fromStdString(old)));
    EXPECT_EQ(DoneAndSkipped(RunTool({"--out", "out", "in"})), std::make_pair(0, 1));
    EXPECT_EQ(DoneAndSkipped(RunTool({"--out", "out", "--keep", "D", "in"})), std::make_pair(1, 0));
}

TEST(KeepTest, APictureWithoutPixelsCannotBeAPng) {
    ScratchDir dir;
    QByteArray bmp("BM", 2);
    const auto put = [&bmp](std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) bmp.append(static_cast<char>(value >> (8 * i)));
    };
    put(54, 4), put(0, 4), put(54, 4), put(40, 4), put(0, 4), put(0, 4), put(1, 2), put(24, 2);
    put(0, 4), put(0, 4), put(2835, 4), put(2835, 4), put(0, 4), put(0, 4);
    ASSERT_TRUE(WriteBytes("empty.bmp", bmp));
    const ToolRun run = RunTool({"--out", "out", "--format", "png", "empty.bmp"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.startsWith("workbench-batch: \"empty.bmp\": Cannot write \"out/empty/A.png\": ")) << run.err.toStdString();
    EXPECT_FALSE(std::filesystem::exists("out/empty"));
}

}  // namespace
