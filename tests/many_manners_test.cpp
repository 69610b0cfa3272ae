// How the many-pictures mode and the options behave towards the person
// running them: GNU long options, one line for a mistake, every file that is
// passed over named, progress that tells done from skipped, and no empty
// folders left behind by a picture that did not finish.
#include <QRegularExpression>

#include "tests/runner_test_support.h"

namespace {

using namespace runner_test;

// Every folder below root that holds nothing.
std::vector<std::string> EmptyFolders(const std::string& root) {
    std::vector<std::string> found;
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
        if (it->is_directory() && std::filesystem::is_empty(it->path())) found.push_back(it->path().string());
    return found;
}

struct SpellingCase {
    std::string name;
    QList<QByteArray> options;  // before the inputs
};

class OptionSpellingTest : public testing::TestWithParam<SpellingCase> {};

// The same run, however its options are spelled: each ends with one done
// picture in "out" and a report in "r.jsonl".
TEST_P(OptionSpellingTest, GnuLongOptionsTakeTheirValueEitherWay) {
    ScratchDir dir;
    MakePicture("in/a.png", 21, 13, 1);
    QList<QByteArray> args = GetParam().options;
    args << "in";
    const ToolRun run = RunTool(args);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(Lines(run.out).back().startsWith("1 done, 0 skipped, 0 failed")) << run.out.toStdString();
    EXPECT_EQ(Inputs(ReportEntries("r.jsonl"), "done"), std::multiset<std::string>{"in/a.png"});
    ExpectSameAsSingleRun("in/a.png", "out/a");
}

INSTANTIATE_TEST_SUITE_P(
    Spellings, OptionSpellingTest,
    testing::Values(SpellingCase{"Separate", {"--out", "out", "--jobs", "1", "--report", "r.jsonl"}},
                    SpellingCase{"WithEquals", {"--out=out", "--jobs=1", "--report=r.jsonl"}},
                    SpellingCase{"Abbreviated", {"--ou", "out", "--jo=1", "--rep", "r.jsonl"}},
                    SpellingCase{"FolderAttached", {"-C.", "--out", "out", "--report", "r.jsonl"}},
                    SpellingCase{"EndedByDashes", {"--out", "out", "--report", "r.jsonl", "--"}}),
    [](const auto& info) { return info.param.name; });

TEST(ManyMannersTest, OptionsMayFollowTheInputsButNotTheWords) {
    ScratchDir dir;
    MakePicture("in/a.png", 9, 7, 1);
    const ToolRun run = RunTool({"--out", "out", "in", "--report=r.jsonl", "--jobs", "1"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(Inputs(ReportEntries("r.jsonl"), "done"), std::multiset<std::string>{"in/a.png"});
    // After a word, a dash starts a FILE name, as the word chain always took it.
    MakePicture("-b.png", 9, 7, 2);
    const ToolRun words = RunTool({"load", "-b.png", "filter"});
    ASSERT_EQ(words.exitCode, 0) << words.err.toStdString();
    EXPECT_TRUE(std::filesystem::exists("A.bmp"));
}

TEST(ManyMannersTest, DashesEndTheOptionsSoAnInputMayStartWithADash) {
    ScratchDir dir;
    MakePicture("-x.png", 9, 7, 1);
    const ToolRun refused = RunTool({"--out", "out", "-x.png"});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_EQ(refused.err, "workbench-batch: unknown option \"-x\"\nTry 'workbench-batch --help' for more.\n");
    const ToolRun run = RunTool({"--out", "out", "--", "-x.png"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    ExpectSameAsSingleRun("-x.png", "out/-x");
}

struct MistakeCase {
    std::string name;
    QList<QByteArray> args;
    QByteArray message;  // the one line before the pointer to --help
};

class OneLineMistakeTest : public testing::TestWithParam<MistakeCase> {};

TEST_P(OneLineMistakeTest, PrintsOneLineAndAPointerToHelp) {
    ScratchDir dir;
    const ToolRun run = RunTool(GetParam().args);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, "workbench-batch: " + GetParam().message + "\nTry 'workbench-batch --help' for more.\n");
    EXPECT_TRUE(run.out.isEmpty());
    EXPECT_TRUE(std::filesystem::is_empty(".")) << "a usage error does no work";
}

INSTANTIATE_TEST_SUITE_P(
    Mistakes, OneLineMistakeTest,
    testing::Values(MistakeCase{"UnknownWord", {"sharpen"}, "unknown word 'sharpen'"},
                    MistakeCase{"UnknownWordAfterOthers", {"filter", "blur"}, "unknown word 'blur'"},
                    MistakeCase{"ValueForAFlag", {"--out", "o", "--force=yes", "x.png"}, "'--force' takes no value"},
                    MistakeCase{"ValueForHelp", {"--help=all"}, "'--help' takes no value"},
                    MistakeCase{"EmptyValueWithEquals", {"--out", "o", "--jobs=", "x.png"},
                                R"('--jobs' needs a number from 1 to 4096, not "")"},
                    MistakeCase{"MissingValueAfterTheInputs", {"--out", "o", "x.png", "--report"}, "'--report' needs a value"},
                    MistakeCase{"UnknownOptionAfterTheInputs", {"--out", "o", "x.png", "--fast"}, "unknown option \"--fast\""},
                    MistakeCase{"UnknownShortOption", {"-q", "filter"}, "unknown option \"-q\""},
                    MistakeCase{"AmbiguousAbbreviation", {"--out", "o", "--f", "x.png"}, "option \"--f\" is ambiguous: --force, --format"},
                    MistakeCase{"UnknownStage", {"--out", "o", "--keep", "E", "x.png"},
                                R"('--keep' needs stages among A, B, C and D, e.g. C or C,D, not "E")"},
                    MistakeCase{"NoStage", {"--out", "o", "--keep=", "x.png"},
                                R"('--keep' needs stages among A, B, C and D, e.g. C or C,D, not "")"},
                    MistakeCase{"TrailingComma", {"--out", "o", "--keep", "C,", "x.png"},
                                R"('--keep' needs stages among A, B, C and D, e.g. C or C,D, not "C,")"},
                    MistakeCase{"UnknownFormat", {"--out", "o", "--format", "tiff", "x.png"},
                                R"('--format' needs bmp or png, not "tiff")"},
                    MistakeCase{"KeepWithoutOut", {"--keep", "C", "filter"}, "'--keep' works only with --out"},
                    MistakeCase{"MeasureWithoutOut", {"--measure", "measure"}, "'--measure' works only with --out"},
                    MistakeCase{"KeepWithSkeleton", {"--out", "o", "--skeleton", "--keep", "C", "x.png"},
                                "'--keep' does not go with --skeleton, which runs no chain and keeps no stage"},
                    MistakeCase{"FormatWithSkeleton", {"--out", "o", "--format", "png", "--skeleton", "x.png"},
                                "'--format' does not go with --skeleton, which runs no chain and keeps no stage"},
                    MistakeCase{"UnknownLongOptionWithValue", {"--colour=red", "filter"}, "unknown option \"--colour=red\""},
                    // Before any word runs: filter would say that nothing is loaded.
                    MistakeCase{"VectorizeToAPicture", {"filter", "vectorize", "lines.png"},
                                R"('vectorize' writes a file named .svg, .dxf, .geojson or .json, not "lines.png")"},
                    MistakeCase{"VectorizeWithoutExtension", {"filter", "vectorize", "lines"},
                                R"('vectorize' writes a file named .svg, .dxf, .geojson or .json, not "lines")"},
                    MistakeCase{"SimplifyWithoutVectorize", {"--simplify", "1", "filter", "measure"},
                                "'--simplify' needs the word vectorize (or, with --out, --vector)"},
                    MistakeCase{"SimplifyBelowZero", {"--simplify", "-0.5", "vectorize", "a.svg"},
                                R"('--simplify' needs a tolerance in pixels, a number from 0 such as 1.5, not "-0.5")"},
                    MistakeCase{"SimplifyNotANumber", {"--out", "o", "--vector", "svg", "--simplify", "nan", "x.png"},
                                R"('--simplify' needs a tolerance in pixels, a number from 0 such as 1.5, not "nan")"},
                    MistakeCase{"SimplifyWithoutVector", {"--out", "o", "--simplify", "1", "x.png"},
                                "'--simplify' needs --vector (or, without --out, the word vectorize)"},
                    MistakeCase{"UnknownVectorFormat", {"--out", "o", "--vector", "svg,pdf", "x.png"},
                                R"('--vector' needs svg, dxf or geojson, e.g. svg or svg,dxf, not "svg,pdf")"},
                    MistakeCase{"VectorWithoutOut", {"--vector", "svg", "filter"}, "'--vector' works only with --out"}),
    [](const auto& info) { return info.param.name; });

TEST(ManyMannersTest, EveryFilePassedOverIsNamedInTheReportAndCounted) {
    ScratchDir dir;
    MakePicture("in/a.png", 9, 7, 1);
    MakePicture("in/sub/b.png", 9, 7, 2);
    ASSERT_TRUE(WriteBytes("in/notes.txt", "words"));
    ASSERT_TRUE(WriteBytes("in/sub/README", "words"));
    ASSERT_EQ(::mkfifo("in/pipe.png", 0600), 0);
    std::filesystem::create_symlink("gone.png", "in/dangling.png");
    const ToolRun run = RunTool({"--out", "out", "--report", "r.jsonl", "in"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(Lines(run.out).back().endsWith("; 4 other files passed over")) << run.out.toStdString();

    std::map<std::string, std::string> passedOver;
    for (const QJsonObject& entry : ReportEntries("r.jsonl")) {
        if (entry["status"].toString() != "passed over") continue;
        EXPECT_TRUE(entry["folder"].isNull());
        EXPECT_TRUE(entry.contains("page") && entry["page"].isNull()) << "every line has a page";
        EXPECT_TRUE(entry["width"].isNull() && entry["height"].isNull());
        passedOver[entry["input"].toString().toStdString()] = entry["message"].toString().toStdString();
    }
    EXPECT_EQ(passedOver, (std::map<std::string, std::string>{
                              {"in/dangling.png", "a symbolic link to nothing"},
                              {"in/notes.txt", "not the name of a picture file"},
                              {"in/pipe.png", "it is a named pipe, not an ordinary file"},
                              {"in/sub/README", "not the name of a picture file"},
                          }));
    EXPECT_EQ(Inputs(ReportEntries("r.jsonl"), "done"), (std::multiset<std::string>{"in/a.png", "in/sub/b.png"}));

    // One file passed over is "1 other file".
    std::filesystem::remove_all("in/sub");
    std::filesystem::remove("in/pipe.png");
    std::filesystem::remove("in/dangling.png");
    EXPECT_TRUE(Lines(RunTool({"--out", "out", "in"}).out).back().endsWith("; 1 other file passed over"));
}

TEST(ManyMannersTest, ShardsNameEachFilePassedOverOnce) {
    ScratchDir dir;
    std::filesystem::create_directories("in");
    std::multiset<std::string> others;
    for (int i = 0; i < 7; ++i) {
        const std::string name = "in/note" + std::to_string(i) + ".txt";
        ASSERT_TRUE(WriteBytes(QString::fromStdString(name), "words"));
        others.insert(name);
    }
    MakePicture("in/a.png", 9, 7, 1);
    std::multiset<std::string> named;
    for (int k = 0; k < 3; ++k) {
        const ToolRun run = RunTool({"--out", "out", "--shard", QByteArray::number(k) + "/3", "--report", "r.jsonl", "in"});
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    }
    EXPECT_EQ(Inputs(ReportEntries("r.jsonl"), "passed over"), others);
}

TEST(ManyMannersTest, APictureThatFailsLeavesNoFolder) {
    ScratchDir dir;
    MakePicture("in/deep/er/good.png", 9, 7, 1);
    ASSERT_TRUE(WriteBytes("in/deep/er/bad.png", "\x89PNG\r\n\x1a\nnot really"));
    std::filesystem::create_directories("in/lone");
    ASSERT_TRUE(WriteBytes("in/lone/bad.bmp", "BM and nothing"));
    const ToolRun run = RunTool({"--out", "out", "in"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(EmptyFolders("out").empty());
    EXPECT_FALSE(std::filesystem::exists("out/deep/er/bad"));
    EXPECT_FALSE(std::filesystem::exists("out/lone"));
    ExpectSameAsSingleRun("in/deep/er/good.png", "out/deep/er/good");
}

TEST(ManyMannersTest, InterruptedRunLeavesNoEmptyFolder) {
    ScratchDir dir;
    // Each picture in a folder of its own, so a stopped picture would leave
    // empty folders at two depths.
    for (int i = 0; i < 16; ++i)
        MakePicture("in/d" + std::to_string(i) + "/e/p.png", 1600, 1200, static_cast<std::uint32_t>(i));
    Child run({"--out", "out", "--jobs", "2", "in"});
    WaitUntil([&] { return CountFiles("out", "D.bmp") >= 1; });
    ASSERT_EQ(::kill(run.pid(), SIGINT), 0);
    const ToolRun stopped = run.Wait();
    EXPECT_EQ(stopped.exitCode, 128 + SIGINT);
    EXPECT_TRUE(Lines(stopped.out).back().contains("; stopped by SIGINT, ")) << stopped.out.toStdString();
    EXPECT_TRUE(EmptyFolders("out").empty());
    EXPECT_TRUE(HalfDone("out").empty());
}

TEST(ManyMannersTest, TheTerminalLineTellsDoneFromSkipped) {
    ScratchDir dir;
    for (int i = 0; i < 2; ++i) MakePicture("in/p" + std::to_string(i) + ".png", 25, 15, static_cast<std::uint32_t>(i));
    const std::string command = std::string("'") + kBatch + "' --out out --jobs 1 in";
    ASSERT_EQ(RunTool({"--out", "out", "in/p0.png"}).exitCode, 0);
    const ToolRun run = Child({"-qfec", QByteArray::fromStdString(command), "/dev/null"}, {}, "/usr/bin/script").Wait();
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QString shown = QString::fromUtf8(run.out);
    EXPECT_TRUE(shown.contains(QRegularExpression(R"(\r\x1b\[K2/2: 1 done, 1 skipped, 0 failed, )"))) << run.out.toStdString();
    EXPECT_TRUE(shown.contains(QRegularExpression(R"(\n1 done, 1 skipped, 0 failed in [0-9.]+ s\r?\n$)"))) << run.out.toStdString();
}

// --report only ever adds lines: a file that holds something else, such as
// an input typed where the report goes, is refused before any picture runs
// and left byte for byte; an earlier report and an empty file are added to.
TEST(ManyMannersTest, TheReportIsOnlyAddedToAReport) {
    struct Case {
        const char* name;
        std::string report;  // the file --report names, made before the run
        std::string before;  // what it holds then ("" for an empty file)
        bool refused;
    };
    ScratchDir dir;
    MakePicture("in/a.png", 9, 7, 1);
    const std::string picture = ReadAll("in/a.png");
    const Case cases[] = {
        {"an input", "in/a.png", picture, true},
        {"a text", "notes.txt", "to do\n", true},
        {"an earlier report", "r.jsonl", "{\"input\":\"x.png\"}\n", false},
        {"an empty file", "empty.jsonl", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.report != "in/a.png") {
            std::ofstream file(c.report, std::ios::binary);
            file << c.before;
        }
        const ToolRun run = RunTool({"--out", "out", "--force", "--report", QByteArray::fromStdString(c.report), "in"});
        if (c.refused) {
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_EQ(run.err.toStdString(), "workbench-batch: Cannot write \"" + c.report +
                                                 "\": it holds something other than a report, and a report is only added to\n");
            EXPECT_TRUE(ReadAll(c.report) == c.before) << "the file was changed";
            EXPECT_FALSE(std::filesystem::exists("out/a/.finished")) << "a picture ran";
        } else {
            EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
            const std::string after = ReadAll(c.report);
            EXPECT_EQ(after.substr(0, c.before.size()), c.before);
            EXPECT_EQ(Inputs(ReportEntries(c.report), "done"), std::multiset<std::string>{"in/a.png"});
        }
    }
}

}  // namespace
