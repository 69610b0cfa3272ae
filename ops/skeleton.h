// Skeleton measures: the graph of a thinned picture as numbers (branches with
// their lengths, junctions, end points) and figures for each skeleton.
//
// Definitions
//
//   Skeleton pixels   the black pixels, (0, 0, 0). Every other pixel must be
//                     white, (255, 255, 255).
//   Adjacency         mixed adjacency. Two skeleton pixels are adjacent when
//                     one is a straight (N, S, E, W) neighbour of the other;
//                     or when one is a diagonal neighbour of the other and
//                     neither of the two pixels that are straight neighbours
//                     of both is a skeleton pixel. A straight step is 1 long,
//                     a diagonal one sqrt(2).
//   Degree            the number of adjacent skeleton pixels.
//   End point         a pixel of degree 0 or 1.
//   Slab pixel        a pixel of degree 2.
//   Junction pixel    a pixel of degree 3 or more.
//   Junction          a set of junction pixels connected to each other
//                     through adjacency; one node, however many pixels.
//   Node              an end point or a junction.
//   Branch            a path from a pixel of a node, through slab pixels only
//                     (possibly none), to a pixel of a node; both ends may be
//                     on the same node. Two adjacent pixels of one junction
//                     are not a branch.
//   Notch             a branch whose two ends are on the same junction and
//                     which, together with that junction's pixels, encloses
//                     no more background than those pixels alone: it is not a
//                     branch, its slab pixels count as pixels of the junction.
//                     Each such loop is judged against the junction's own
//                     pixels (those of degree 3 or more), never against other
//                     notches, so the order of judging does not matter.
//                     "Encloses" counts holes: 4-connected sets of background
//                     pixels cut off from the outside, the foreground taken
//                     8-connected. Both sets are 8-connected, so a loop
//                     encloses background exactly when the Euler number of
//                     junction plus loop is below that of the junction alone.
//                     A loop that encloses background stays a branch, type 3,
//                     its two end pixels as source and destination.
//   Cycle, no node    slab pixels that close on themselves (they make a whole
//                     skeleton). If it encloses background (a 3 x 3 ring) it
//                     is one branch of type 3, source = destination = its
//                     first pixel in raster order, Euclidean distance 0, all
//                     its pixels slab pixels, its length the steps once round.
//                     If it encloses none (a 2 x 2 block) it is one junction
//                     of its pixels, with no branch.
//   Branch length     the sum of its steps from the pixel of its first node
//                     to the pixel of its last (a branch of two adjacent node
//                     pixels and no slab pixel is one step long).
//   Euclidean         the straight-line distance between those two pixels.
//   Type              0 end point to end point, 1 end point to junction,
//                     2 junction to another junction, 3 a loop (both ends on
//                     the same junction, or a cycle with no node).
//   Skeleton          a set of skeleton pixels connected through adjacency
//                     (the same sets as 8-connectivity). A single pixel is a
//                     skeleton with one end point and no branch. For each,
//                     pixels = junction_pixels + slab_pixels + end_points,
//                     junction_pixels counting the notches.
//   Triple point      a junction where exactly 3 branch ends meet;
//   quadruple point   exactly 4. A loop counts two ends.
//   Longest shortest  over all pairs of nodes of a skeleton, the largest of
//   path              the shortest distances between them along branches, a
//                     junction being one node (steps inside it cost
//                     nothing); 0 with fewer than two nodes.
//   Average, maximum  of the skeleton's branch lengths; 0 with no branch.
//
// Coordinates are (row, column) from 0 at the top left. Edge rule: the
// pixels outside the picture are background.
//
// Two forms give the same tables. MeasureSkeleton, here, holds the whole
// picture in planes and walks it: the reference form. SkeletonStream
// (ops/skeleton_stream.h) takes them from a stream of rows in bounded
// memory, and is the form the program runs.
//
// Algorithm of the reference form. The picture is read once into a plane with a one-pixel
// background border; a pixel that is neither black nor white stops the
// reading. For each skeleton pixel the directions of its adjacent pixels
// are kept as an 8-bit mask, its degree being the mask's bit count. One
// raster scan numbers the nodes by their first pixel: each end point is a
// node, each junction is flooded from its first junction pixel through the
// masks. A second scan walks from every node pixel along each adjacent
// direction: through slab pixels, each slab pixel taken once, to a node
// pixel; or straight to a pixel of another node. Slab pixels left unvisited
// belong to cycles with no node. Each loop on a junction is judged by the
// Euler number computed over the 2 x 2 quads that hold its slab pixels
// (Gray's bit quads, foreground 8-connected), which is all that changes
// when the loop is added to the junction. Skeletons are the connected sets
// of the graph of nodes and branches. The longest shortest path is two
// searches for a skeleton that is a tree (the farthest node from any node
// is an end of a longest path); with cycles, Dijkstra from chosen nodes
// until bounds on every node's eccentricity show the largest exactly
// (Takes and Kosters' bounding diameters): a few searches in practice,
// one per node at worst.
//
// Lengths are held as whole numbers of straight and diagonal steps and
// turned into a number (straight + diagonal * sqrt(2)) only for the
// tables; sums and comparisons of lengths are exact, and do not depend on
// the order in which the picture is walked.
//
// Memory: two bytes (skeleton or not, the adjacency mask) and one 32-bit
// cell (node or branch) per pixel of the bordered plane, plus the graph.
//
// Order of the rows. Skeletons are numbered from 1 in the raster order of
// their first pixel, and listed in that order. Branches are listed by
// skeleton; within a skeleton by source (row, then column), then
// destination (row, then column), then length, then the first of their
// slab pixels in raster order (a branch without slab pixels first); they
// are numbered from 1 within their skeleton in that order. A branch's
// source is the end pixel that comes first in raster order.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ops/pixels.h"

namespace ops {

struct SkeletonBranch {
    std::int64_t skeleton = 0;  // from 1
    std::int64_t branch = 0;    // from 1 within its skeleton
    int src_row = 0, src_col = 0;
    int dst_row = 0, dst_col = 0;
    double length = 0;
    double euclidean = 0;
    int type = 0;  // 0, 1, 2 or 3, as defined above
    std::int64_t slab_pixels = 0;
    friend bool operator==(const SkeletonBranch&, const SkeletonBranch&) = default;
};

struct SkeletonFigures {
    std::int64_t skeleton = 0;  // from 1
    int row = 0, col = 0;       // its first pixel in raster order
    std::int64_t pixels = 0;
    std::int64_t branches = 0;
    std::int64_t junctions = 0;
    std::int64_t junction_pixels = 0;
    std::int64_t end_points = 0;
    std::int64_t slab_pixels = 0;
    std::int64_t triple_points = 0;
    std::int64_t quadruple_points = 0;
    double total_length = 0;
    double average_branch_length = 0;
    double maximum_branch_length = 0;
    double longest_shortest_path = 0;
    friend bool operator==(const SkeletonFigures&, const SkeletonFigures&) = default;
};

struct SkeletonTotals {
    std::int64_t skeletons = 0;
    std::int64_t branches = 0;
    std::int64_t junctions = 0;
    std::int64_t end_points = 0;
    double total_length = 0;
    // The picture's pixels a metre, the same along its rows and its columns,
    // when the lengths are also given in millimetres; 0 when they are not.
    // Measuring leaves it 0: whoever knows the picture's resolution sets it
    // (core/measure.h, MillimetreScale), and the tables and the summary
    // follow it.
    std::uint32_t pixels_per_metre = 0;
    friend bool operator==(const SkeletonTotals&, const SkeletonTotals&) = default;
};

// A length in pixels in millimetres, at pixelsPerMetre (not 0):
// pixels * 1000 / pixelsPerMetre, in double.
inline double Millimetres(double pixels, std::uint32_t pixelsPerMetre) { return pixels * 1000 / pixelsPerMetre; }

// The first pixel, in raster order, that is neither black nor white.
struct NotTwoLevel {
    int row = 0, col = 0;
    friend bool operator==(const NotTwoLevel&, const NotTwoLevel&) = default;
};

struct SkeletonMeasures {
    // Set when the picture is not two-level; the tables are then empty.
    std::optional<NotTwoLevel> not_two_level;
    std::vector<SkeletonBranch> branches;    // in the order stated above
    std::vector<SkeletonFigures> skeletons;  // skeleton 1 first
    SkeletonTotals totals;
};

// Measures the picture (24-bit rows; only the first 3 * width bytes of each
// row are read, nothing is written). An empty picture gives empty tables.
// Never throws for any picture; only a failure to allocate can throw.
SkeletonMeasures MeasureSkeleton(const RowView& picture);

// The tables as text, a header line and one line per row, each ending in
// '\n'. Lengths are written as "%.17g" writes them in the C locale (in any
// locale), so that they read back exactly.
//   skeleton,branch,src_row,src_col,dst_row,dst_col,length,euclidean,type,slab_pixels
std::string BranchesCsv(const SkeletonMeasures& measures);
//   skeleton,row,col,pixels,branches,junctions,junction_pixels,end_points,slab_pixels,
//   triple_points,quadruple_points,total_length,average_branch_length,
//   maximum_branch_length,longest_shortest_path
std::string SkeletonsCsv(const SkeletonMeasures& measures);
// With totals.pixels_per_metre set, each table ends with the same lengths in
// millimetres (Millimetres of the length in pixels, written the same way):
//   branches   ...,length_mm,euclidean_mm
//   skeletons  ...,total_length_mm,average_branch_length_mm,
//              maximum_branch_length_mm,longest_shortest_path_mm

// The same text handed out a block at a time, for a table of any length.
using CsvSink = std::function<void(std::string_view)>;
void WriteBranchesCsv(const SkeletonMeasures& measures, const CsvSink& out);
void WriteSkeletonsCsv(const SkeletonMeasures& measures, const CsvSink& out);

// One line without its newline, the total length with one decimal and a
// decimal point in any locale:
//   measure: 12 skeletons, 85 branches, 40 junctions, 61 end points, total length 5234.7 px
// and with totals.pixels_per_metre set, the same in millimetres after it:
//   measure: ..., total length 5234.7 px (443.2 mm)
std::string MeasureSummary(const SkeletonTotals& totals);

}  // namespace ops
