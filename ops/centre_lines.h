// Centre lines: each branch of the skeleton measures (ops/skeleton.h) as a
// polyline through the centres of its pixels, for drawings, CAD and maps.
//
// Coordinates are in pixels from the picture's top left corner, x to the
// right and y down; the centre of pixel (row, column) is (column + 0.5,
// row + 0.5).
//
// A branch's polyline runs from the centre of its source's pixel to its
// destination's, through the centres of its slab pixels. Where an end is
// on a junction the polyline ends instead at the junction's centre (the
// mean of the centres of its pixels, notches included), which all the
// branches of that junction share, so the drawing has no gap there. A
// cycle with no node is a closed polyline from its first pixel in raster
// order. A skeleton with no branch (a single pixel, a junction alone) is a
// point at its centre. Notches are not drawn: their pixels are the
// junction's.
//
// Lossless: points where the line runs straight on are dropped and nothing
// else, so the centre of every end point and slab pixel lies on the
// polylines. Simplified (tolerance > 0): Ramer-Douglas-Peucker on each
// polyline, its two ends kept. A polyline whose two ends are one point (a
// cycle with no node, a loop on a junction) is simplified as two halves
// split at its point farthest from its start, so that point stays too, and
// a third (the farthest from the segment between those two) when the
// halves would come down to that segment: it keeps three distinct points
// where it has them.
//
// The paths come from SkeletonStream (ops/skeleton_stream.h), one piece per
// branch in the order the rows complete them, each handed out once and
// never held again; what the pieces are is known once the picture is done.
// Exactness: straight runs are found in integers, ends on junctions
// included (centres are held as sums of pixel places).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace ops {

struct PixelPoint {
    std::int32_t col = 0, row = 0;
    friend bool operator==(const PixelPoint&, const PixelPoint&) = default;
};

struct DrawnPoint {
    double x = 0, y = 0;
    friend bool operator==(const DrawnPoint&, const DrawnPoint&) = default;
};

// The centre of a set of pixels, exactly: sums of their columns and rows.
struct PixelCentre {
    std::int64_t sumCol = 0, sumRow = 0, count = 0;
    DrawnPoint Drawn() const;
};

// What one traced path is, known once the picture is done.
struct CentrePiece {
    std::int64_t skeleton = 0;  // from 1; 0 for a notch, which is not drawn
    std::int64_t branch = 0;    // its number in the branches table, within its skeleton
    int type = 0;               // as in the branches table
    double length = 0;          // as in the branches table
    bool closed = false;        // a cycle with no node
    bool reversed = false;      // the path runs from the branch's destination to its source
    // A junction's centre in place of the path's first or last pixel
    // (count 0: that end is an end point, drawn at its pixel's centre).
    PixelCentre start, end;
};

// A skeleton with no branch, drawn as a point.
struct CentreDot {
    std::int64_t skeleton = 0;
    PixelCentre at;
};

struct CentreLines {
    std::vector<CentrePiece> pieces;  // by piece number
    std::vector<std::int64_t> order;  // the drawn pieces in the order of the branches table
    std::vector<CentreDot> dots;      // by skeleton
};

// The polyline of a piece from its path (the pixels from one end to the
// other, as SkeletonStream handed them out): oriented from source to
// destination, ends on junctions moved to their centres, straight runs
// dropped, then simplified when tolerance > 0. A closed piece starts and
// ends at its first pixel in raster order (the point repeated).
std::vector<DrawnPoint> PolylineOf(const CentrePiece& piece, std::span<const PixelPoint> path, double tolerance = 0);
// The same into `line`, its storage kept from call to call.
void PolylineOf(const CentrePiece& piece, std::span<const PixelPoint> path, double tolerance,
                std::vector<DrawnPoint>& line);

}  // namespace ops
