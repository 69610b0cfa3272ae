// Tests of the core under both programs: the stages and their sets, the
// output formats by name, the stage files' names, the bitmap in plain
// memory (its row layout, its copies, its key), the chain's frame, and the
// writer of a picture by rows against the whole-picture encoder.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "codec/encode.h"
#include "codec/png_write.h"
#include "codec/row_writer.h"
#include "core/chain.h"
#include "core/picture.h"
#include "ops/stage.h"
#include "tests/test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using ops::Stage;
using ops::StageSet;

Bytes ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// ---------------------------------------------------------------------------
// Stages

TEST(StageSetTest, EverySetRoundTripsThroughItsLetters) {
    for (unsigned bits = 0; bits <= 15; ++bits) {
        const StageSet set = StageSet::OfBits(bits);
        SCOPED_TRACE(set.Letters());
        EXPECT_EQ(static_cast<int>(set.Letters().size()), set.size());
        const std::optional<StageSet> back = StageSet::OfLetters(set.Letters());
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(*back, set);
    }
}

TEST(StageSetTest, LettersOutOfOrderTwiceOrUnknownAreRefused) {
    for (const char* letters : {"BA", "AA", "DC", "E", "a", "A,B", " C"}) {
        SCOPED_TRACE(letters);
        EXPECT_FALSE(StageSet::OfLetters(letters).has_value());
    }
}

TEST(StageSetTest, TheChainRunsUpToTheLastStageKept) {
    struct Case {
        const char* letters;
        char last;
        std::string reached;  // the stages the chain runs
    };
    const Case cases[] = {{"A", 'A', "A"}, {"C", 'C', "ABC"}, {"BD", 'D', "ABCD"}, {"AB", 'B', "AB"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.letters);
        const StageSet set = *StageSet::OfLetters(c.letters);
        EXPECT_EQ(ops::LetterOf(set.Last()), c.last);
        std::string reached;
        for (const Stage stage : ops::kAllStages)
            if (set.Reaches(stage)) reached += ops::LetterOf(stage);
        EXPECT_EQ(reached, c.reached);
    }
    EXPECT_FALSE(StageSet().Reaches(Stage::kFiltered));
}

// ---------------------------------------------------------------------------
// Formats and names

TEST(OutputFormatTest, NamesAreTheLowerCaseExtensionsOnly) {
    for (const codec::OutputFormat format : codec::kOutputFormats)
        EXPECT_EQ(codec::OutputFormatNamed(codec::NameOf(format)), format);
    for (const char* name : {"BMP", "Png", "jpg", "", "bmp "}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(codec::OutputFormatNamed(name).has_value());
    }
}

TEST(StageFileNameTest, LetterAndExtension) {
    struct Case {
        Stage stage;
        std::optional<codec::OutputFormat> format;
        const char* name;
    };
    const Case cases[] = {
        {Stage::kFiltered, std::nullopt, "A.bmp"},  {Stage::kBinarized, std::nullopt, "B.bmp"},
        {Stage::kThinned, std::nullopt, "C.bmp"},   {Stage::kLabeled, std::nullopt, "D.bmp"},
        {Stage::kThinned, codec::OutputFormatNamed("png"), "C.png"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.format ? StageFileName(c.stage, *c.format) : StageFileName(c.stage), c.name);
}

TEST(ReasonTest, ErrorsWithoutWordsOfOurOwnTakeTheSystemsInLowerCase) {
    struct Case {
        int error;
        const char* reason;
    };
    const Case cases[] = {{ENOENT, "no such file"},
                          {EROFS, "the disk is read-only"},
                          {EBUSY, "device or resource busy"},
                          {EAGAIN, "resource temporarily unavailable"}};
    for (const Case& c : cases) EXPECT_EQ(files::Reason(c.error), c.reason) << c.error;
}

// ---------------------------------------------------------------------------
// The bitmap

// A picture of random pixels.
TBitmap Random(int width, int height, unsigned seed) {
    TBitmap bitmap;
    const ops::RowView rows = bitmap.Allocate(width, height);
    std::mt19937 rng(seed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < 3 * width; ++x) rows.row(y)[x] = static_cast<std::uint8_t>(rng());
    return bitmap;
}

Bytes RowBytes(const TBitmap& bitmap, int y) {
    const std::uint8_t* row = bitmap.ConstRows().row(y);
    return Bytes(row, row + 3 * bitmap.Width());
}

TEST(BitmapTest, RowsArePaddedToFourZeroBytes) {
    for (const int width : {1, 2, 3, 4, 47, 641}) {
        SCOPED_TRACE(width);
        const TBitmap bitmap = Random(width, 33, static_cast<unsigned>(width));
        EXPECT_EQ(bitmap.BytesPerLine() % 4, 0);
        EXPECT_LT(bitmap.BytesPerLine() - 3 * width, 4);
        for (int y = 0; y < bitmap.Height(); ++y)
            for (std::ptrdiff_t x = 3 * width; x < bitmap.BytesPerLine(); ++x)
                EXPECT_EQ(bitmap.ConstRows().row(y)[x], 0) << "row " << y;
    }
}

TEST(BitmapTest, ASizeOfNoPixelsIsEmpty) {
    for (const auto& [width, height] : std::vector<std::pair<int, int>>{{0, 5}, {5, 0}, {0, 0}}) {
        TBitmap bitmap = Random(3, 3, 1);
        EXPECT_TRUE(bitmap.Allocate(width, height).empty());
        EXPECT_TRUE(bitmap.Empty());
        EXPECT_EQ(bitmap.Key(), 0u);
    }
}

TEST(BitmapTest, ACopySharesItsBytesUntilEitherSideWrites) {
    const TBitmap original = Random(47, 33, 5);
    const Bytes before = RowBytes(original, 7);
    for (const bool writeTheCopy : {true, false}) {
        TBitmap a, b;
        a.Assign(original);
        b.Assign(a);
        EXPECT_EQ(a.Key(), b.Key()) << "a copy is the same picture until written";
        TBitmap& written = writeTheCopy ? b : a;
        const TBitmap& other = writeTheCopy ? a : b;
        written.Rows().row(7)[0] ^= 0xFF;
        EXPECT_NE(written.Key(), other.Key());
        EXPECT_EQ(RowBytes(other, 7), before);
        EXPECT_NE(RowBytes(written, 7), before);
        EXPECT_EQ(RowBytes(original, 7), before);
    }
}

// ---------------------------------------------------------------------------
// The chain's frame

TEST(ChainFrameTest, KeptStagesAreCalledInOrderAndTheChainStopsAtTheLast) {
    struct Case {
        const char* kept;
        const char* called;
        const char* lastStep;
    };
    const Case cases[] = {{"A", "A", "filter the picture"},
                          {"BD", "BD", "label the picture"},
                          {"C", "C", "thin the picture"},
                          {"ABCD", "ABCD", "label the picture"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kept);
        TBitmap picture = Random(47, 33, 3);
        std::string called;
        const char* step = "";
        RunStages(picture.Rows(), *StageSet::OfLetters(c.kept), [&](Stage stage) { called += ops::LetterOf(stage); },
                  step);
        EXPECT_EQ(called, c.called);
        EXPECT_STREQ(step, c.lastStep);
    }
}

TEST(ChainFrameTest, RunningTheStagesOneByOneGivesWhatRunningThemTogetherGives) {
    TBitmap together = Random(47, 33, 9), apart;
    apart.Assign(together);
    const char* step = "";
    RunStages(together.Rows(), StageSet::All(), [](Stage) {}, step);
    for (const Stage stage : ops::kAllStages) {
        if (stage == Stage::kThinned) {
            // The window's two pictures: the result stays in the one read.
            TBitmap write;
            write.Assign(apart);
            ThinStage(apart.Rows(), write.Rows());
        } else {
            RunStage(stage, apart.Rows());
        }
    }
    for (int y = 0; y < together.Height(); ++y) ASSERT_EQ(RowBytes(apart, y), RowBytes(together, y)) << "row " << y;
}

TEST(ChainFrameTest, AStageFileHoldsTheEncodersBytesAndAFailedWriteNamesTheFile) {
    ScratchDir dir;
    const TBitmap picture = Random(47, 33, 4);
    for (const codec::OutputFormat format : codec::kOutputFormats) {
        SCOPED_TRACE(codec::NameOf(format));
        const std::string name = StageFileName(Stage::kFiltered, format);
        WriteStageFile(FileName(name), picture.ConstRows(), format);
        Bytes expected;
        codec::Encode(picture.ConstRows(), format,
                      [&](const std::uint8_t* bytes, std::size_t size) { expected.insert(expected.end(), bytes, bytes + size); });
        EXPECT_EQ(ReadFile(name), expected);
    }
    try {
        WriteStageFile(FileName("no-such-folder/A.bmp"), picture.ConstRows(), codec::kStageOutput);
        ADD_FAILURE() << "a write into a missing folder succeeded";
    } catch (const Exception& error) {
        EXPECT_EQ(error.Message(), "Cannot write \"no-such-folder/A.bmp\": no such folder");
    }
}

TEST(ChainFrameTest, BmpFilesOfManyBlocksOfRowsReadBackAsWritten) {
    // Rows are read a block of up to 256 KiB at a time: pictures of several
    // blocks, of rows wider than a block, stored bottom-up and top-down.
    struct Case {
        int width, height;
        bool topDown;
    };
    const Case cases[] = {{47, 2000, false}, {47, 2000, true}, {100000, 3, false}, {100000, 3, true}, {641, 481, true}};
    ScratchDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height) + (c.topDown ? " top-down" : ""));
        const TBitmap picture = Random(c.width, c.height, static_cast<unsigned>(c.width + c.height));
        Bytes file;
        codec::Encode(picture.ConstRows(), codec::kStageOutput,
                      [&](const std::uint8_t* b, std::size_t n) { file.insert(file.end(), b, b + n); });
        if (c.topDown) {
            // The same rows in the other order, and a negative height.
            const std::size_t offset = file[10] | file[11] << 8 | file[12] << 16 | static_cast<std::size_t>(file[13]) << 24;
            const std::size_t row = static_cast<std::size_t>(picture.BytesPerLine());
            for (int y = 0; y < c.height / 2; ++y)
                std::swap_ranges(file.begin() + static_cast<std::ptrdiff_t>(offset + y * row),
                                 file.begin() + static_cast<std::ptrdiff_t>(offset + (y + 1) * row),
                                 file.begin() + static_cast<std::ptrdiff_t>(offset + (c.height - 1 - y) * row));
            const std::uint32_t height = static_cast<std::uint32_t>(-c.height);
            for (int i = 0; i < 4; ++i) file[22 + i] = static_cast<std::uint8_t>(height >> (8 * i));
        }
        std::ofstream("picture.bmp", std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                              static_cast<std::streamsize>(file.size()));
        TBitmap read;
        read.LoadFromFile(FileName("picture.bmp"));
        ASSERT_EQ(read.Width(), c.width);
        ASSERT_EQ(read.Height(), c.height);
        for (int y = 0; y < c.height; ++y) ASSERT_EQ(RowBytes(read, y), RowBytes(picture, y)) << "row " << y;
    }
}

// ---------------------------------------------------------------------------
// A picture written by rows

// The file RowFileWriter writes, rewritten when it says so.
Bytes WrittenByRows(const TBitmap& picture, codec::OutputFormat format, codec::ExpectedColours expected,
                    bool& rewritten) {
    Bytes file;
    codec::RowFileWriter writer(
        format, picture.Width(), picture.Height(), expected,
        {[&](const std::uint8_t* bytes, std::size_t size) { file.insert(file.end(), bytes, bytes + size); },
         [&](std::uint64_t offset, const std::uint8_t* bytes, std::size_t size) {
             if (file.size() < offset + size) file.resize(offset + size);
             std::memcpy(file.data() + offset, bytes, size);
         }});
    for (int y = 0; y < picture.Height(); ++y) writer.Row(y, picture.ConstRows().row(y));
    rewritten = !writer.Finish();
    if (!rewritten) return file;
    Bytes again;
    writer.Rewrite({file.size(),
                    [&](std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
                        const std::size_t n = offset >= file.size() ? 0 : std::min<std::size_t>(size, file.size() - offset);
                        std::memcpy(buffer, file.data() + offset, n);
                        return n;
                    }},
                   [&](const std::uint8_t* bytes, std::size_t size) { again.insert(again.end(), bytes, bytes + size); });
    return again;
}

// Pictures of the kinds the stages make, and one none of them makes.
TBitmap Kind(const std::string& kind, int width, int height) {
    TBitmap picture = Random(width, height, 7);
    const ops::RowView rows = picture.Rows();
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = rows.row(y) + 3 * x;
            if (kind == "gray") p[1] = p[2] = p[0];
            if (kind == "black and white") p[0] = p[1] = p[2] = (p[0] & 1) ? 255 : 0;
            if (kind == "labeled") p[1] = p[2] = 1, p[0] = (p[0] & 1) ? 255 : 0;
            if (kind == "four grays") p[0] = p[1] = p[2] = static_cast<std::uint8_t>(85 * (p[0] & 3));
            if (kind == "one label") p[0] = 255, p[1] = p[2] = 1;
        }
    return picture;
}

TEST(RowFileWriterTest, GivesTheWholeEncodersBytesWhateverTheColours) {
    struct Case {
        std::string kind;
        codec::ExpectedColours expected;
        bool rewritten;  // for PNG: the colours wanted another form than expected
    };
    const Case cases[] = {
        {"gray", codec::ExpectedColours::kGray, false},
        {"black and white", codec::ExpectedColours::kBlackAndWhite, false},
        {"labeled", codec::ExpectedColours::kTwoColours, false},
        {"black and white", codec::ExpectedColours::kGray, true},
        {"four grays", codec::ExpectedColours::kGray, true},
        {"one label", codec::ExpectedColours::kTwoColours, true},
    };
    for (const Case& c : cases)
        for (const auto& [width, height] : std::vector<std::pair<int, int>>{{1, 1}, {47, 33}}) {
            const TBitmap picture = Kind(c.kind, width, height);
            for (const codec::OutputFormat format : codec::kOutputFormats) {
                SCOPED_TRACE(c.kind + " as " + codec::NameOf(format) + " " + std::to_string(width));
                Bytes whole;
                codec::Encode(picture.ConstRows(), format,
                              [&](const std::uint8_t* b, std::size_t n) { whole.insert(whole.end(), b, b + n); });
                bool rewritten = false;
                EXPECT_EQ(WrittenByRows(picture, format, c.expected, rewritten), whole);
                // A 1 x 1 picture fits more forms than the kind suggests.
                if (width > 1) {
                    EXPECT_EQ(rewritten, format == codec::OutputFormat::kPng && c.rewritten);
                }
            }
        }
}

TEST(RowFileWriterTest, RowsTheExpectedColoursDoNotHoldAreRefused) {
    struct Case {
        std::string kind;
        codec::ExpectedColours expected;
    };
    const Case cases[] = {{"colour", codec::ExpectedColours::kGray},
                          {"gray", codec::ExpectedColours::kBlackAndWhite},
                          {"gray", codec::ExpectedColours::kTwoColours}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        const TBitmap picture = Kind(c.kind, 47, 33);
        bool rewritten = false;
        EXPECT_THROW(WrittenByRows(picture, *codec::OutputFormatNamed("png"), c.expected, rewritten),
                     codec::PngWriteError);
    }
}

}  // namespace
