#include "ops/centre_lines.h"

#include <algorithm>
#include <cmath>

namespace ops {

namespace {

// A point held exactly: (x, y) = (X, Y) / (2 * D). A pixel's centre has
// D = 1, a junction's D = its pixel count.
struct Exact {
    std::int64_t x, y, d;
};

Exact OfPixel(const PixelPoint& p) { return {2 * std::int64_t{p.col} + 1, 2 * std::int64_t{p.row} + 1, 1}; }
Exact OfCentre(const PixelCentre& c) { return {2 * c.sumCol + c.count, 2 * c.sumRow + c.count, c.count}; }
DrawnPoint Drawn(const Exact& e) {
    const double twice = 2 * static_cast<double>(e.d);
    return {static_cast<double>(e.x) / twice, static_cast<double>(e.y) / twice};
}

// Whether the line from a runs straight on through b (a pixel's centre) to c:
// the three on one line, b between a and c.
bool StraightOn(const Exact& a, const Exact& b, const Exact& c) {
    if (a.d == 1 && b.d == 1 && c.d == 1) {  // three pixel centres: small numbers
        const std::int64_t abx = b.x - a.x, aby = b.y - a.y, bcx = c.x - b.x, bcy = c.y - b.y;
        return abx * bcy == aby * bcx && abx * bcx + aby * bcy > 0;
    }
    using Wide = __int128;
    // a -> b and b -> c, each scaled by a positive factor.
    const Wide abx = Wide{b.x} * a.d - a.x, aby = Wide{b.y} * a.d - a.y;
    const Wide bcx = Wide{c.x} - Wide{b.x} * c.d, bcy = Wide{c.y} - Wide{b.y} * c.d;
    return abx * bcy == aby * bcx && abx * bcx + aby * bcy > 0;
}

double DistanceToSegment(const DrawnPoint& p, const DrawnPoint& a, const DrawnPoint& b) {
    const double dx = b.x - a.x, dy = b.y - a.y;
    const double length2 = dx * dx + dy * dy;
    double t = length2 > 0 ? ((p.x - a.x) * dx + (p.y - a.y) * dy) / length2 : 0;
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(p.x - (a.x + t * dx), p.y - (a.y + t * dy));
}

// Ramer-Douglas-Peucker: keeps the two ends and every point farther than
// tolerance from the segment that would replace it. A line whose ends are
// one point (a ring, a loop on a junction) has no segment between them to
// measure against: it is split at its point farthest from its start and
// each half simplified, so the start and that point stay; and when both
// halves come down to the segment between those two, the point farthest
// from that segment stays too, so the line keeps three distinct points
// where it has them. Every point stays within tolerance of the line: the
// segment back from the farthest point is still drawn.
std::vector<DrawnPoint> Simplified(const std::vector<DrawnPoint>& line, double tolerance) {
    if (line.size() < 3) return line;
    const std::size_t lastIndex = line.size() - 1;
    std::vector<char> keep(line.size(), 0);
    keep.front() = keep.back() = 1;
    std::vector<std::pair<std::size_t, std::size_t>> spans{{0, lastIndex}};
    std::size_t far = 0;  // of a closed line: its point farthest from the start
    if (line.front() == line.back()) {
        double farthest = 0;
        for (std::size_t k = 1; k < lastIndex; ++k) {
            const double d = std::hypot(line[k].x - line[0].x, line[k].y - line[0].y);
            if (d > farthest) farthest = d, far = k;
        }
        if (far == 0) return line;  // every point on the start: nothing to split
        keep[far] = 1;
        spans = {{0, far}, {far, lastIndex}};
    }
    while (!spans.empty()) {
        const auto [first, last] = spans.back();
        spans.pop_back();
        double farthest = -1;
        std::size_t at = first;
        for (std::size_t k = first + 1; k < last; ++k) {
            const double d = DistanceToSegment(line[k], line[first], line[last]);
            if (d > farthest) farthest = d, at = k;
        }
        if (farthest > tolerance) {
            keep[at] = 1;
            spans.push_back({first, at});
            spans.push_back({at, last});
        }
    }
    if (far != 0 && std::count(keep.begin(), keep.end(), 1) == 3) {
        double farthest = 0;
        std::size_t at = 0;
        for (std::size_t k = 1; k < lastIndex; ++k) {
            if (k == far || line[k] == line[0] || line[k] == line[far]) continue;
            const double d = DistanceToSegment(line[k], line[0], line[far]);
            if (at == 0 || d > farthest) farthest = d, at = k;
        }
        if (at != 0) keep[at] = 1;
    }
    std::vector<DrawnPoint> out;
    for (std::size_t k = 0; k < line.size(); ++k)
        if (keep[k]) out.push_back(line[k]);
    return out;
}

}  // namespace

DrawnPoint PixelCentre::Drawn() const { return ops::Drawn(OfCentre(*this)); }

std::vector<DrawnPoint> PolylineOf(const CentrePiece& piece, std::span<const PixelPoint> path, double tolerance) {
    std::vector<DrawnPoint> line;
    PolylineOf(piece, path, tolerance, line);
    return line;
}

void PolylineOf(const CentrePiece& piece, std::span<const PixelPoint> path, double tolerance,
                std::vector<DrawnPoint>& line) {
    line.clear();
    const std::size_t n = path.size();
    if (n == 0) return;
    // The points in drawing order: point(k) is path[place(k)], but for the
    // ends of an open piece on junctions, which are their centres.
    std::size_t first = 0;
    bool backwards = piece.reversed;
    if (piece.closed) {
        for (std::size_t k = 1; k < n; ++k)
            if (path[k].row < path[first].row || (path[k].row == path[first].row && path[k].col < path[first].col))
                first = k;
        // Clockwise as drawn: towards whichever neighbour of the first pixel
        // comes first in raster order.
        const PixelPoint next = path[(first + 1) % n], previous = path[(first + n - 1) % n];
        backwards = previous.row < next.row || (previous.row == next.row && previous.col < next.col);
    }
    const std::size_t count = piece.closed ? n + 1 : n;  // a ring ends where it starts
    const auto place = [&](std::size_t k) {
        if (piece.closed) return backwards ? (first + n - k % n) % n : (first + k) % n;
        return backwards ? n - 1 - k : k;
    };
    const bool startCentre = !piece.closed && piece.start.count > 0;
    const bool endCentre = !piece.closed && piece.end.count > 0;
    const auto point = [&](std::size_t k) {
        if (k + 1 == count && endCentre) return OfCentre(piece.end);
        if (k == 0 && startCentre) return OfCentre(piece.start);
        return OfPixel(path[place(k)]);
    };
    // A point runs straight on when the line from the last point kept goes
    // on through it to the next. Between pixels, whose steps are to a
    // neighbour, that is when the step on is the step that came to it
    // (the steps since the last point kept are all that step); a centre
    // at either end is checked in full.
    line.reserve(count);
    line.push_back(Drawn(point(0)));
    std::size_t kept = 0;
    for (std::size_t k = 1; k + 1 < count; ++k) {
        bool straight;
        if ((kept == 0 && startCentre) || (k + 2 == count && endCentre)) {
            straight = StraightOn(point(kept), point(k), point(k + 1));
        } else {
            const PixelPoint& before = path[place(k - 1)];
            const PixelPoint& here = path[place(k)];
            const PixelPoint& after = path[place(k + 1)];
            straight = after.col - here.col == here.col - before.col && after.row - here.row == here.row - before.row;
        }
        if (straight) continue;
        line.push_back(Drawn(point(k)));
        kept = k;
    }
    if (count > 1) line.push_back(Drawn(point(count - 1)));
    if (tolerance > 0 && line.size() >= 3) line = Simplified(line, tolerance);
}

}  // namespace ops
