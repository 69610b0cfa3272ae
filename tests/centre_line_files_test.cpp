// Centre-line files: paths kept in the temporary file read back as they
// were handed out, and each vector format written for a small drawing,
// text worked out by hand.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "codec/vector.h"
#include "core/centre_lines.h"
#include "ops/skeleton_stream.h"
#include "ops_test_pictures.h"
#include "tests/centre_line_drawing.h"
#include "tests/test_support.h"

namespace {

using ops_test::Drawn;
using ops_test::Picture;

std::string ReadAll(const std::string& name) {
    std::string text;
    const int fd = open(name.c_str(), O_RDONLY);
    if (fd < 0) return "<missing>";
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return text;
}

using centre_line_drawing::kDrawing;

struct Written {
    ops::SkeletonMeasures measures;
    ops::CentreLines lines;
};

Written Measured(CentreLinePaths& paths, Picture& pic) {
    ops::SkeletonStream stream(pic.width(), pic.height(), paths.Sink());
    for (int y = 0; y < pic.height(); ++y) stream.Add(pic.row(y));
    Written w;
    w.measures = stream.Finish(&w.lines);
    return w;
}

// Each path as the stream hands it out, by piece, while `kept` keeps it.
using Handed = std::map<std::int64_t, std::vector<ops::PixelPoint>>;
Handed KeptAndHanded(CentreLinePaths& kept, Picture& pic) {
    Handed handed;
    const ops::CentrePathSink sink = kept.Sink();
    ops::SkeletonStream stream(pic.width(), pic.height(), [&](std::int64_t piece, std::span<const ops::PixelPoint> path) {
        handed[piece].assign(path.begin(), path.end());
        sink(piece, path);
    });
    for (int y = 0; y < pic.height(); ++y) stream.Add(pic.row(y));
    stream.Finish();
    return handed;
}

TEST(CentreLineFiles, PathsReadBackAsTheyWereHandedOut) {
    ScratchDir dir;
    std::mt19937 rng(5);
    for (int round = 0; round < 100; ++round) {
        Picture pic = ops_test::RandomDrawing(rng);
        CentreLinePaths kept(FileName(dir.path()));
        const Handed handed = KeptAndHanded(kept, pic);
        for (const auto& [piece, path] : handed) EXPECT_EQ(kept.PathOf(piece), path) << "round " << round << " piece " << piece;
    }
}

// Paths read back in any order, the file read in windows: a path longer
// than a window, and many short ones read last to first.
TEST(CentreLineFiles, PathsReadBackInAnyOrder) {
    ScratchDir dir;
    const int w = 300001;
    Picture pic(w, 3);
    pic.Fill(ops_test::kWhite);
    pic.Fill(ops_test::kBlack, 0, 0, w, 1);
    for (int x = 0; x + 1 < w; x += 3) pic.Fill(ops_test::kBlack, x, 2, 2, 1);
    CentreLinePaths kept(FileName(dir.path()));
    const Handed handed = KeptAndHanded(kept, pic);
    ASSERT_EQ(handed.size(), 1u + w / 3);
    std::size_t longest = 0;
    for (const auto& [piece, path] : handed) longest = std::max(longest, path.size());
    EXPECT_EQ(longest, static_cast<std::size_t>(w));
    std::vector<ops::PixelPoint> path;
    for (auto it = handed.rbegin(); it != handed.rend(); ++it) {
        kept.PathOf(it->first, path);
        ASSERT_EQ(path, it->second) << "piece " << it->first;
    }
}

// Coordinates are written in the shortest text that reads back: the same
// as the general formatting, pixel centres or not.
TEST(CentreLineFiles, NumbersAreTheShortestThatReadBack) {
    const double values[] = {0.5,     1.5,         -0.5,         -1.5,          12345.5,       39999.5,
                             0.25,    1.0 / 3,     2.0,          100000.0,      1e6,           -100000.0,
                             1e-7,    1073741823.5, 1073741824.5, 4294967296.5,  0.0,           -0.0,
                             7.0 / 2, 1e300,        -2.5e-300};
    for (const double v : values) {
        char general[64];
        const char* end = std::to_chars(general, general + sizeof general, v).ptr;
        const std::string expected = v == 0 ? std::string("0") : std::string(static_cast<const char*>(general), end);
        EXPECT_EQ(codec::ShortestNumber(v), expected) << v;
        char put[32];
        EXPECT_EQ(std::string(put, codec::PutShortestNumber(put, v)), expected) << v;
        EXPECT_EQ(std::strtod(expected.c_str(), nullptr), v) << expected;
    }
}

struct FormatCase {
    const char* file;
    std::string text;
};

const FormatCase kFormats[] = {
    {"lines.svg", centre_line_drawing::kSvg},
    {"lines.geojson", centre_line_drawing::kGeoJson},
};

TEST(CentreLineFiles, EachFormatWritesTheDrawing) {
    ScratchDir dir;
    for (const FormatCase& c : kFormats) {
        SCOPED_TRACE(c.file);
        Picture pic = Drawn(kDrawing);
        CentreLinePaths paths(FileName(dir.path()));
        const Written w = Measured(paths, pic);
        const std::string target = dir.path() + "/" + c.file;
        paths.Write(FileName(target), *codec::VectorFormatOfFile(c.file), pic.width(), pic.height(), w.lines, 0);
        EXPECT_EQ(ReadAll(target), c.text);
    }
}

// A drawing of many lines, whose polylines are made blocks ahead of the
// writing on a second thread: the file is the one written a line at a
// time, dots before and after the lines where their skeletons fall. A comb
// of 5000 teeth (10 001 lines, in three blocks) between two rows of dots.
TEST(CentreLineFiles, ManyLinesAreWrittenAsOneAtATime) {
    ScratchDir dir;
    const int teeth = 5000, w = 2 * teeth + 1;
    Picture pic(w, 8);
    pic.Fill(ops_test::kWhite);
    pic.Fill(ops_test::kBlack, 0, 2, w, 1);
    for (int k = 0; k < teeth; ++k) pic.Fill(ops_test::kBlack, 2 * k + 1, 3, 1, 2 + k % 2);
    for (int x = 0; x < w; x += 7) pic.set(x, 0, ops_test::kBlack), pic.set(x, 7, ops_test::kBlack);
    for (const codec::VectorFormat format : codec::kVectorFormats) {
        for (const double tolerance : {0.0, 1.5}) {
            SCOPED_TRACE(std::string(codec::NameOf(format)) + " at " + std::to_string(tolerance));
            CentreLinePaths paths(FileName(dir.path()));
            const Written written = Measured(paths, pic);
            ASSERT_GT(written.lines.order.size(), 10000u);
            const std::string target = dir.path() + "/lines";
            paths.Write(FileName(target), format, pic.width(), pic.height(), written.lines, tolerance);
            std::string expected;
            const auto writer = codec::NewVectorWriter(format, pic.width(), pic.height(),
                                                       [&](const std::uint8_t* bytes, std::size_t size) {
                                                           expected.append(reinterpret_cast<const char*>(bytes), size);
                                                       });
            std::size_t dot = 0;
            for (const std::int64_t piece : written.lines.order) {
                const ops::CentrePiece& p = written.lines.pieces[static_cast<std::size_t>(piece)];
                for (; dot < written.lines.dots.size() && written.lines.dots[dot].skeleton < p.skeleton; ++dot)
                    writer->Dot(written.lines.dots[dot].skeleton, written.lines.dots[dot].at.Drawn());
                writer->Line(p, ops::PolylineOf(p, paths.PathOf(piece), tolerance));
            }
            for (; dot < written.lines.dots.size(); ++dot)
                writer->Dot(written.lines.dots[dot].skeleton, written.lines.dots[dot].at.Drawn());
            writer->End();
            EXPECT_TRUE(ReadAll(target) == expected) << "the file differs from the lines written one at a time";
        }
    }
}

TEST(CentreLineFiles, TheDxfHoldsOnePolylinePerBranchAndAPointPerDot) {
    ScratchDir dir;
    Picture pic = Drawn(kDrawing);
    CentreLinePaths paths(FileName(dir.path()));
    const Written w = Measured(paths, pic);
    const std::string target = dir.path() + "/lines.dxf";
    paths.Write(FileName(target), codec::VectorFormat::kDxf, pic.width(), pic.height(), w.lines, 0);
    const std::string text = ReadAll(target);
    auto count = [&](const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("\n0\nPOLYLINE\n"), 4u);
    EXPECT_EQ(count("\n0\nSEQEND\n"), 4u);
    EXPECT_EQ(count("\n0\nVERTEX\n"), 2u + 2u + 2u + 4u);
    EXPECT_EQ(count("\n0\nPOINT\n"), 1u);
    EXPECT_NE(text.find("0\nPOINT\n8\n0\n10\n5.5\n20\n4.5\n"), std::string::npos) << "y up: 5 - 0.5";
    EXPECT_EQ(text.rfind("0\nENDSEC\n0\nEOF\n"), text.size() - 15);
}

struct ExtensionCase {
    const char* name;
    std::optional<codec::VectorFormat> format;
};

TEST(CentreLineFiles, TheExtensionNamesTheFormat) {
    const ExtensionCase cases[] = {
        {"a.svg", codec::VectorFormat::kSvg},         {"A.SVG", codec::VectorFormat::kSvg},
        {"a.dxf", codec::VectorFormat::kDxf},         {"a.geojson", codec::VectorFormat::kGeoJson},
        {"a.json", codec::VectorFormat::kGeoJson},    {"dir.svg/a", std::nullopt},
        {"a.png", std::nullopt},                      {"svg", std::nullopt},
        {"a.svg.txt", std::nullopt},
    };
    for (const ExtensionCase& c : cases) EXPECT_EQ(codec::VectorFormatOfFile(c.name), c.format) << c.name;
}

}  // namespace
