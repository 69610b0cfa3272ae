// Skeleton measures from a stream of rows: the same tables as
// MeasureSkeleton (ops/skeleton.h, where the measures are defined), taken
// row by row in bounded memory.
//
// Algorithm. Rows arrive top to bottom; a pixel's adjacency mask is known
// once the row below it has arrived, so the work runs one row behind the
// input and holds three rows of pixels. The graph grows as the rows are
// met: junction pixels are joined into junctions by union-find; runs of
// slab pixels are chains with two ends, which are joined where a slab pixel
// meets two of them and closed where they meet a node pixel; a chain closed
// on both ends is a branch, kept as numbers (its ends, its steps, its slab
// count), never as pixels. Whether a loop on a junction encloses
// background is decided from the Euler number of junction plus loop
// (Gray's bit quads): the 2 x 2 quads holding pixels of only one chain and
// no junction pixel are summed into the chain as they pass; the few quads
// where a chain meets a junction or another chain are kept, with the
// chains and junctions they touch, and resolved once the graph is whole.
// The skeletons, tables and longest shortest paths are then taken from the
// graph as MeasureSkeleton takes them.
//
// Edge rule: the pixels outside the picture are background. Reach: one row
// below (a row is measured once the next has arrived).
//
// Memory: three rows of pixels, two of kinds and labels, plus the graph: a
// few tens of bytes for each node, branch and kept quad; never the pixels,
// but for the paths of the centre lines while they are open, when traced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "ops/centre_lines.h"
#include "ops/skeleton.h"

namespace ops {

// Takes each path of the centre lines (ops/centre_lines.h) once the rows
// have completed it: its number, from 0 in the order of completion, and its
// pixels from one end to the other, valid only during the call.
using CentrePathSink = std::function<void(std::int64_t piece, std::span<const PixelPoint> path)>;

class SkeletonStream {
public:
    // A picture of width x height pixels (either may be 0). With `paths`,
    // the stream also traces the centre lines, holding the pixels of the
    // paths not yet complete.
    SkeletonStream(int width, int height, CentrePathSink paths = {});
    ~SkeletonStream();
    SkeletonStream(const SkeletonStream&) = delete;
    SkeletonStream& operator=(const SkeletonStream&) = delete;

    // Takes the next row (24-bit pixels, the first 3 * width bytes read),
    // rows 0 to height - 1 in order. Returns false once the picture is found
    // not to be two-level; rows after that are ignored.
    bool Add(const std::uint8_t* row);

    // The same, for a row packed a bit a pixel (bit x % 8 of byte x / 8 set
    // for a white pixel, clear for a stroke), as BandedChain hands out
    // stage C: two-level by its making.
    bool AddPacked(const std::uint8_t* bits);

    // The measures, once every row has been added (or the picture was found
    // not two-level): equal to MeasureSkeleton of the whole picture. Called
    // once. With `lines` (and paths traced), also what each path is.
    // `released`, when given, is called once the stream's own records are
    // let go and before the tables take their memory: where a caller can
    // hand the freed memory back to the system. Without `longestPaths`,
    // each skeleton's longest_shortest_path is left 0 (for centre lines
    // without a skeletons table).
    SkeletonMeasures Finish(CentreLines* lines = nullptr, const std::function<void()>& released = {},
                            bool longestPaths = true);

    // The bytes held now, rows and graph together: what a memory limit
    // weighs against.
    std::size_t BytesHeld() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The stream over the rows of a whole picture: MeasureSkeleton's tables,
// the fast way; with `paths`, the centre lines too (their pieces in
// `lines`).
SkeletonMeasures MeasureRows(const RowView& picture, CentrePathSink paths = {}, CentreLines* lines = nullptr);

}  // namespace ops
