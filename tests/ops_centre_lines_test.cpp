// Centre lines: hand-drawn skeletons with their polylines worked out by
// hand, and over random pictures the promises of ops/centre_lines.h: every
// end point and slab pixel on the lines, nothing dropped but straight runs,
// branches meeting at their junction's centre, simplification within its
// tolerance.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "ops/centre_lines.h"
#include "ops/skeleton_stream.h"
#include "ops/thinning.h"
#include "ops_test_pictures.h"

namespace {

using ops::DrawnPoint;
using ops_test::Drawn;
using ops_test::Picture;

struct Traced {
    ops::SkeletonMeasures measures;
    ops::CentreLines lines;
    std::map<std::int64_t, std::vector<ops::PixelPoint>> paths;  // by piece
    // The polylines in the order of the branches table, as drawn.
    std::vector<std::vector<DrawnPoint>> Polylines(double tolerance = 0) const {
        std::vector<std::vector<DrawnPoint>> out;
        for (const std::int64_t piece : lines.order)
            out.push_back(ops::PolylineOf(lines.pieces[static_cast<std::size_t>(piece)], paths.at(piece), tolerance));
        return out;
    }
};

Traced Trace(Picture& pic) {
    Traced t;
    ops::SkeletonStream stream(pic.width(), pic.height(), [&](std::int64_t piece, std::span<const ops::PixelPoint> path) {
        EXPECT_EQ(t.paths.count(piece), 0u) << "piece " << piece << " handed out twice";
        t.paths[piece].assign(path.begin(), path.end());
    });
    for (int y = 0; y < pic.height(); ++y) stream.Add(pic.row(y));
    t.measures = stream.Finish(&t.lines);
    return t;
}

std::string Text(const std::vector<DrawnPoint>& line) {
    std::string text;
    for (const DrawnPoint& p : line) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%s(%g %g)", text.empty() ? "" : " ", p.x, p.y);
        text += buffer;
    }
    return text;
}

struct Case {
    const char* name;
    std::vector<std::string> rows;
    std::vector<std::string> polylines;  // in the order of the branches table
    std::vector<std::string> dots;
};

const Case kCases[] = {
    {"a straight line is two points", {"......", ".####.", "......"}, {"(1.5 1.5) (4.5 1.5)"}, {}},
    {"a diagonal line is two points", {"#...", ".#..", "..#."}, {"(0.5 0.5) (2.5 2.5)"}, {}},
    {"a bend keeps its corner",
     {"#...", "#...", "####"},
     {"(0.5 0.5) (0.5 2.5) (3.5 2.5)"},
     {}},
    {"a T meets at its junction's centre",
     {"#####", "..#..", "..#..", "..#.."},
     // The junction is the pixel (0, 2): degree 3.
     {"(0.5 0.5) (2.5 0.5)", "(2.5 0.5) (4.5 0.5)", "(2.5 0.5) (2.5 3.5)"},
     {}},
    {"a plus meets at the centre of its five junction pixels",
     {"..#..", "..#..", "#####", "..#..", "..#.."},
     {"(2.5 0.5) (2.5 2.5)", "(0.5 2.5) (2.5 2.5)", "(2.5 2.5) (4.5 2.5)", "(2.5 2.5) (2.5 4.5)"},
     {}},
    {"a ring is closed from its first pixel",
     {"###", "#.#", "###"},
     {"(0.5 0.5) (2.5 0.5) (2.5 2.5) (0.5 2.5) (0.5 0.5)"},
     {}},
    {"a single pixel is a dot", {"...", ".#.", "..."}, {}, {"(1.5 1.5)"}},
    {"a 2 x 2 block is a dot at its centre", {"##.", "##.", "..."}, {}, {"(1 1)"}},
    {"a staircase keeps every corner",
     {"##..", ".##.", "..##"},
     {"(0.5 0.5) (1.5 0.5) (1.5 1.5) (2.5 1.5) (2.5 2.5) (3.5 2.5)"},
     {}},
};

TEST(CentreLines, HandDrawnSkeletonsGiveTheirPolylines) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Picture pic = Drawn(c.rows);
        const Traced t = Trace(pic);
        std::vector<std::string> got;
        for (const auto& line : t.Polylines()) got.push_back(Text(line));
        EXPECT_EQ(got, c.polylines);
        std::vector<std::string> dots;
        for (const ops::CentreDot& d : t.lines.dots) dots.push_back(Text({d.at.Drawn()}));
        EXPECT_EQ(dots, c.dots);
    }
}

double DistanceToLine(const DrawnPoint& p, const std::vector<DrawnPoint>& line) {
    double best = INFINITY;
    for (std::size_t k = 0; k + 1 < line.size(); ++k) {
        const DrawnPoint a = line[k], b = line[k + 1];
        const double dx = b.x - a.x, dy = b.y - a.y, l2 = dx * dx + dy * dy;
        const double t = l2 > 0 ? std::clamp(((p.x - a.x) * dx + (p.y - a.y) * dy) / l2, 0.0, 1.0) : 0;
        best = std::min(best, std::hypot(p.x - a.x - t * dx, p.y - a.y - t * dy));
    }
    if (line.size() == 1) best = std::hypot(p.x - line[0].x, p.y - line[0].y);
    return best;
}

std::size_t DistinctPoints(const std::vector<DrawnPoint>& line) {
    std::vector<DrawnPoint> seen;
    for (const DrawnPoint& p : line)
        if (std::find(seen.begin(), seen.end(), p) == seen.end()) seen.push_back(p);
    return seen.size();
}

// Random strokes, rings, blobs and dots, and thinned noise.
std::vector<Picture> RandomPictures() {
    std::vector<Picture> out;
    std::mt19937 rng(2222);
    for (int k = 0; k < 300; ++k) out.push_back(ops_test::RandomDrawing(rng));
    for (int k = 0; k < 60; ++k) {
        const int w = std::uniform_int_distribution<int>(1, 60)(rng), h = std::uniform_int_distribution<int>(1, 40)(rng);
        Picture pic(w, h), thinned(w, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const std::uint8_t v = std::uniform_int_distribution<int>(0, 99)(rng) < 55 ? 0 : 255;
                pic.set(x, y, {v, v, v});
            }
        thinned = pic;
        ops::Thin(pic.view(), thinned.view());
        out.push_back(thinned);
    }
    return out;
}

TEST(CentreLines, RandomPicturesKeepThePromises) {
    std::vector<Picture> pictures = RandomPictures();
    for (std::size_t n = 0; n < pictures.size(); ++n) {
        Picture& pic = pictures[n];
        SCOPED_TRACE("picture " + std::to_string(n));
        const Traced t = Trace(pic);
        const ops::SkeletonMeasures whole = ops::MeasureSkeleton(pic.view());
        ASSERT_EQ(ops::BranchesCsv(t.measures), ops::BranchesCsv(whole)) << "tracing changes no measure";
        ASSERT_EQ(t.lines.order.size(), t.measures.branches.size());
        EXPECT_EQ(t.paths.size(), t.lines.pieces.size()) << "every piece handed out once";
        const auto lines = t.Polylines();
        // Each polyline from its source to its destination (or its junction's centre).
        for (std::size_t k = 0; k < lines.size(); ++k) {
            const ops::SkeletonBranch& b = t.measures.branches[k];
            const ops::CentrePiece& piece = t.lines.pieces[static_cast<std::size_t>(t.lines.order[k])];
            ASSERT_GE(lines[k].size(), 2u);
            EXPECT_EQ(piece.skeleton, b.skeleton);
            EXPECT_EQ(piece.branch, b.branch);
            const DrawnPoint src = piece.start.count ? piece.start.Drawn() : DrawnPoint{b.src_col + 0.5, b.src_row + 0.5};
            const DrawnPoint dst = piece.end.count ? piece.end.Drawn() : DrawnPoint{b.dst_col + 0.5, b.dst_row + 0.5};
            EXPECT_EQ(lines[k].front(), src) << "branch " << k;
            EXPECT_EQ(lines[k].back(), piece.closed ? src : dst) << "branch " << k;
            // Lossless: no interior point on the straight line between its neighbours.
            for (std::size_t j = 1; j + 1 < lines[k].size(); ++j) {
                const DrawnPoint a = lines[k][j - 1], p = lines[k][j], c = lines[k][j + 1];
                const double cross = (p.x - a.x) * (c.y - p.y) - (p.y - a.y) * (c.x - p.x);
                const double dot = (p.x - a.x) * (c.x - p.x) + (p.y - a.y) * (c.y - p.y);
                EXPECT_FALSE(std::abs(cross) < 1e-9 && dot > 0) << "a point on a straight run, branch " << k;
            }
            // Simplified: the pixel path within the tolerance of the line, the line's points on the path.
            for (const double tolerance : {0.5, 1.5, 1e308}) {
                const auto simple = ops::PolylineOf(piece, t.paths.at(t.lines.order[k]), tolerance);
                EXPECT_EQ(simple.front(), lines[k].front());
                EXPECT_EQ(simple.back(), lines[k].back());
                for (const DrawnPoint& p : lines[k]) EXPECT_LE(DistanceToLine(p, simple), tolerance + 1e-9);
                for (const DrawnPoint& p : simple) EXPECT_LE(DistanceToLine(p, lines[k]), 1e-9);
                // A line that ends where it starts keeps a shape: three distinct points, or all it has.
                if (lines[k].front() == lines[k].back()) {
                    EXPECT_GE(DistinctPoints(simple), std::min<std::size_t>(3, DistinctPoints(lines[k])))
                        << "branch " << k << " tolerance " << tolerance;
                }
            }
        }
        // Every pixel of a drawn branch's path lies on its polyline (but for
        // an end on a junction, which the junction's centre stands for), and
        // the path holds the branch's slab pixels and its two ends.
        for (std::size_t k = 0; k < lines.size(); ++k) {
            const ops::SkeletonBranch& b = t.measures.branches[k];
            const ops::CentrePiece& piece = t.lines.pieces[static_cast<std::size_t>(t.lines.order[k])];
            const std::vector<ops::PixelPoint>& path = t.paths.at(t.lines.order[k]);
            EXPECT_EQ(static_cast<std::int64_t>(path.size()), b.slab_pixels + (piece.closed ? 0 : 2)) << "branch " << k;
            for (std::size_t j = 0; j < path.size(); ++j) {
                const bool first = j == 0, last = j + 1 == path.size();
                const bool onJunction = !piece.closed && (((first != piece.reversed) && piece.start.count) ||
                                                          ((last != piece.reversed) && piece.end.count));
                if ((first || last) && onJunction) continue;
                EXPECT_LE(DistanceToLine({path[j].col + 0.5, path[j].row + 0.5}, lines[k]), 1e-9)
                    << "branch " << k << " pixel " << j;
            }
        }
        for (const ops::SkeletonFigures& s : t.measures.skeletons) {
            const bool dot = std::any_of(t.lines.dots.begin(), t.lines.dots.end(),
                                         [&](const ops::CentreDot& d) { return d.skeleton == s.skeleton; });
            EXPECT_EQ(dot, s.branches == 0) << "skeleton " << s.skeleton;
        }
        if (HasFailure()) return;
    }
}

// Lines that end where they start (a cycle with no node, a loop on a
// junction) simplified: Ramer-Douglas-Peucker has no segment between their
// ends to measure against, so each is split at its point farthest from its
// start; it keeps that point and, where the pixels allow, a third distinct
// point, however large the tolerance.
struct LoopCase {
    const char* name;
    std::vector<std::string> rows;  // one branch of type 3 among them
    double tolerance;
    std::size_t distinctPoints;  // of the simplified loop
    bool closed;                 // a cycle with no node, rather than a loop on a junction
};

const std::vector<std::string> kRing5{".......", ".#####.", ".#...#.", ".#...#.", ".#...#.", ".#####.", "......."};
const std::vector<std::string> kRing3{"###", "#.#", "###"};
const std::vector<std::string> kDiamond{".#.", "#.#", ".#."};
const std::vector<std::string> kRingOnStroke{".#####.", ".#...#.", ".#...#.", ".#...#.", ".#####.", "...#...", "...#..."};
const std::vector<std::string> kSmallRingOnStroke{"..###..", "..#.#..", "..###..", "...#...", "...#..."};
const std::vector<std::string> kDiamondOnStroke{".#..", "#.#.", ".#..", ".#..", ".#.."};
// The diamond's left, bottom and right pixels are one junction (each has a
// tail): the loop through the top pixel is the junction's centre, that
// pixel and the centre again.
const std::vector<std::string> kOneSlabPixelLoop{"..#..", ".#.#.", "#.#.#", "..#..", "..#.."};

const LoopCase kLoopCases[] = {
    {"a 5 x 5 ring, huge tolerance: a triangle", kRing5, 1e308, 3, true},
    {"a 5 x 5 ring, tolerance 3: its halves fall to the diagonal, a third corner kept", kRing5, 3, 3, true},
    {"a 5 x 5 ring, tolerance 1: its four corners", kRing5, 1, 4, true},
    {"a 3 x 3 ring, huge tolerance: a triangle", kRing3, 1e308, 3, true},
    {"a 3 x 3 ring, tolerance 1: its four corners", kRing3, 1, 4, true},
    {"a diamond of four pixels, huge tolerance: a triangle", kDiamond, 1e308, 3, true},
    {"a diamond of four pixels, tolerance 0.5: all four", kDiamond, 0.5, 4, true},
    {"a ring hanging on a stroke, huge tolerance: a triangle from the junction", kRingOnStroke, 1e308, 3, false},
    {"a ring hanging on a stroke, tolerance 1: the junction and four corners", kRingOnStroke, 1, 5, false},
    {"a small ring on a stroke, huge tolerance: a triangle", kSmallRingOnStroke, 1e308, 3, false},
    {"a small ring on a stroke, tolerance 1: a triangle", kSmallRingOnStroke, 1, 3, false},
    {"a small ring on a stroke, tolerance 0.5: every point", kSmallRingOnStroke, 0.5, 5, false},
    {"a diamond on a stroke, huge tolerance: a triangle", kDiamondOnStroke, 1e308, 3, false},
    {"a diamond on a stroke, tolerance 0.5: the junction and three pixels", kDiamondOnStroke, 0.5, 4, false},
    {"a loop through one pixel, huge tolerance: keeps its two points", kOneSlabPixelLoop, 1e308, 2, false},
};

TEST(CentreLines, LoopsKeepAShapeWhenSimplified) {
    for (const LoopCase& c : kLoopCases) {
        SCOPED_TRACE(c.name);
        Picture pic = Drawn(c.rows);
        const Traced t = Trace(pic);
        const auto lossless = t.Polylines();
        std::vector<std::size_t> loops;
        for (std::size_t k = 0; k < lossless.size(); ++k)
            if (t.measures.branches[k].type == 3) loops.push_back(k);
        ASSERT_EQ(loops.size(), 1u);
        const std::size_t k = loops[0];
        const std::int64_t pieceNumber = t.lines.order[k];
        const ops::CentrePiece& piece = t.lines.pieces[static_cast<std::size_t>(pieceNumber)];
        const std::vector<ops::PixelPoint>& path = t.paths.at(pieceNumber);
        EXPECT_EQ(piece.closed, c.closed);
        const std::vector<DrawnPoint> simple = ops::PolylineOf(piece, path, c.tolerance);
        SCOPED_TRACE("lossless " + Text(lossless[k]) + ", simplified " + Text(simple));

        // It ends where it starts, and nothing but that end repeats.
        ASSERT_GE(simple.size(), 2u);
        EXPECT_EQ(simple.front(), lossless[k].front());
        EXPECT_EQ(simple.back(), simple.front());
        EXPECT_EQ(DistinctPoints(simple), c.distinctPoints);
        EXPECT_EQ(simple.size(), DistinctPoints(simple) + 1);

        // The point farthest from the start is kept.
        const auto fromStart = [&](const DrawnPoint& p) {
            return std::hypot(p.x - lossless[k].front().x, p.y - lossless[k].front().y);
        };
        double farthest = 0, farthestKept = 0;
        for (const DrawnPoint& p : lossless[k]) farthest = std::max(farthest, fromStart(p));
        for (const DrawnPoint& p : simple) farthestKept = std::max(farthestKept, fromStart(p));
        EXPECT_EQ(farthestKept, farthest);

        // Within the tolerance both ways: every pixel centre of the path
        // (its ends on the junction stood for by the junction's centre) near
        // the line, every point of the line on the lossless line.
        for (std::size_t j = 0; j < path.size(); ++j) {
            if (!piece.closed && (j == 0 || j + 1 == path.size())) continue;
            EXPECT_LE(DistanceToLine({path[j].col + 0.5, path[j].row + 0.5}, simple), c.tolerance + 1e-9)
                << "pixel " << j;
        }
        for (const DrawnPoint& p : lossless[k]) EXPECT_LE(DistanceToLine(p, simple), c.tolerance + 1e-9);
        for (const DrawnPoint& p : simple) EXPECT_LE(DistanceToLine(p, lossless[k]), 1e-9);
    }
}

}  // namespace
