// workbench-batch's options and its many-pictures mode, run as a user runs
// them: processes in scratch folders, signals sent by process id.
#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <map>
#include <set>
#include <thread>

#include "tests/runner_test_support.h"
#include "tests/tiff_test_files.h"

namespace {

using namespace runner_test;

QByteArray ProjectVersion() {
    const QByteArray cmake = FileBytes(QStringLiteral(WORKBENCH_SOURCE_DIR "/CMakeLists.txt"));
    const QRegularExpressionMatch match =
        QRegularExpression(R"(project\(workbench VERSION ([0-9.]+))").match(QString::fromUtf8(cmake));
    return match.captured(1).toUtf8();
}

TEST(RunnerOptionsTest, HelpAndVersionGoToStandardOutput) {
    ScratchDir dir;
    const ToolRun help = RunTool({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.err.isEmpty());
    EXPECT_TRUE(help.out.startsWith("Usage: workbench-batch "));
    for (const char* entry : {"\n  load FILE ", "\n  save FILE ", "\n  filter ", "\n  binarize ", "\n  thin ",
                              "\n  label ", "\n  -C DIR ", "\n  --out DIR ", "\n  --jobs N ", "\n  --shard K/N ",
                              "\n  --report FILE ", "\n  --force ", "\n  --page K ", "\n  --help ", "\n  --version ", "\nOptions:\n",
                              "\nExamples:\n"})
        EXPECT_TRUE(help.out.contains(entry)) << entry;

    const ToolRun version = RunTool({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    ASSERT_FALSE(ProjectVersion().isEmpty());
    EXPECT_TRUE(version.out.startsWith("workbench-batch " + ProjectVersion() + "\n")) << version.out.toStdString();
    EXPECT_TRUE(version.out.contains("\nCopyright (c) 2026 The Workbench project\n\nLicense: MIT ")) << version.out.toStdString();
    EXPECT_TRUE(version.err.isEmpty());
}

TEST(RunnerOptionsTest, UsageErrorsExitWithTwoAndOneLine) {
    struct Case {
        QList<QByteArray> args;
        QByteArray message;
    };
    const Case cases[] = {
        {{"--jobs", "2", "x.png"}, "workbench-batch: '--jobs' works only with --out"},
        {{"--force", "filter"}, "workbench-batch: '--force' works only with --out"},
        {{"--out"}, "workbench-batch: '--out' needs a value"},
        {{"--out", "r"}, "workbench-batch: '--out' needs at least one INPUT"},
        {{"--out", "r", "--jobs", "0", "x.png"}, "workbench-batch: '--jobs' needs a number from 1 to 4096, not \"0\""},
        {{"--out", "r", "--jobs", "two", "x.png"},
         "workbench-batch: '--jobs' needs a number from 1 to 4096, not \"two\""},
        {{"--out", "r", "--shard", "4/4", "x.png"}, "workbench-batch: '--shard' needs K/N with 0 <= K < N, not \"4/4\""},
        {{"--out", "r", "--shard", "1", "x.png"}, "workbench-batch: '--shard' needs K/N with 0 <= K < N, not \"1\""},
        {{"--out", "r", "--frobnicate", "x.png"}, "workbench-batch: unknown option \"--frobnicate\""},
        {{"-C"}, "workbench-batch: '-C' needs a value"},
        {{"--page", "0", "load", "x.tif"}, "workbench-batch: '--page' needs a page number from 1, not \"0\""},
        {{"--page", "two", "load", "x.tif"}, "workbench-batch: '--page' needs a page number from 1, not \"two\""},
        {{"--out", "r", "--page", "2", "x.tif"}, "workbench-batch: '--page' works only without --out, which runs every page"},
        {{"--with-extension", "load", "x.png"}, "workbench-batch: '--with-extension' works only with --out"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        ScratchDir dir;
        const ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.err, c.message + "\nTry 'workbench-batch --help' for more.\n");
        EXPECT_TRUE(QDir(".").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty())
            << "a usage error does no work";
    }
}

TEST(RunnerOptionsTest, FolderOptionRunsTheWordsThereAndCreatesIt) {
    ScratchDir dir;
    ASSERT_TRUE(StrokePicture(47, 33).save("in.png"));
    const ToolRun run = RunTool({"-C", "made/for\xfe/it", "load", "../../../in.png", "filter", "binarize"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_FALSE(QFile::exists("A.bmp"));
    struct stat info {};
    EXPECT_EQ(::stat("made/for\xfe/it/A.bmp", &info), 0);
    EXPECT_EQ(::stat("made/for\xfe/it/B.bmp", &info), 0);

    // Two -C go one into the other, as git's do.
    const ToolRun nested = RunTool({"-C", "made", "-C", "other", "load", "../../in.png", "filter"});
    ASSERT_EQ(nested.exitCode, 0) << nested.err.toStdString();
    EXPECT_EQ(::stat("made/other/A.bmp", &info), 0);

    ASSERT_TRUE(WriteBytes("plain", "x"));
    const ToolRun blocked = RunTool({"-C", "plain/sub", "filter"});
    EXPECT_EQ(blocked.exitCode, 1);
    EXPECT_EQ(blocked.err, "workbench-batch: Cannot use the folder \"plain/sub\": a folder in the path is not a folder\n");
}


// ---------------------------------------------------------------------------
// The many-pictures mode

TEST(RunnerTest, EveryResultFolderHoldsWhatASingleRunWrites) {
    ScratchDir dir;
    // Odd sizes, several formats, nested folders, a file beside them that is
    // not a picture, and a picture named on its own.
    MakePicture("scans/one.png", 47, 33, 1);
    MakePicture("scans/deep/er/two.bmp", 1, 1, 3);
    MakePicture("scans/deep/three.jpg", 64, 48, 2);
    MakePicture("scans/UPPER.PNG", 33, 47, 6);
    MakePicture("scans/deep/er/four.x.png", 7, 1, 9);
    ASSERT_TRUE(WriteBytes("scans/notes.txt", "not a picture"));
    // A link to a picture is a picture; a link to a folder is not followed,
    // so a loop cannot make the walk endless.
    std::filesystem::create_symlink("one.png", "scans/linked.png");
    std::filesystem::create_directory_symlink("..", "scans/deep/loop");
    MakePicture("single/alone.png", 640, 480, 4);

    const ToolRun run = RunTool({"--out", "results", "--jobs", "2", "scans", "single/alone.png"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(run.err.isEmpty()) << run.err.toStdString();
    EXPECT_TRUE(Lines(run.out).back().startsWith("7 done, 0 skipped, 0 failed in ")) << run.out.toStdString();
    EXPECT_TRUE(Lines(run.out).back().endsWith("; 2 other files passed over"));
    const std::pair<const char*, const char*> expected[] = {
        {"scans/one.png", "results/one"},
        {"scans/deep/er/two.bmp", "results/deep/er/two"},
        {"scans/deep/three.jpg", "results/deep/three"},
        {"scans/UPPER.PNG", "results/UPPER"},
        {"scans/deep/er/four.x.png", "results/deep/er/four.x"},
        {"single/alone.png", "results/alone"},
        {"scans/linked.png", "results/linked"},
    };
    for (const auto& [input, folder] : expected) {
        SCOPED_TRACE(input);
        ExpectSameAsSingleRun(input, folder);
    }
    EXPECT_FALSE(std::filesystem::exists("results/notes"));
}

TEST(RunnerTest, InputsThatWouldShareAFolderAreRefusedBeforeAnyWork) {
    struct Case {
        std::vector<std::string> pictures;
        QList<QByteArray> inputs;
        QByteArray message;
    };
    const Case cases[] = {
        {{"in/x.png", "in/x.jpg"}, {"in"},
         R"("in/x.jpg" and "in/x.png" would share the result folder "out/x"; rename one of them, or add )"
         R"(--with-extension for result folders named with the extension ("out/x.jpg" and "out/x.png"))"},
        {{"a/x.png", "b/x.png"}, {"a", "b"},
         R"("a/x.png" and "b/x.png" would share the result folder "out/x"; rename one of them, or run each )"
         R"(into an --out folder of its own)"},
        {{"a/x.png", "b/x.bmp"}, {"a/x.png", "b/x.bmp"},
         R"("a/x.png" and "b/x.bmp" would share the result folder "out/x"; rename one of them, or add )"
         R"(--with-extension for result folders named with the extension ("out/x.png" and "out/x.bmp"))"},
        {{"in/p.png", "in/p/A.bmp.png"}, {"in"},
         R"("in/p.png" and "in/p/A.bmp.png" would share the file "out/p/A.bmp"; rename one of them, or add )"
         R"(--with-extension for result folders named with the extension ("out/p.png" and "out/p/A.bmp.png"))"},
        {{"in/x.png"}, {"in", "in/x.png"},
         R"("in/x.png" and "in/x.png" would share the result folder "out/x"; give it only once)"},
        {{"x.png"}, {"x.png", "./x.png"},
         R"("x.png" and "./x.png" would share the result folder "out/x"; give it only once)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message.toStdString());
        ScratchDir dir;
        for (std::size_t i = 0; i < c.pictures.size(); ++i) MakePicture(c.pictures[i], 9, 9, static_cast<std::uint32_t>(i));
        QList<QByteArray> args{"--out", "out"};
        args += c.inputs;
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.err, "workbench-batch: " + c.message + "\n");
        EXPECT_FALSE(std::filesystem::exists("out")) << "no work before the refusal";
    }
}

// A picture that fails is named once, as it was given (the worker loads it
// by its absolute path): its line is the word chain's for the same path.
void MakeTiff(const std::string& path, int pages);  // with the tests of files of several pages

// --with-extension keeps inputs that differ only in extension apart, each
// in a folder named with its extension; a rerun with it skips them all.
TEST(RunnerTest, WithExtensionNamesEachResultFolderWithItsExtension) {
    ScratchDir dir;
    MakePicture("in/a.png", 9, 9, 1);
    MakePicture("in/a.ppm", 8, 7, 2);
    MakePicture("in/deep/b.bmp", 7, 6, 3);
    MakeTiff("in/pages.tif", 2);
    const ToolRun refused = RunTool({"--out", "out", "in"});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_TRUE(refused.err.contains("add --with-extension")) << refused.err.toStdString();
    EXPECT_FALSE(std::filesystem::exists("out"));

    const QList<QByteArray> command{"--out", "out", "--with-extension", "--report", "r.jsonl", "in"};
    const ToolRun run = RunTool(command);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(Lines(run.out).back().startsWith("5 done, 0 skipped, 0 failed in ")) << run.out.toStdString();
    ExpectSameAsSingleRun("in/a.png", "out/a.png");
    ExpectSameAsSingleRun("in/a.ppm", "out/a.ppm");
    ExpectSameAsSingleRun("in/deep/b.bmp", "out/deep/b.bmp");
    ExpectSameAsSingleRun("in/pages.tif", "out/pages.tif/page-1", 1);
    ExpectSameAsSingleRun("in/pages.tif", "out/pages.tif/page-2", 2);
    std::set<std::string> folders;
    for (const QJsonObject& entry : ReportEntries("r.jsonl")) folders.insert(entry["folder"].toString().toStdString());
    EXPECT_EQ(folders, (std::set<std::string>{"out/a.png", "out/a.ppm", "out/deep/b.bmp", "out/pages.tif/page-1",
                                              "out/pages.tif/page-2"}));
    EXPECT_TRUE(Lines(RunTool(command).out).back().startsWith("0 done, 5 skipped, 0 failed")) << "a rerun";
}

TEST(RunnerTest, AFailureNamesThePictureOnceAsItWasGiven) {
    ScratchDir dir;
    MakePicture("whole.png", 40, 30, 1);
    const std::string whole = ReadAll("whole.png");
    std::filesystem::create_directories("in");
    ASSERT_TRUE(WriteBytes("in/cut.png", QByteArray::fromStdString(whole.substr(0, whole.size() / 2))));
    const QByteArray absolute = QByteArray::fromStdString(std::filesystem::absolute("in/cut.png").string());
    struct Case {
        const char* name;
        QList<QByteArray> many;  // after --out out
        QList<QByteArray> words;
        QByteArray input;        // standard input
    };
    const Case cases[] = {
        {"a file", {"in/cut.png"}, {"load", "in/cut.png"}, {}},
        {"a folder", {"in/"}, {"load", "in/cut.png"}, {}},
        {"standard input", {"-"}, {"load", "in/cut.png"}, "in/cut.png\n"},
        {"an absolute path", {absolute}, {"load", absolute}, {}},
        {"a path from -C", {"-C", "job", "../in/cut.png"}, {"-C", "job", "load", "../in/cut.png"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all("out");
        std::filesystem::remove_all("job");
        const ToolRun word = RunTool(c.words);
        ASSERT_EQ(word.exitCode, 1);
        ASSERT_TRUE(word.err.startsWith("workbench-batch: Cannot read \"")) << word.err.toStdString();
        QList<QByteArray> args{"--out", "out"};
        args += c.many;
        const ToolRun run = RunTool(args, c.input);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err, word.err);
        if (c.words.contains(absolute)) continue;
        EXPECT_FALSE(run.err.contains(absolute)) << run.err.toStdString();
    }
}

TEST(RunnerTest, AFailingPictureIsOneLineAndTheOthersGoOn) {
    ScratchDir dir;
    for (int i = 0; i < 5; ++i) MakePicture("in/good" + std::to_string(i) + ".png", 40 + i, 30, static_cast<std::uint32_t>(i));
    ASSERT_TRUE(WriteBytes("in/damaged.bmp", QByteArray("BM") + QByteArray(60, '\x7f')));
    ASSERT_TRUE(WriteBytes("in/empty.png", ""));
    const ToolRun run = RunTool({"--out", "out", "--report", "report.jsonl", "in", "in/missing.png"});
    EXPECT_EQ(run.exitCode, 1);
    // Workers end in any order; one line each, sorted here.
    QList<QByteArray> errors = Lines(run.err);
    std::sort(errors.begin(), errors.end());
    ASSERT_EQ(errors.size(), 3) << run.err.toStdString();
    EXPECT_TRUE(errors[0].startsWith("workbench-batch: Cannot read \"in/damaged.bmp\": ")) << errors[0].toStdString();
    EXPECT_EQ(errors[1], "workbench-batch: Cannot read \"in/empty.png\": the file is empty");
    EXPECT_EQ(errors[2], "workbench-batch: Cannot read \"in/missing.png\": no such file");
    EXPECT_TRUE(Lines(run.out).back().startsWith("5 done, 0 skipped, 3 failed in "));
    for (int i = 0; i < 5; ++i) ExpectSameAsSingleRun("in/good" + std::to_string(i) + ".png", "out/good" + std::to_string(i));
    EXPECT_EQ(Inputs(ReportEntries("report.jsonl"), "failed"),
              (std::multiset<std::string>{"in/damaged.bmp", "in/empty.png", "in/missing.png"}));
    EXPECT_TRUE(HalfDone("out").empty());
}

TEST(RunnerTest, AWorkerKilledOutrightIsOneFailedEntry) {
    ScratchDir dir;
    // Large enough that the worker is still on it when the test kills it.
    MakePicture("in/big.png", 8000, 6000, 1);
    for (int i = 0; i < 3; ++i) MakePicture("in/small" + std::to_string(i) + ".png", 64, 48, static_cast<std::uint32_t>(i));
    Child run({"--out", "out", "--jobs", "1", "--report", "report.jsonl", "in"});
    // "big" sorts first: the first worker is the one to kill.
    std::vector<pid_t> workers;
    WaitUntil([&] { return (workers = ChildrenOf(run.pid())).size() == 1 && HasOpen(workers[0], "in/big.png"); });
    ASSERT_EQ(::kill(workers[0], SIGKILL), 0);
    const ToolRun result = run.Wait();
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "workbench-batch: \"in/big.png\": the worker was killed by signal 9 (SIGKILL)\n");
    for (int i = 0; i < 3; ++i) ExpectSameAsSingleRun("in/small" + std::to_string(i) + ".png", "out/small" + std::to_string(i));
    EXPECT_TRUE(Temporaries("out").empty());
    EXPECT_TRUE(HalfDone("out").empty());
    const std::vector<QJsonObject> entries = ReportEntries("report.jsonl");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(Inputs(entries, "failed"), std::multiset<std::string>{"in/big.png"});
}

// Stops a run by a signal once some pictures are done, then runs the same
// command again.
TEST(RunnerTest, AStoppedRunLeavesNothingHalfDoneAndARerunFinishesTheRest) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        ScratchDir dir;
        for (int i = 0; i < 24; ++i) MakePicture("in/p" + std::to_string(100 + i) + ".png", 1600, 1200, static_cast<std::uint32_t>(i));
        const QList<QByteArray> command{"--out", "out", "--jobs", "2", "--report", "report.jsonl", "in"};
        Child first(command);
        // Pictures whose last stage is written are done, or as good as.
        WaitUntil([&] { return CountFiles("out", "D.bmp") >= 5; });
        const std::vector<pid_t> workers = ChildrenOf(first.pid());
        ASSERT_EQ(::kill(first.pid(), signal), 0);
        const ToolRun stopped = first.Wait();
        EXPECT_EQ(stopped.exitCode, 128 + signal);
        const QByteArray summary = Lines(stopped.out).back();
        const char* const name = signal == SIGTERM ? "SIGTERM" : signal == SIGINT ? "SIGINT" : "SIGHUP";
        EXPECT_TRUE(summary.contains(QByteArray("; stopped by ") + name + ", ")) << summary.toStdString();
        for (const pid_t worker : workers) EXPECT_FALSE(Alive(worker)) << "the run waits for its workers";
        EXPECT_TRUE(Temporaries(".").empty());
        EXPECT_TRUE(HalfDone("out").empty());
        const std::size_t doneFirst = Inputs(ReportEntries("report.jsonl"), "done").size();
        EXPECT_GE(doneFirst, 3u);
        EXPECT_LT(doneFirst, 24u) << "the signal came too late to test anything";

        const ToolRun again = RunTool(command);
        EXPECT_EQ(again.exitCode, 0) << again.err.toStdString();
        const std::vector<QJsonObject> entries = ReportEntries("report.jsonl");
        EXPECT_EQ(Inputs(entries, "done").size(), 24u);
        EXPECT_EQ(Inputs(entries, "skipped").size(), doneFirst);
        EXPECT_TRUE(Lines(again.out).back().startsWith(QByteArray::number(24 - static_cast<int>(doneFirst)) + " done, " +
                                                       QByteArray::number(static_cast<int>(doneFirst)) + " skipped, 0 failed"));
        for (int i = 0; i < 24; i += 5) ExpectSameAsSingleRun("in/p" + std::to_string(100 + i) + ".png", "out/p" + std::to_string(100 + i));
    }
}

TEST(RunnerTest, AfterTheWholeRunIsKilledARerunFinishesAndTidies) {
    ScratchDir dir;
    for (int i = 0; i < 16; ++i) MakePicture("in/p" + std::to_string(10 + i) + ".png", 1600, 1200, static_cast<std::uint32_t>(i));
    const QList<QByteArray> command{"--out", "out", "--jobs", "2", "in"};
    Child first(command);
    WaitUntil([&] { return CountFiles("out", "D.bmp") >= 2; });
    const std::vector<pid_t> workers = ChildrenOf(first.pid());
    ASSERT_EQ(::kill(first.pid(), SIGKILL), 0);
    EXPECT_EQ(first.Wait().exitCode, -1 - SIGKILL);
    // Workers end with their run.
    for (const pid_t worker : workers) WaitUntil([&] { return !Alive(worker); }, 10);
    // What a worker killed between naming its temporary and the rename leaves.
    std::filesystem::create_directories("out/p25");
    ASSERT_TRUE(WriteBytes("out/p25/.workbench-Ab3dE9", "half"));
    ASSERT_TRUE(WriteBytes("out/p25/A.bmp", "half"));

    const ToolRun again = RunTool(command);
    EXPECT_EQ(again.exitCode, 0) << again.err.toStdString();
    EXPECT_TRUE(Temporaries(".").empty());
    EXPECT_TRUE(HalfDone("out").empty());
    for (int i = 0; i < 16; i += 3) ExpectSameAsSingleRun("in/p" + std::to_string(10 + i) + ".png", "out/p" + std::to_string(10 + i));
    ExpectSameAsSingleRun("in/p25.png", "out/p25");
}

TEST(RunnerTest, ShardsRunAtOnceMakeTheWholeWithoutOverlap) {
    ScratchDir dir;
    std::multiset<std::string> all;
    for (int i = 0; i < 21; ++i) {
        const std::string name = "in/" + std::string(1, static_cast<char>('a' + i % 3)) + "/p" + std::to_string(i) + ".png";
        MakePicture(name, 120 + i, 90, static_cast<std::uint32_t>(i));
        all.insert(name);
    }
    std::vector<std::unique_ptr<Child>> shards;
    for (int k = 0; k < 3; ++k) {
        const QByteArray shard = QByteArray::number(k) + "/3";
        shards.push_back(std::make_unique<Child>(QList<QByteArray>{"--out", "out", "--jobs", "1", "--shard", shard,
                                                                   "--report", "shard" + QByteArray::number(k) + ".jsonl",
                                                                   "in"}));
    }
    std::multiset<std::string> fromShards;
    for (int k = 0; k < 3; ++k) {
        const ToolRun run = shards[k]->Wait();
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        const std::multiset<std::string> inputs = Inputs(ReportEntries("shard" + std::to_string(k) + ".jsonl"), "done");
        EXPECT_EQ(inputs.size(), 7u);
        fromShards.insert(inputs.begin(), inputs.end());
    }
    EXPECT_EQ(fromShards, all);
    for (const std::string& input : all) {
        std::string folder = "out/" + input.substr(3);
        folder.resize(folder.size() - 4);
        ExpectSameAsSingleRun(input, folder);
    }
    // Each shard again, all into one report at once: every picture skipped.
    shards.clear();
    for (int k = 0; k < 3; ++k)
        shards.push_back(std::make_unique<Child>(QList<QByteArray>{"--out", "out", "--shard", QByteArray::number(k) + "/3",
                                                                   "--report", "shared.jsonl", "in"}));
    for (auto& shard : shards) EXPECT_EQ(shard->Wait().exitCode, 0);
    EXPECT_EQ(Inputs(ReportEntries("shared.jsonl"), "skipped"), all);
}

TEST(RunnerTest, ReportIsJsonLinesWithEveryField) {
    ScratchDir dir;
    const std::string odd = "in/odd\xfe name \"q\"\\\n.png";
    MakePicture(odd, 47, 33, 5);
    MakePicture("in/plain.png", 20, 10, 1);
    ASSERT_TRUE(WriteBytes("in/broken.png", "\x89PNG\r\n\x1a\n"));
    const ToolRun first = RunTool({"--out", "out", "--report", "r.jsonl", "in"});
    EXPECT_EQ(first.exitCode, 1);
    const ToolRun second = RunTool({"--out", "out", "--report", "r.jsonl", "in"});
    EXPECT_EQ(second.exitCode, 1);

    const std::vector<QJsonObject> entries = ReportEntries("r.jsonl");
    ASSERT_EQ(entries.size(), 6u);
    std::map<std::string, int> statuses;
    for (const QJsonObject& entry : entries) {
        EXPECT_EQ(entry.keys(),
                  (QStringList{"files", "folder", "height", "input", "message", "page", "seconds", "status", "width"}));
        EXPECT_TRUE(entry["page"].isNull());
        const std::string status = entry["status"].toString().toStdString();
        ++statuses[status];
        EXPECT_TRUE(entry["seconds"].isDouble());
        EXPECT_GE(entry["seconds"].toDouble(), 0.0);
        if (status == "failed") {
            EXPECT_EQ(entry["input"].toString(), "in/broken.png");
            EXPECT_EQ(entry["folder"].toString(), "out/broken");
            // The input named as "input" names it, not by the worker's absolute path.
            EXPECT_TRUE(entry["message"].toString().startsWith(R"(Cannot read "in/broken.png": )"))
                << entry["message"].toString().toStdString();
            EXPECT_TRUE(entry["width"].isNull() && entry["height"].isNull());
        } else if (entry["input"].toString() == "in/plain.png") {
            EXPECT_EQ(entry["width"].toInt(), 20);
            EXPECT_EQ(entry["height"].toInt(), 10);
        } else {
            EXPECT_EQ(entry["width"].toInt(), 47);
            EXPECT_EQ(entry["height"].toInt(), 33);
        }
    }
    EXPECT_EQ(statuses, (std::map<std::string, int>{{"done", 2}, {"failed", 2}, {"skipped", 2}}));
    // The odd name: the non-UTF-8 byte as \udcfe, the rest escaped as JSON does.
    EXPECT_TRUE(QByteArray::fromStdString(ReadAll("r.jsonl")).contains(R"("input":"in/odd\udcfe name \"q\"\\\n.png")"));
    ExpectSameAsSingleRun(odd, "out/odd\xfe name \"q\"\\\n");
}

TEST(RunnerTest, ListOnStandardInput) {
    ScratchDir dir;
    MakePicture("a/one.png", 30, 20, 1);
    MakePicture("b/two\xff.bmp", 20, 30, 2);
    const ToolRun run = RunTool({"--out", "out", "-"}, "a/one.png\n\nb/two\xff.bmp\n");
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    ExpectSameAsSingleRun("a/one.png", "out/one");
    ExpectSameAsSingleRun("b/two\xff.bmp", "out/two\xff");
}

TEST(RunnerTest, FinishedPicturesAreSkippedUntilTheInputChangesOrForce) {
    ScratchDir dir;
    MakePicture("in/a.png", 30, 20, 1);
    MakePicture("in/b.png", 30, 20, 2);
    const QList<QByteArray> command{"--out", "out", "in"};
    EXPECT_TRUE(Lines(RunTool(command).out).back().startsWith("2 done, 0 skipped, 0 failed"));
    EXPECT_TRUE(Lines(RunTool(command).out).back().startsWith("0 done, 2 skipped, 0 failed"));
    // A changed input is done again, and so is a result missing a stage file.
    MakePicture("in/a.png", 31, 21, 4);
    ExpectSameAsSingleRun("in/b.png", "out/b");
    EXPECT_TRUE(Lines(RunTool(command).out).back().startsWith("1 done, 1 skipped, 0 failed"));
    ExpectSameAsSingleRun("in/a.png", "out/a");
    std::filesystem::remove("out/b/C.bmp");
    EXPECT_TRUE(Lines(RunTool(command).out).back().startsWith("1 done, 1 skipped, 0 failed"));
    ExpectSameAsSingleRun("in/b.png", "out/b");
    EXPECT_TRUE(Lines(RunTool({"--out", "out", "--force", "in"}).out).back().startsWith("2 done, 0 skipped, 0 failed"));
}

// The --out folder inside the folder of inputs, the folder of inputs
// itself, or another run's results inside it: a rerun skips the picture and
// takes no stage file for a new input.
TEST(RunnerTest, ResultsInsideAFolderOfInputsAreNotInputs) {
    struct Case {
        const char* name;
        QList<QByteArray> command;
        const char* nested;  // what a rerun taking results as inputs would make
    };
    const Case cases[] = {
        {"out below the inputs", {"--out", "in/results", "in"}, "in/results/results"},
        {"out the inputs' own folder", {"--out", "in", "in"}, "in/a/A"},
        {"another run's results moved in", {"--out", "elsewhere", "in"}, "elsewhere/a/A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        MakePicture("in/a.png", 30, 20, 1);
        if (c.command[1] == "elsewhere") {
            ASSERT_EQ(RunTool({"--out", "earlier", "in"}).exitCode, 0);
            std::filesystem::rename("earlier/a", "in/a");
        }
        const ToolRun first = RunTool(c.command);
        EXPECT_TRUE(Lines(first.out).back().startsWith("1 done, 0 skipped, 0 failed")) << first.out.toStdString();
        const ToolRun again = RunTool(c.command);
        EXPECT_EQ(again.exitCode, 0) << again.err.toStdString();
        EXPECT_TRUE(Lines(again.out).back().startsWith("0 done, 1 skipped, 0 failed")) << again.out.toStdString();
        EXPECT_FALSE(std::filesystem::exists(c.nested));
    }
}

// A folder contributes the files of every format the program reads, by
// their extensions (cursors too), and no XPM or XBM files.
TEST(RunnerTest, AFolderGivesItsPicturesOfEveryFormatReadAndNoOthers) {
    ScratchDir dir;
    const std::string seeds = WORKBENCH_SOURCE_DIR "/fuzz/seeds/";
    std::filesystem::create_directories("in");
    for (const auto& [from, to] : {std::pair{"cur/cursor.cur", "in/a.cur"}, std::pair{"gif/t.gif", "in/b.gif"},
                                   std::pair{"pnm/raw16.pgm", "in/c.pgm"}, std::pair{"ico/multi.ico", "in/d.ICO"}})
        std::filesystem::copy_file(seeds + from, to);
    ASSERT_TRUE(WriteBytes("in/e.xpm", "/* XPM */\nstatic char *e[] = {\n\"1 1 1 1\",\n\"a c #ff0000\",\n\"a\"};\n"));
    ASSERT_TRUE(WriteBytes("in/f.xbm", "#define f_width 1\n#define f_height 1\nstatic char f_bits[] = { 0x01 };\n"));
    const ToolRun run = RunTool({"--out", "out", "--report", "r.jsonl", "in"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    const std::vector<QJsonObject> entries = ReportEntries("r.jsonl");
    EXPECT_EQ(Inputs(entries, "done"), (std::multiset<std::string>{"in/a.cur", "in/b.gif", "in/c.pgm", "in/d.ICO"}));
    EXPECT_EQ(Inputs(entries, "passed over"), (std::multiset<std::string>{"in/e.xpm", "in/f.xbm"}));
    EXPECT_EQ(entries.size(), 6u);
}

TEST(RunnerTest, AFolderLockedByAnotherRunIsLeftAlone) {
    ScratchDir dir;
    MakePicture("in/a.png", 30, 20, 1);
    MakePicture("in/b.png", 30, 20, 2);
    std::filesystem::create_directories("out/a");
    const int folder = ::open("out/a", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(::flock(folder, LOCK_EX), 0);
    const ToolRun run = RunTool({"--out", "out", "in"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "workbench-batch: \"in/a.png\": another run is working in \"out/a\"\n");
    EXPECT_TRUE(std::filesystem::is_empty("out/a"));
    ExpectSameAsSingleRun("in/b.png", "out/b");
    ::close(folder);
    EXPECT_EQ(RunTool({"--out", "out", "in"}).exitCode, 0);
    ExpectSameAsSingleRun("in/a.png", "out/a");
}

TEST(RunnerTest, ProgressIsOneLineAPictureWithoutATerminal) {
    ScratchDir dir;
    for (int i = 0; i < 3; ++i) MakePicture("in/p" + std::to_string(i) + ".png", 25, 15, static_cast<std::uint32_t>(i));
    ASSERT_TRUE(WriteBytes("in/p3.png", "junk"));
    const ToolRun run = RunTool({"--out", "out", "--jobs", "1", "in"});
    const QList<QByteArray> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 5) << run.out.toStdString();
    // Counted in the order they end; a done picture ends once its record is
    // written, after a failure that came later may have been told.
    std::set<std::string> told;
    for (int i = 0; i < 4; ++i) {
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral(R"(^\[%1/4\] (done "in/p[0-2]\.png" 25x15|failed "in/p3\.png") [0-9]+\.[0-9]{3} s$)").arg(i + 1))
                .match(QString::fromUtf8(lines[i]));
        EXPECT_TRUE(match.hasMatch()) << lines[i].toStdString();
        told.insert(match.captured(1).toStdString());
    }
    EXPECT_EQ(told.size(), 4u) << run.out.toStdString();
    EXPECT_TRUE(QRegularExpression(R"(^3 done, 0 skipped, 1 failed in [0-9]+\.[0-9] s$)").match(QString::fromUtf8(lines[4])).hasMatch())
        << lines[4].toStdString();
}

TEST(RunnerTest, ARerunCountsSkippedPicturesOnLinesOfTheirOwn) {
    ScratchDir dir;
    for (int i = 0; i < 3; ++i) MakePicture("in/p" + std::to_string(i) + ".png", 25, 15, static_cast<std::uint32_t>(i));
    ASSERT_EQ(RunTool({"--out", "out", "--jobs", "1", "in/p0.png", "in/p2.png"}).exitCode, 0);
    const ToolRun run = RunTool({"--out", "out", "--jobs", "1", "in"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QList<QByteArray> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 4) << run.out.toStdString();
    std::set<std::string> told;
    for (int i = 0; i < 3; ++i) {
        const QRegularExpressionMatch match =
            QRegularExpression(QStringLiteral(R"(^\[%1/3\] (skipped "in/p[02]\.png"|done "in/p1\.png") 25x15 [0-9]+\.[0-9]{3} s$)").arg(i + 1))
                .match(QString::fromUtf8(lines[i]));
        EXPECT_TRUE(match.hasMatch()) << lines[i].toStdString();
        told.insert(match.captured(1).toStdString());
    }
    EXPECT_EQ(told.size(), 3u) << run.out.toStdString();
    EXPECT_TRUE(lines[3].startsWith("1 done, 2 skipped, 0 failed in ")) << lines[3].toStdString();
}

TEST(RunnerTest, ProgressIsOneLineUpdatedInPlaceOnATerminal) {
    ScratchDir dir;
    for (int i = 0; i < 4; ++i) MakePicture("in/p" + std::to_string(i) + ".png", 25, 15, static_cast<std::uint32_t>(i));
    // script(1) gives the run a pseudo-terminal and copies what it shows.
    const std::string command = std::string("'") + kBatch + "' --out out --jobs 1 in";
    const ToolRun run = Child({"-qfec", QByteArray::fromStdString(command), "/dev/null"}, {}, "/usr/bin/script").Wait();
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QString shown = QString::fromUtf8(run.out);
    // No line per picture: each update returns to the start of the line and clears it.
    EXPECT_EQ(shown.count('\n'), 2) << run.out.toStdString();
    EXPECT_TRUE(QRegularExpression(R"(\r\x1b\[K4/4: 4 done, 0 skipped, 0 failed, [0-9]+\.[0-9] pictures/s, 0:00:00 left)").match(shown).hasMatch())
        << run.out.toStdString();
    EXPECT_TRUE(QRegularExpression(R"(\r\x1b\[K([0-3])/4: \1 done, 0 skipped, 0 failed, ([0-9.]+ pictures/s, [0-9]+:[0-9]{2}:[0-9]{2}|0.0 pictures/s, \?) left)").match(shown).hasMatch())
        << run.out.toStdString();
    EXPECT_TRUE(shown.contains(QRegularExpression(R"(\n4 done, 0 skipped, 0 failed in [0-9.]+ s\r?\n$)"))) << run.out.toStdString();
}


// ---------------------------------------------------------------------------
// Files of several pages

// A TIFF file of `pages` pages of different sizes (page K is 20 + K wide).
void MakeTiff(const std::string& path, int pages) {
    std::vector<tifftest::Page> list;
    for (int k = 1; k <= pages; ++k) {
        tifftest::Page page;
        page.width = 20 + k;
        page.height = 15;
        page.samples = 3;
        page.photometric = PHOTOMETRIC_RGB;
        page.compression = k % 2 ? COMPRESSION_LZW : COMPRESSION_ADOBE_DEFLATE;
        page.seed = static_cast<std::uint32_t>(k);
        list.push_back(page);
    }
    const tifftest::Bytes bytes = tifftest::Write(list).bytes;
    const std::filesystem::path where(path);
    if (where.has_parent_path()) std::filesystem::create_directories(where.parent_path());
    ASSERT_TRUE(WriteBytes(QString::fromStdString(path), QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                                                     static_cast<qsizetype>(bytes.size()))));
}

// The picture's size in a BMP file's header.
std::pair<int, int> BmpSizeOf(const std::string& path) {
    const std::string bytes = ReadAll(path);
    if (bytes.size() < 26) return {0, 0};
    const auto int32 = [&](std::size_t at) {
        return static_cast<int>(static_cast<std::uint8_t>(bytes[at]) | static_cast<std::uint8_t>(bytes[at + 1]) << 8 |
                                static_cast<std::uint8_t>(bytes[at + 2]) << 16 | static_cast<std::uint8_t>(bytes[at + 3]) << 24);
    };
    return {int32(18), std::abs(int32(22))};
}

TEST(RunnerPagesTest, PageOptionLoadsThatPage) {
    ScratchDir dir;
    MakeTiff("three.tif", 3);
    MakePicture("one.png", 9, 7, 1);
    for (int k = 1; k <= 3; ++k) {
        const std::string folder = "p" + std::to_string(k);
        const ToolRun run = RunTool({"-C", QByteArray::fromStdString(folder), "--page", QByteArray::number(k), "load",
                                     "../three.tif", "filter"});
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_EQ(BmpSizeOf(folder + "/A.bmp"), std::make_pair(20 + k, 15));
    }
    const ToolRun first = RunTool({"-C", "default", "load", "../three.tif", "filter"});
    ASSERT_EQ(first.exitCode, 0) << first.err.toStdString();
    EXPECT_EQ(ReadAll("default/A.bmp"), ReadAll("p1/A.bmp"));

    const ToolRun past = RunTool({"--page", "4", "load", "three.tif", "filter"});
    EXPECT_EQ(past.exitCode, 1);
    EXPECT_EQ(past.err, "workbench-batch: Cannot read \"three.tif\": the file has only 3 pages\n");
    EXPECT_FALSE(std::filesystem::exists("A.bmp"));
    const ToolRun single = RunTool({"--page", "2", "load", "one.png"});
    EXPECT_EQ(single.exitCode, 1);
    EXPECT_EQ(single.err, "workbench-batch: Cannot read \"one.png\": the file has only 1 page\n");
    EXPECT_EQ(RunTool({"--page", "1", "load", "one.png", "filter"}).exitCode, 0);
}

TEST(RunnerPagesTest, EveryPageIsAPictureWithItsOwnFolderAndReportLine) {
    ScratchDir dir;
    MakeTiff("in/three.tif", 3);
    MakeTiff("in/one.TIFF", 1);
    MakePicture("in/plain.png", 12, 8, 2);
    const QList<QByteArray> command{"--out", "out", "--jobs", "2", "--report", "r.jsonl", "in"};
    const ToolRun run = RunTool(command);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(Lines(run.out).back().startsWith("5 done, 0 skipped, 0 failed in ")) << run.out.toStdString();
    for (int k = 1; k <= 3; ++k) {
        SCOPED_TRACE(k);
        ExpectSameAsSingleRun("in/three.tif", "out/three/page-" + std::to_string(k), k);
        EXPECT_EQ(BmpSizeOf("out/three/page-" + std::to_string(k) + "/D.bmp"), std::make_pair(20 + k, 15));
    }
    EXPECT_FALSE(std::filesystem::exists("out/three/A.bmp"));
    ExpectSameAsSingleRun("in/one.TIFF", "out/one");
    ExpectSameAsSingleRun("in/plain.png", "out/plain");

    std::map<std::string, std::string> pages;  // folder -> page, as the report gives them
    for (const QJsonObject& entry : ReportEntries("r.jsonl")) {
        EXPECT_EQ(entry["status"].toString(), "done");
        pages[entry["folder"].toString().toStdString()] =
            entry["page"].isNull() ? "null" : std::to_string(entry["page"].toInt());
    }
    EXPECT_EQ(pages, (std::map<std::string, std::string>{{"out/one", "null"},
                                                          {"out/plain", "null"},
                                                          {"out/three/page-1", "1"},
                                                          {"out/three/page-2", "2"},
                                                          {"out/three/page-3", "3"}}));
    // Done pages are skipped like any finished picture.
    EXPECT_TRUE(Lines(RunTool(command).out).back().startsWith("0 done, 5 skipped, 0 failed")) << run.out.toStdString();
}

TEST(RunnerPagesTest, APageFolderThatClashesIsRefusedBeforeAnyWork) {
    ScratchDir dir;
    MakeTiff("in/scan.tif", 2);
    MakePicture("in/scan/page-2.png", 9, 9, 1);
    const ToolRun run = RunTool({"--out", "out", "in"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, "workbench-batch: \"in/scan/page-2.png\" and \"in/scan.tif\" page 2 would share the result folder "
                       "\"out/scan/page-2\"; rename one of them, or add --with-extension for result folders named with "
                       "the extension (\"out/scan/page-2.png\" and \"out/scan.tif/page-2\")\n");
    EXPECT_FALSE(std::filesystem::exists("out"));
}

// A page that fails is named with its page, once, with the reason the word
// chain gives for that page.
TEST(RunnerPagesTest, AFailingPageIsNamedOnceWithItsPage) {
    ScratchDir dir;
    MakeTiff("in/two.tif", 2);
    tifftest::Bytes bytes;
    {
        const std::string text = ReadAll("in/two.tif");
        bytes.assign(text.begin(), text.end());
    }
    // Page 2's strips start past the end of the file.
    tifftest::Patcher second(bytes, 1);
    std::vector<std::uint32_t> offsets = second.Get(TIFFTAG_STRIPOFFSETS);
    for (std::uint32_t& offset : offsets) offset = static_cast<std::uint32_t>(bytes.size()) + 4096;
    second.Put(TIFFTAG_STRIPOFFSETS, offsets);
    ASSERT_TRUE(WriteBytes("in/two.tif", QByteArray(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<qsizetype>(bytes.size()))));
    const ToolRun word = RunTool({"--page", "2", "load", "in/two.tif"});
    ASSERT_EQ(word.exitCode, 1);
    const QByteArray wordLine = "workbench-batch: Cannot read \"in/two.tif\": ";
    ASSERT_TRUE(word.err.startsWith(wordLine)) << word.err.toStdString();
    const QByteArray reason = word.err.mid(wordLine.size());

    const ToolRun run = RunTool({"--out", "out", "in"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err, "workbench-batch: Cannot read \"in/two.tif\" page 2: " + reason);
    ExpectSameAsSingleRun("in/two.tif", "out/two/page-1", 1);
}

// A file whose chain of pages loops back is one picture that fails, with
// one line.
TEST(RunnerPagesTest, AFileWithABrokenChainOfPagesFailsOnce) {
    ScratchDir dir;
    MakeTiff("in/loop.tif", 2);
    tifftest::Bytes bytes;
    {
        const std::string text = ReadAll("in/loop.tif");
        bytes.assign(text.begin(), text.end());
    }
    tifftest::Patcher second(bytes, 1);
    second.Put32(second.NextAt(), tifftest::Patcher(bytes).directory());
    ASSERT_TRUE(WriteBytes("in/loop.tif", QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()))));
    MakePicture("in/fine.png", 9, 9, 1);
    const ToolRun run = RunTool({"--out", "out", "in"});
    EXPECT_EQ(run.exitCode, 1);
    const QList<QByteArray> errors = Lines(run.err);
    ASSERT_EQ(errors.size(), 1) << run.err.toStdString();
    EXPECT_TRUE(errors[0].startsWith("workbench-batch: Cannot read \"in/loop.tif\": ")) << errors[0].toStdString();
    EXPECT_TRUE(errors[0].contains("loops")) << errors[0].toStdString();
    ExpectSameAsSingleRun("in/fine.png", "out/fine");
}

}  // namespace
