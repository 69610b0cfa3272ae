// The many-pictures mode runs each picture larger than a few megabytes as a
// stream of rows, in bands on several threads, and smaller ones whole: its
// files are the in-memory chain's byte for byte either way, a
// picture damaged halfway leaves nothing, a picture too large for a BMP
// stage file is refused before any work, the height costs no memory, and a
// signal that stops the run stops a streamed picture at once.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QImage>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>

#include "core/picture.h"
#include "batch/chain.h"
#include "codec/bmp.h"
#include "codec/png_write.h"
#include "tests/runner_test_support.h"

namespace {

using namespace runner_test;

// The bytes EncodePng gives for the word chain's stage file, with the
// resolution in its header: what the in-memory chain writes for that stage
// as PNG. (The pictures made here declare one, as Qt writes them.)
std::string PngOfBmp(const std::string& bmpPath) {
    const std::string file = ReadAll(bmpPath);
    std::vector<std::uint8_t> pixels;
    ops::RowView rows;
    codec::DecodeBmp(std::span(reinterpret_cast<const std::uint8_t*>(file.data()), file.size()),
                     [&](int width, int height) {
                         pixels.assign(3 * static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
                         rows = {pixels.data(), width, height, 3 * static_cast<std::ptrdiff_t>(width)};
                         return rows;
                     },
                     std::uint64_t{1} << 32);
    const auto le32 = [&file](std::size_t at) {
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<std::uint8_t>(file[at + static_cast<std::size_t>(i)]);
        return value;
    };
    std::string png;
    codec::EncodePng(
        rows, [&](const std::uint8_t* bytes, std::size_t size) { png.append(reinterpret_cast<const char*>(bytes), size); },
        codec::Resolution(le32(38), le32(42)));
    return png;
}

// The word chain run once in an empty folder.
std::string WordChain(const std::string& input) {
    static int count = 0;
    const std::string folder =
        "/tmp/workbench-stream-reference-" + std::to_string(::getpid()) + "-" + std::to_string(count++);
    const ToolRun run = RunTool({"-C", QByteArray::fromStdString(folder), "load",
                                 QByteArray::fromStdString(std::filesystem::current_path().string() + "/" + input),
                                 "filter", "binarize", "thin", "label"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    return folder;
}

struct StreamCase {
    std::string name;
    std::string file;  // its extension gives the format
    int width, height;
    std::uint32_t seed;  // a multiple of 3 gives random pixels, else strokes
};

class StreamedPictureTest : public testing::TestWithParam<StreamCase> {};

TEST_P(StreamedPictureTest, WritesTheInMemoryChainsBytesOnAnyNumberOfThreads) {
    const StreamCase& c = GetParam();
    ScratchDir dir;
    MakePicture("in/" + c.file, c.width, c.height, c.seed);
    const std::string reference = WordChain("in/" + c.file);
    const std::string name = std::filesystem::path(c.file).stem().string();
    for (const char* threads : {"1", "2", "3"}) {
        SCOPED_TRACE(std::string("--threads ") + threads);
        for (const char* format : {"bmp", "png"}) {
            std::filesystem::remove_all("out");
            const ToolRun run = RunTool({"--out", "out", "--threads", threads, "--format", format, "in/" + QByteArray::fromStdString(c.file)});
            ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
            for (const char stage : {'A', 'B', 'C', 'D'}) {
                const std::string bmp = reference + "/" + stage + ".bmp";
                const std::string got = ReadAll("out/" + name + "/" + stage + "." + format);
                const std::string want = std::string(format) == "bmp" ? ReadAll(bmp) : PngOfBmp(bmp);
                EXPECT_TRUE(got == want) << stage << "." << format << " differs from the in-memory chain's";
            }
        }
    }
    std::filesystem::remove_all(reference);
}

// Those run whole, as small pictures do.
INSTANTIATE_TEST_SUITE_P(
    Whole, StreamedPictureTest,
    testing::Values(StreamCase{"OnePixel", "dot.png", 1, 1, 1}, StreamCase{"OddSizeRandom", "odd.png", 47, 33, 3},
                    StreamCase{"TwoRows", "low.bmp", 300, 2, 2}, StreamCase{"AroundTheReach", "reach.png", 53, 41, 2},
                    StreamCase{"SeveralBandsRandom", "noise.bmp", 61, 900, 6},
                    StreamCase{"LargestWhole", "whole.png", 1024, 682, 2}),
    [](const auto& info) { return info.param.name; });

// Those are streamed: more than kWholePictureBytes of rows.
INSTANTIATE_TEST_SUITE_P(
    Streamed, StreamedPictureTest,
    testing::Values(StreamCase{"SmallestStreamed", "streamed.png", 1024, 683, 2},
                    StreamCase{"TwoRows", "low.bmp", 360000, 2, 2}, StreamCase{"TwoColumns", "narrow.png", 2, 360000, 1},
                    StreamCase{"AroundTheReach", "reach.png", 18000, 41, 2},
                    StreamCase{"SeveralBandsOfStrokes", "tall.png", 120, 6000, 2},
                    StreamCase{"SeveralBandsRandom", "noise.bmp", 61, 12000, 6},
                    StreamCase{"Jpeg", "photo.jpg", 400, 1800, 2}),
    [](const auto& info) { return info.param.name; });

TEST(StreamTest, TheCasesLieOnTheSidesOfTheWholePictureSize) {
    // 1024 x 682 is the largest picture of that width that runs whole.
    EXPECT_LE(3 * 1024 * 682, kWholePictureBytes);
    EXPECT_GT(3 * 1024 * 683, kWholePictureBytes);
    EXPECT_GT(3 * 61 * 12000, kWholePictureBytes);
    EXPECT_GT(3 * 2 * 360000, kWholePictureBytes);
    EXPECT_GT(3 * 18000 * 41, kWholePictureBytes);
    EXPECT_GT(3 * 120 * 6000, kWholePictureBytes);
    EXPECT_GT(3 * 400 * 1800, kWholePictureBytes);
}

TEST(StreamTest, APictureDamagedHalfwayLeavesNoFileAndNoTemporary) {
    ScratchDir dir;
    MakePicture("whole.png", 400, 3000, 3);
    const std::string bytes = ReadAll("whole.png");
    for (const char* threads : {"1", "2"}) {
        for (const char* format : {"bmp", "png"}) {
            SCOPED_TRACE(std::string(threads) + " threads, " + format);
            std::filesystem::create_directories("in");
            {
                std::ofstream cut("in/cut.png", std::ios::binary);
                cut.write(bytes.data(), static_cast<std::streamsize>(bytes.size() * 6 / 10));
            }
            std::filesystem::remove_all("out");
            const ToolRun run = RunTool({"--out", "out", "--threads", threads, "--format", format, "in"});
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_EQ(run.err.toStdString(), "workbench-batch: Cannot read \"in/cut.png\": the picture data is damaged "
                                             "or incomplete (the file ends before the end of the picture)\n");
            EXPECT_FALSE(std::filesystem::exists("out/cut")) << "a folder of a failed picture stays";
            EXPECT_TRUE(Temporaries("out").empty());
        }
    }
}

// A PNG file that declares a picture of width x height and holds the start
// of its pixels only.
void DeclaredOnlyPng(const std::string& path, std::uint32_t width, std::uint32_t height) {
    QByteArray header(8, 0);
    std::memcpy(header.data(), "\x89PNG\r\n\x1a\n", 8);
    QByteArray ihdr;
    test_bytes::AppendBe32(ihdr, width);
    test_bytes::AppendBe32(ihdr, height);
    ihdr.append("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB, not interlaced
    const QByteArray start = QByteArray::fromHex("789c");  // a zlib stream's header, and no more
    const QByteArray file = header + test_bytes::PngChunk("IHDR", ihdr) + test_bytes::PngChunk("IDAT", start) +
                            test_bytes::PngChunk("IEND", {});
    std::ofstream(path, std::ios::binary).write(file.constData(), file.size());
}

TEST(StreamTest, APictureTooLargeForABmpStageFileIsRefusedBeforeAnyWork) {
    ScratchDir dir;
    // 40000 x 40000 24-bit pixels take 4.8 GB, more than a BMP file counts.
    DeclaredOnlyPng("huge.png", 40000, 40000);
    const ToolRun run = RunTool({"--out", "out", "huge.png"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err.toStdString(), "workbench-batch: \"huge.png\": the picture is 40000 x 40000 pixels, too large for a BMP "
                                     "stage file (at most 4 GB); use --format png\n");
    EXPECT_FALSE(std::filesystem::exists("out/huge"));
    // As PNG the same picture is read, and its missing pixels are damage.
    const ToolRun png = RunTool({"--out", "out", "--format", "png", "huge.png"});
    EXPECT_EQ(png.exitCode, 1);
    EXPECT_NE(png.err.indexOf("damaged or incomplete"), -1) << png.err.toStdString();
    // 37000 x 37000 fits: 4.1 GB.
    DeclaredOnlyPng("large.png", 37000, 37000);
    const ToolRun fits = RunTool({"--out", "out", "large.png"});
    EXPECT_NE(fits.err.indexOf("damaged or incomplete"), -1) << fits.err.toStdString();
}

TEST(StreamTest, ARowWiderThanTheLimitIsRefusedBeforeAnyWork) {
    ScratchDir dir;
    DeclaredOnlyPng("wide.png", 100000000, 1);
    const ToolRun run = RunTool({"--out", "out", "--format", "png", "wide.png"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err.toStdString(), "workbench-batch: \"wide.png\": the picture is 100000000 x 1 pixels, wider than "
                                     "the limit of " + std::to_string(kMaxPictureWidth) + " pixels a row\n");
    EXPECT_FALSE(std::filesystem::exists("out/wide"));
}

TEST(StreamTest, ASmallPictureTooLargeToHoldWholeUnderTheLimitStreamsLikeALargeOne) {
    // Whole, 1000 x 600 pixels with every stage need about 2.5 MB: more
    // than the limit, which the stream does not need.
    ScratchDir dir;
    MakePicture("in/small.png", 1000, 600, 2);
    MakePicture("in/large.png", 1100, 700, 2);
    const ToolRun run = RunTool({"--out", "out", "--jobs", "1", "--threads", "1", "--max-memory", "2M", "in"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    ExpectSameAsSingleRun("in/small.png", "out/small");
    ExpectSameAsSingleRun("in/large.png", "out/large");
}

// Even as a stream a picture needs a few rows, more with more thinning
// iterations: a limit below that fails the picture alone, naming it.
TEST(StreamTest, ALimitBelowTheStreamsRowsFailsThePictureNamingIt) {
    struct Case {
        const char* limit;
        QList<QByteArray> settings;
        const char* need;  // empty: done
        const char* limitShown;
    };
    const Case cases[] = {
        {"1K", {}, "23.8 KB", "1 KB"},
        {"64K", {}, "", ""},
        {"64K", {"--thin", "1000"}, "1015 KB", "64 KB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.limit) + (c.settings.isEmpty() ? "" : " --thin 1000"));
        ScratchDir dir;
        MakePicture("in/a.png", 640, 480, 2);
        QList<QByteArray> args{"--out", "out", "--jobs", "1", "--max-memory", c.limit};
        args += c.settings;
        args << "in";
        const ToolRun run = RunTool(args);
        if (std::string(c.need).empty()) {
            EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
            EXPECT_TRUE(std::filesystem::exists("out/a/.finished"));
            continue;
        }
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err.toStdString(), std::string("workbench-batch: \"in/a.png\": the picture is 640 x 480 pixels and "
                                                     "needs about ") + c.need + " even as a stream of rows, more than the "
                                                     "worker's memory limit of " + c.limitShown + " (--max-memory)\n");
        EXPECT_FALSE(std::filesystem::exists("out/a"));
    }
}

TEST(StreamTest, TheHeightCostsNoMemory) {
    // 400 x 200,000 pixels are 240 MB as 24-bit rows, four times the
    // worker's limit here: the stream holds a few rows at a time, and the
    // kernel's limit on the worker's address space stands behind it.
    ScratchDir dir;
    std::filesystem::create_directories("in");
    for (const int height : {2000, 200000}) {
        QImage image(400, height, QImage::Format_Grayscale8);
        for (int y = 0; y < height; ++y) {
            std::uint8_t* row = image.scanLine(y);
            for (int x = 0; x < 400; ++x) row[x] = ((x / 7 + y / 11) % 9 == 0) ? 20 : 235;
        }
        ASSERT_TRUE(image.save(QString("in/h%1.png").arg(height), "PNG"));
    }
    for (const char* threads : {"1", "2"}) {
        SCOPED_TRACE(std::string(threads) + " threads");
        std::filesystem::remove_all("out");
        const ToolRun run = RunTool({"--out", "out", "--jobs", "1", "--threads", threads, "--max-memory", "60M",
                                     "--keep", "C", "--format", "png", "in"});
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_TRUE(std::filesystem::exists("out/h200000/C.png"));
    }
}

// How the test starts the run with the signal it then sends.
enum class AtStart {
    kDefault,
    kIgnored,  // as a shell script starts a background job (SIGINT) or nohup does (SIGHUP)
    kBlocked,  // in the signal mask the run starts with
};

struct StopCase {
    std::string name;
    int signal;
    AtStart atStart;
    QList<QByteArray> options;
};

class StopStreamTest : public testing::TestWithParam<StopCase> {};

// Whether the process ends within the time; it is left to be reaped.
bool EndsWithin(pid_t pid, std::chrono::milliseconds time) {
    const auto end = std::chrono::steady_clock::now() + time;
    do {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

// A stop signal ends the run and the worker it passes the signal on to at
// once, also one blocked when the run started: a picture half streamed ends
// there, leaves nothing, and the picture finished before it stays recorded.
// One ignored when the run started (nohup, a script's background job)
// stays ignored, and SIGTERM then stops the run in the same way.
TEST_P(StopStreamTest, TheSignalEndsAStreamedPictureAtOnce) {
    const StopCase& c = GetParam();
    ScratchDir dir;
    MakePicture("in/a.png", 64, 48, 1);
    // A black square of 4000 x 4000 pixels: --thin full takes about 2000
    // passes over its rows, some 17 s on one thread.
    QImage square(4000, 4000, QImage::Format_Grayscale8);
    square.fill(255);
    for (int y = 10; y < 3990; ++y) std::memset(square.scanLine(y) + 10, 0, 3980);
    ASSERT_TRUE(square.save("in/big.png", "PNG"));

    QList<QByteArray> args{"--out", "out", "--jobs", "1", "--threads", "1", "--report", "r.jsonl"};
    args += c.options;
    args += "in";
    struct sigaction previousAction {};
    sigset_t sent, previousMask;
    sigemptyset(&sent);
    sigaddset(&sent, c.signal);
    if (c.atStart == AtStart::kIgnored) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(c.signal, &ignore, &previousAction);
    }
    if (c.atStart == AtStart::kBlocked) ::sigprocmask(SIG_BLOCK, &sent, &previousMask);
    Child run(args);
    if (c.atStart == AtStart::kIgnored) ::sigaction(c.signal, &previousAction, nullptr);
    if (c.atStart == AtStart::kBlocked) ::sigprocmask(SIG_SETMASK, &previousMask, nullptr);

    // "a" sorts first: once the one worker reads "big", "a" is finished.
    std::vector<pid_t> workers;
    WaitUntil([&] { return (workers = ChildrenOf(run.pid())).size() == 1 && HasOpen(workers[0], "in/big.png"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(::kill(run.pid(), c.signal), 0);
    int stopper = c.signal;
    if (c.atStart == AtStart::kIgnored) {
        const bool ended = EndsWithin(run.pid(), std::chrono::seconds(1));
        EXPECT_FALSE(ended) << "a signal ignored when the run started stopped it";
        if (ended) return (void)run.Wait();
        EXPECT_TRUE(Alive(workers[0])) << "a signal ignored when the run started ended its worker";
        stopper = SIGTERM;
        ASSERT_EQ(::kill(run.pid(), stopper), 0);
    }
    const bool ended = EndsWithin(run.pid(), std::chrono::seconds(3));
    EXPECT_TRUE(ended) << "the run still works on the picture 3 s after the signal";
    if (!ended) ::kill(run.pid(), SIGKILL);
    const ToolRun stopped = run.Wait();
    if (!ended) return;

    EXPECT_EQ(stopped.exitCode, 128 + stopper) << stopped.err.toStdString();
    EXPECT_TRUE(stopped.err.isEmpty()) << stopped.err.toStdString();
    const QList<QByteArray> lines = Lines(stopped.out);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_TRUE(lines.back().contains(", 1 not finished")) << stopped.out.toStdString();
    EXPECT_FALSE(Alive(workers[0]));
    EXPECT_FALSE(std::filesystem::exists("out/big")) << "the stopped picture left files";
    EXPECT_TRUE(Temporaries(".").empty());
    EXPECT_TRUE(std::filesystem::exists("out/a/.finished"));
    const std::vector<QJsonObject> entries = ReportEntries("r.jsonl");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(Inputs(entries, "done"), std::multiset<std::string>{"in/a.png"});
}

INSTANTIATE_TEST_SUITE_P(
    Signals, StopStreamTest,
    testing::Values(StopCase{"SigintIgnoredInABackgroundJob", SIGINT, AtStart::kIgnored, {"--thin", "full"}},
                    StopCase{"SighupIgnoredUnderNohup", SIGHUP, AtStart::kIgnored, {"--thin", "full"}},
                    StopCase{"SigtermBlockedAtStartWithOtsu", SIGTERM, AtStart::kBlocked,
                             {"--threshold", "otsu", "--thin", "full"}},
                    StopCase{"Sighup", SIGHUP, AtStart::kDefault, {"--thin", "full"}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
