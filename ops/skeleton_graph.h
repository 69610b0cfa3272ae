// The graph of a skeleton, as both forms of the measures build it (the
// whole picture in ops/skeleton.cpp, the stream of rows in
// ops/skeleton_stream.cpp), and the tables taken from it: the skeletons,
// the branches in their order, and each skeleton's figures, longest
// shortest path included. The measures are defined in ops/skeleton.h.
#pragma once

#include <cstdint>
#include <vector>

#include "ops/skeleton.h"

namespace ops::skeleton_graph {

// A length as whole numbers of straight and diagonal steps: straight +
// diagonal * sqrt(2). Sums and comparisons are exact and do not depend on
// the order in which a picture is walked. Differences (negative parts)
// arise in the bounds of the longest shortest path.
struct Steps {
    std::int64_t straight = 0;
    std::int64_t diagonal = 0;

    Steps operator+(const Steps& o) const { return {straight + o.straight, diagonal + o.diagonal}; }
    Steps operator-(const Steps& o) const { return {straight - o.straight, diagonal - o.diagonal}; }
    double value() const;
    friend bool operator==(const Steps&, const Steps&) = default;
};

// The sign of x - y, exactly (never 0 unless x == y: sqrt(2) is irrational).
// The sign of a + b * sqrt(2), exactly.
int SignOf(std::int64_t a, std::int64_t b);

inline int Compare(const Steps& x, const Steps& y) {
    const std::int64_t a = x.straight - y.straight, b = x.diagonal - y.diagonal;
    if ((a >= 0 && b >= 0) || (a <= 0 && b <= 0)) return a == 0 && b == 0 ? 0 : (a > 0 || b > 0 ? 1 : -1);
    // Opposite signs: a + b * sqrt(2) in doubles is off by far less than
    // 1e-9 of |a| + |b|; only a value that close to 0 needs the exact test.
    const auto fa = static_cast<double>(a), fb = static_cast<double>(b);
    const double v = fa + fb * 1.4142135623730951;  // sqrt(2)
    const double margin = 1e-9 * ((fa < 0 ? -fa : fa) + (fb < 0 ? -fb : fb));
    if (v > margin) return 1;
    if (v < -margin) return -1;
    return SignOf(a, b);
}
inline bool Less(const Steps& x, const Steps& y) { return Compare(x, y) < 0; }
inline const Steps& Longer(const Steps& x, const Steps& y) { return Less(x, y) ? y : x; }

// One straight step, or one diagonal step.
inline Steps StepAlong(bool diagonal) { return diagonal ? Steps{0, 1} : Steps{1, 0}; }

// kRing: the stand-in node of a cycle with no node that encloses
// background, the one end of its branch.
enum class NodeKind : std::uint8_t { kEnd, kJunction, kRing };

// Pixels are named by their place in raster order: row * width + column.
struct Node {
    std::int64_t first;   // its first pixel
    std::int64_t pixels;  // notches included
    NodeKind kind;
};

struct Branch {
    std::int64_t a, b;  // its end pixels, either way round
    std::int32_t nodeA, nodeB;
    Steps steps;
    std::int64_t slabs;
    std::int64_t firstSlab;  // -1 with none
    bool ring = false;       // a cycle with no node; nodeA == nodeB, a kRing node
    bool notch = false;      // not a branch: its pixels are counted in its junction
};

// Where each node and branch of the graph went in the tables.
struct Numbering {
    std::vector<std::int64_t> nodeSkeleton;  // each node's skeleton, from 1
    std::vector<std::int64_t> branchRow;     // each branch's row in the branches table, from 0; -1 for a notch
};

// The tables of a graph whose nodes and branches are given in any order
// (the result does not depend on it). Every branch names nodes of the list.
// With `numbering`, also where each node and branch went. Without
// `longestPaths`, each skeleton's longest_shortest_path is left 0, for a
// caller that writes no skeletons table (the searches are most of the
// time the tables take).
SkeletonMeasures TablesOf(std::int64_t width, const std::vector<Node>& nodes, const std::vector<Branch>& branches,
                          Numbering* numbering = nullptr, bool longestPaths = true);

}  // namespace ops::skeleton_graph
