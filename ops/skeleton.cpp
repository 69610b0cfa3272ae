#include "ops/skeleton.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numbers>
#include <utility>

namespace ops {

namespace {

// A length as whole numbers of straight and diagonal steps: straight +
// diagonal * sqrt(2). Differences (negative parts) arise in the bounds of
// the longest shortest path.
struct Steps {
    std::int64_t straight = 0;
    std::int64_t diagonal = 0;

    Steps operator+(const Steps& o) const { return {straight + o.straight, diagonal + o.diagonal}; }
    Steps operator-(const Steps& o) const { return {straight - o.straight, diagonal - o.diagonal}; }
    double value() const {
        return static_cast<double>(straight) + static_cast<double>(diagonal) * std::numbers::sqrt2;
    }
};

// x * x as a 128-bit number (high, low), from 32-bit halves.
std::pair<std::uint64_t, std::uint64_t> Square(std::uint64_t x) {
    const std::uint64_t lo = x & 0xffffffffu, hi = x >> 32;
    const std::uint64_t ll = lo * lo, lh = lo * hi, hh = hi * hi;
    const std::uint64_t middle = (ll >> 32) + ((lh & 0xffffffffu) << 1);
    const std::uint64_t low = (ll & 0xffffffffu) | (middle << 32);
    const std::uint64_t high = hh + (lh >> 31) + (middle >> 32);
    return {high, low};
}

// The sign of a + b * sqrt(2), exactly.
int Sign(std::int64_t a, std::int64_t b) {
    if (a >= 0 && b >= 0) return (a | b) != 0;
    if (a <= 0 && b <= 0) return -1;
    // Opposite signs: compare a * a with 2 * b * b.
    const std::uint64_t ua = a < 0 ? 0 - static_cast<std::uint64_t>(a) : static_cast<std::uint64_t>(a);
    const std::uint64_t ub = b < 0 ? 0 - static_cast<std::uint64_t>(b) : static_cast<std::uint64_t>(b);
    auto [ah, al] = Square(ua);
    auto [bh, bl] = Square(ub);
    bh = (bh << 1) | (bl >> 63);
    bl <<= 1;
    const bool aLarger = ah != bh ? ah > bh : al > bl;  // never equal: sqrt(2) is irrational
    return (a > 0) == aLarger ? 1 : -1;
}

int Compare(const Steps& x, const Steps& y) { return Sign(x.straight - y.straight, x.diagonal - y.diagonal); }
bool Less(const Steps& x, const Steps& y) { return Compare(x, y) < 0; }
const Steps& Longer(const Steps& x, const Steps& y) { return Less(x, y) ? y : x; }

// Directions clockwise from the north; odd ones are diagonal.
constexpr int kN = 0, kNE = 1, kE = 2, kSE = 3, kS = 4, kSW = 5, kW = 6, kNW = 7;
constexpr int Opposite(int d) { return (d + 4) & 7; }
constexpr std::uint8_t Bit(int d) { return static_cast<std::uint8_t>(1u << d); }

enum class NodeKind : std::uint8_t { kEnd, kJunction, kRing };  // kRing: the stand-in of a cycle with no node

struct Node {
    std::int64_t first;  // its first pixel, raster order, index in the plane
    std::int64_t pixels;
    NodeKind kind;
    int ends = 0;  // branch ends meeting here
    std::int64_t skeleton = 0;
};

struct Branch {
    std::int64_t a, b;         // end pixels
    std::int32_t nodeA, nodeB;
    int firstDirection;        // from a
    Steps steps;
    std::int64_t slabs;
    std::int64_t firstSlab;    // in raster order; -1 with none
    bool ring = false;         // a cycle with no node
    bool notch = false;
};

class Measurer {
public:
    explicit Measurer(const RowView& picture)
        : w_(picture.width), h_(picture.height), stride_(static_cast<std::ptrdiff_t>(w_) + 2),
          cells_(stride_ * (static_cast<std::ptrdiff_t>(h_) + 2)) {
        offset_[kN] = -stride_, offset_[kNE] = 1 - stride_, offset_[kE] = 1, offset_[kSE] = stride_ + 1;
        offset_[kS] = stride_, offset_[kSW] = stride_ - 1, offset_[kW] = -1, offset_[kNW] = -stride_ - 1;
    }

    SkeletonMeasures Run(const RowView& picture) {
        SkeletonMeasures out;
        if (auto bad = Read(picture)) {
            out.not_two_level = bad;
            return out;
        }
        Adjacency();
        Nodes();
        Branches();
        Cycles();
        Notches();
        Skeletons();
        Tables(out);
        return out;
    }

private:
    // The bit count of the mask, by table: std::popcount is a library call
    // on processors the build does not assume to count bits.
    int Degree(std::ptrdiff_t i) const { return kDegree[adj_[static_cast<std::size_t>(i)]]; }
    static constexpr auto kDegree = [] {
        std::array<std::uint8_t, 256> table{};
        for (unsigned m = 0; m < 256; ++m) table[m] = static_cast<std::uint8_t>(std::popcount(m));
        return table;
    }();
    bool Foreground(std::ptrdiff_t i) const { return fg_[static_cast<std::size_t>(i)] != 0; }
    std::int32_t& Id(std::ptrdiff_t i) { return id_[static_cast<std::size_t>(i)]; }
    int Row(std::int64_t i) const { return static_cast<int>(i / stride_) - 1; }
    int Col(std::int64_t i) const { return static_cast<int>(i % stride_) - 1; }

    // Calls f(i) for every skeleton pixel in raster order, skipping eight
    // background cells at a time.
    template <class F>
    void EachForeground(F f) const {
        const std::uint8_t* fg = fg_.data();
        for (int y = 1; y <= h_; ++y) {
            std::ptrdiff_t i = y * stride_ + 1;
            const std::ptrdiff_t end = i + w_;
            while (i < end) {
                if (i + 8 <= end) {
                    std::uint64_t word;
                    std::memcpy(&word, fg + i, 8);
                    if (word == 0) {
                        i += 8;
                        continue;
                    }
                }
                if (fg[i]) f(i);
                ++i;
            }
        }
    }

    std::optional<NotTwoLevel> Read(const RowView& picture) {
        fg_.assign(static_cast<std::size_t>(cells_), 0);
        for (int y = 0; y < h_; ++y) {
            const std::uint8_t* p = picture.row(y);
            std::uint8_t* fg = fg_.data() + (y + 1) * stride_ + 1;
            for (int x = 0; x < w_; ++x, p += 3) {
                if (x + 8 <= w_) {  // eight white pixels at once
                    std::uint64_t words[3];
                    std::memcpy(words, p, sizeof words);
                    if ((words[0] & words[1] & words[2]) == ~std::uint64_t{0}) {
                        x += 7, p += 21;
                        continue;
                    }
                }
                const unsigned b = p[0], g = p[1], r = p[2];
                if ((b | g | r) == 0)
                    fg[x] = 1;
                else if ((b & g & r) != 255)
                    return NotTwoLevel{y, x};
            }
        }
        return std::nullopt;
    }

    // The directions of the adjacent skeleton pixels, by mixed adjacency;
    // every skeleton pixel's cell starts at -1 (no node, no branch yet).
    void Adjacency() {
        adj_.assign(static_cast<std::size_t>(cells_), 0);
        id_ = std::make_unique_for_overwrite<std::int32_t[]>(static_cast<std::size_t>(cells_));
        const std::uint8_t* fg = fg_.data();
        const std::ptrdiff_t s = stride_;
        EachForeground([&](std::ptrdiff_t i) {
            const unsigned n = fg[i - s], e = fg[i + 1], so = fg[i + s], we = fg[i - 1];
            unsigned m = n << kN | e << kE | so << kS | we << kW;
            m |= (fg[i - s + 1] & ~(n | e) & 1u) << kNE;
            m |= (fg[i + s + 1] & ~(so | e) & 1u) << kSE;
            m |= (fg[i + s - 1] & ~(so | we) & 1u) << kSW;
            m |= (fg[i - s - 1] & ~(n | we) & 1u) << kNW;
            adj_[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(m);
            Id(i) = -1;
        });
    }

    // Every end point is a node; every junction is flooded from its first
    // pixel. Nodes come in the raster order of their first pixel.
    void Nodes() {
        EachForeground([&](std::ptrdiff_t i) {
            const int degree = Degree(i);
            if (degree == 2 || Id(i) >= 0) return;
            const auto node = static_cast<std::int32_t>(nodes_.size());
            Id(i) = node;
            if (degree < 2) {
                nodes_.push_back({i, 1, NodeKind::kEnd});
                return;
            }
            std::int64_t pixels = 0;
            stack_.assign(1, i);
            while (!stack_.empty()) {
                const std::ptrdiff_t p = stack_.back();
                stack_.pop_back();
                ++pixels;
                for (unsigned m = adj_[static_cast<std::size_t>(p)]; m; m &= m - 1) {
                    const std::ptrdiff_t q = p + offset_[std::countr_zero(m)];
                    if (Degree(q) >= 3 && Id(q) < 0) Id(q) = node, stack_.push_back(q);
                }
            }
            nodes_.push_back({i, pixels, NodeKind::kJunction});
        });
    }

    // From every node pixel along every adjacent direction: through slab
    // pixels to a node pixel (each slab pixel walked once, so each such
    // branch once), or straight to a pixel of another node (taken from the
    // end that comes first in raster order).
    void Branches() {
        EachForeground([&](std::ptrdiff_t i) {
            if (Degree(i) == 2) return;
            const std::int32_t node = Id(i);
            for (unsigned m = adj_[static_cast<std::size_t>(i)]; m; m &= m - 1) {
                const int d = std::countr_zero(m);
                const std::ptrdiff_t q = i + offset_[d];
                if (Degree(q) == 2) {
                    if (Id(q) < 0) Walk(i, d);
                } else if (Id(q) != node && q > i) {
                    branches_.push_back({i, q, node, Id(q), d, StepOf(d), 0, -1});
                }
            }
        });
    }

    static Steps StepOf(int d) { return d & 1 ? Steps{0, 1} : Steps{1, 0}; }

    // The branch leaving node pixel `from` in direction d through slab pixels.
    void Walk(std::ptrdiff_t from, int d) {
        const auto index = static_cast<std::int32_t>(branches_.size());
        Branch branch{from, 0, Id(from), 0, d, {}, 0, -1};
        std::ptrdiff_t at = from;
        for (;;) {
            branch.steps = branch.steps + StepOf(d);
            at += offset_[d];
            if (Degree(at) != 2) break;
            Id(at) = index;
            ++branch.slabs;
            if (branch.firstSlab < 0 || at < branch.firstSlab) branch.firstSlab = at;
            d = std::countr_zero(static_cast<unsigned>(adj_[static_cast<std::size_t>(at)] & ~Bit(Opposite(d))));
        }
        branch.b = at;
        branch.nodeB = Id(at);
        branches_.push_back(branch);
    }

    // Slab pixels no walk reached close on themselves: each such cycle is a
    // whole skeleton. It is a branch when it encloses background, else a
    // junction of its pixels.
    void Cycles() {
        EachForeground([&](std::ptrdiff_t i) {
            if (Degree(i) != 2 || Id(i) >= 0) return;
            const auto index = static_cast<std::int32_t>(branches_.size());
            const auto node = static_cast<std::int32_t>(nodes_.size());
            Branch ring{i, i, node, node, std::countr_zero(static_cast<unsigned>(adj_[static_cast<std::size_t>(i)])),
                        {}, 0, i, true};
            std::ptrdiff_t at = i;
            int d = ring.firstDirection;
            do {
                Id(at) = index;
                ++ring.slabs;
                ring.steps = ring.steps + StepOf(d);
                at += offset_[d];
                d = std::countr_zero(static_cast<unsigned>(adj_[static_cast<std::size_t>(at)] & ~Bit(Opposite(d))));
            } while (at != i);
            if (EulerChange(ring, index, -1) < 4) {  // Euler number 1 - holes, from 0
                nodes_.push_back({i, 0, NodeKind::kRing});
                branches_.push_back(ring);
                return;
            }
            nodes_.push_back({i, ring.slabs, NodeKind::kJunction});
            at = i, d = ring.firstDirection;
            do {
                Id(at) = node;  // no longer this index, which the next branch takes
                at += offset_[d];
                d = std::countr_zero(static_cast<unsigned>(adj_[static_cast<std::size_t>(at)] & ~Bit(Opposite(d))));
            } while (at != i);
        });
    }

    // Four times the change of the Euler number (foreground 8-connected)
    // when the slab pixels of `branch` (those whose cell holds `index`) are
    // added to the junction pixels of node `junction` (to nothing when -1,
    // which gives four times the Euler number of the branch alone). Only
    // the 2 x 2 quads holding a slab pixel of the branch change; each is
    // counted from the first of its slab pixels.
    std::int64_t EulerChange(const Branch& branch, std::int32_t index, std::int32_t junction) {
        const std::ptrdiff_t s = stride_;
        auto inLoop = [&](std::ptrdiff_t p) { return Foreground(p) && Degree(p) == 2 && Id(p) == index; };
        auto inJunction = [&](std::ptrdiff_t p) {
            return junction >= 0 && Foreground(p) && Degree(p) >= 3 && Id(p) == junction;
        };
        // Gray's bit quads: one pixel +1, three -1, a diagonal pair -2.
        auto quad = [](unsigned m) {
            static constexpr int kValue[16] = {0, 1, 1, 0, 1, 0, -2, -1, 1, -2, 0, -1, 0, -1, -1, 0};
            return kValue[m];
        };
        std::int64_t change = 0;
        std::ptrdiff_t at = branch.a;
        int d = branch.firstDirection;
        for (std::int64_t k = 0; k < branch.slabs; ++k) {
            at += offset_[d];
            const std::ptrdiff_t corners[4] = {at - s - 1, at - s, at - 1, at};
            for (const std::ptrdiff_t t : corners) {
                const std::ptrdiff_t px[4] = {t, t + 1, t + s, t + s + 1};  // bits 0 1 / 2 3
                unsigned loop = 0, junctionBits = 0;
                for (int j = 0; j < 4; ++j) {
                    loop |= unsigned{inLoop(px[j])} << j;
                    junctionBits |= unsigned{inJunction(px[j])} << j;
                }
                if (px[std::countr_zero(loop)] != at) continue;  // counted from an earlier slab pixel
                change += quad(loop | junctionBits) - quad(junctionBits);
            }
            d = std::countr_zero(static_cast<unsigned>(adj_[static_cast<std::size_t>(at)] & ~Bit(Opposite(d))));
        }
        return change;
    }

    // A loop on a junction that encloses no more background than the
    // junction alone is a notch: its pixels join the junction.
    void Notches() {
        for (std::size_t k = 0; k < branches_.size(); ++k) {
            Branch& branch = branches_[k];
            if (branch.ring || branch.nodeA != branch.nodeB) continue;
            if (EulerChange(branch, static_cast<std::int32_t>(k), branch.nodeA) < 0) continue;
            branch.notch = true;
            nodes_[static_cast<std::size_t>(branch.nodeA)].pixels += branch.slabs;
        }
    }

    std::int32_t Root(std::int32_t n) {
        while (parent_[static_cast<std::size_t>(n)] != n) {
            auto& p = parent_[static_cast<std::size_t>(n)];
            p = parent_[static_cast<std::size_t>(p)];
            n = p;
        }
        return n;
    }

    // Skeletons: the connected sets of nodes and branches, numbered by
    // their first pixel.
    void Skeletons() {
        parent_.resize(nodes_.size());
        for (std::size_t n = 0; n < nodes_.size(); ++n) parent_[n] = static_cast<std::int32_t>(n);
        for (const Branch& branch : branches_) {
            const std::int32_t a = Root(branch.nodeA), b = Root(branch.nodeB);
            if (a != b) parent_[static_cast<std::size_t>(std::max(a, b))] = std::min(a, b);
        }
        std::vector<std::int64_t> first(nodes_.size(), -1);
        for (std::size_t n = 0; n < nodes_.size(); ++n) {
            auto& f = first[static_cast<std::size_t>(Root(static_cast<std::int32_t>(n)))];
            if (f < 0 || nodes_[n].first < f) f = nodes_[n].first;
        }
        for (const Branch& branch : branches_) {
            auto& f = first[static_cast<std::size_t>(Root(branch.nodeA))];
            if (branch.firstSlab >= 0 && branch.firstSlab < f) f = branch.firstSlab;
        }
        std::vector<std::int32_t> roots;
        for (std::size_t n = 0; n < nodes_.size(); ++n)
            if (parent_[n] == static_cast<std::int32_t>(n)) roots.push_back(static_cast<std::int32_t>(n));
        std::sort(roots.begin(), roots.end(), [&](std::int32_t x, std::int32_t y) {
            return first[static_cast<std::size_t>(x)] < first[static_cast<std::size_t>(y)];
        });
        skeletonFirst_.resize(roots.size());
        for (std::size_t k = 0; k < roots.size(); ++k) {
            nodes_[static_cast<std::size_t>(roots[k])].skeleton = static_cast<std::int64_t>(k) + 1;
            skeletonFirst_[k] = first[static_cast<std::size_t>(roots[k])];
        }
        for (std::size_t n = 0; n < nodes_.size(); ++n)
            nodes_[n].skeleton = nodes_[static_cast<std::size_t>(Root(static_cast<std::int32_t>(n)))].skeleton;
    }

    void Tables(SkeletonMeasures& out) {
        const std::size_t count = skeletonFirst_.size();
        out.skeletons.resize(count);
        std::vector<Steps> total(count), longest(count);
        for (std::size_t k = 0; k < count; ++k) {
            SkeletonFigures& s = out.skeletons[k];
            s.skeleton = static_cast<std::int64_t>(k) + 1;
            s.row = Row(skeletonFirst_[k]);
            s.col = Col(skeletonFirst_[k]);
        }
        struct Kept {
            std::int64_t skeleton, src, dst;
            Steps steps;
            std::int64_t firstSlab;
            const Branch* branch;
        };
        std::vector<Kept> kept;
        for (const Branch& branch : branches_) {
            if (branch.notch) continue;
            const std::int64_t skeleton = nodes_[static_cast<std::size_t>(branch.nodeA)].skeleton;
            kept.push_back({skeleton, std::min(branch.a, branch.b), std::max(branch.a, branch.b), branch.steps,
                            branch.firstSlab, &branch});
            if (!branch.ring) {
                ++nodes_[static_cast<std::size_t>(branch.nodeA)].ends;
                ++nodes_[static_cast<std::size_t>(branch.nodeB)].ends;
            }
            const auto k = static_cast<std::size_t>(skeleton - 1);
            SkeletonFigures& s = out.skeletons[k];
            ++s.branches;
            s.slab_pixels += branch.slabs;
            total[k] = total[k] + branch.steps;
            longest[k] = Longer(longest[k], branch.steps);
        }
        for (const Node& node : nodes_) {
            SkeletonFigures& s = out.skeletons[static_cast<std::size_t>(node.skeleton - 1)];
            if (node.kind == NodeKind::kEnd) ++s.end_points;
            if (node.kind != NodeKind::kJunction) continue;
            ++s.junctions;
            s.junction_pixels += node.pixels;
            s.triple_points += node.ends == 3;
            s.quadruple_points += node.ends == 4;
        }
        std::sort(kept.begin(), kept.end(), [](const Kept& x, const Kept& y) {
            if (x.skeleton != y.skeleton) return x.skeleton < y.skeleton;
            if (x.src != y.src) return x.src < y.src;
            if (x.dst != y.dst) return x.dst < y.dst;
            if (const int c = Compare(x.steps, y.steps)) return c < 0;
            return x.firstSlab < y.firstSlab;
        });
        out.branches.reserve(kept.size());
        std::int64_t number = 0;
        for (std::size_t k = 0; k < kept.size(); ++k) {
            const Kept& e = kept[k];
            number = k > 0 && kept[k - 1].skeleton == e.skeleton ? number + 1 : 1;
            const Branch& b = *e.branch;
            const NodeKind ka = nodes_[static_cast<std::size_t>(b.nodeA)].kind;
            const NodeKind kb = nodes_[static_cast<std::size_t>(b.nodeB)].kind;
            const int type = b.ring || b.nodeA == b.nodeB ? 3
                             : ka == NodeKind::kEnd && kb == NodeKind::kEnd ? 0
                             : ka == NodeKind::kEnd || kb == NodeKind::kEnd ? 1
                                                                            : 2;
            const double dr = Row(e.dst) - Row(e.src), dc = Col(e.dst) - Col(e.src);
            out.branches.push_back({e.skeleton, number, Row(e.src), Col(e.src), Row(e.dst), Col(e.dst),
                                    e.steps.value(), std::sqrt(dr * dr + dc * dc), type, b.slabs});
        }
        LongestPaths(out);
        Steps all;
        for (std::size_t k = 0; k < count; ++k) {
            SkeletonFigures& s = out.skeletons[k];
            s.pixels = s.junction_pixels + s.slab_pixels + s.end_points;
            s.total_length = total[k].value();
            s.average_branch_length = s.branches ? s.total_length / static_cast<double>(s.branches) : 0;
            s.maximum_branch_length = longest[k].value();
            all = all + total[k];
            out.totals.branches += s.branches;
            out.totals.junctions += s.junctions;
            out.totals.end_points += s.end_points;
        }
        out.totals.skeletons = static_cast<std::int64_t>(count);
        out.totals.total_length = all.value();
    }

    // The graph of each skeleton: its nodes (not the stand-ins of cycles)
    // and, between them, the branches that are not loops (a loop never
    // makes a path shorter).
    void LongestPaths(SkeletonMeasures& out) {
        const std::size_t count = out.skeletons.size();
        // Nodes grouped by skeleton, each given its place within its group.
        std::vector<std::int64_t> groupStart(count + 1, 0);
        for (const Node& node : nodes_)
            if (node.kind != NodeKind::kRing) ++groupStart[static_cast<std::size_t>(node.skeleton)];
        for (std::size_t k = 0; k < count; ++k) groupStart[k + 1] += groupStart[k];
        std::vector<std::int32_t> members(static_cast<std::size_t>(groupStart[count]));
        local_.assign(nodes_.size(), -1);
        {
            std::vector<std::int64_t> fill(groupStart.begin(), groupStart.end() - 1);
            for (std::size_t n = 0; n < nodes_.size(); ++n) {
                if (nodes_[n].kind == NodeKind::kRing) continue;
                const auto k = static_cast<std::size_t>(nodes_[n].skeleton - 1);
                local_[n] = static_cast<std::int32_t>(fill[k] - groupStart[k]);
                members[static_cast<std::size_t>(fill[k]++)] = static_cast<std::int32_t>(n);
            }
        }
        // Edges, both ways, as lists per node.
        edgeStart_.assign(nodes_.size() + 1, 0);
        for (const Branch& b : branches_)
            if (!b.notch && !b.ring && b.nodeA != b.nodeB)
                ++edgeStart_[static_cast<std::size_t>(b.nodeA) + 1], ++edgeStart_[static_cast<std::size_t>(b.nodeB) + 1];
        for (std::size_t n = 0; n < nodes_.size(); ++n) edgeStart_[n + 1] += edgeStart_[n];
        edges_.resize(static_cast<std::size_t>(edgeStart_[nodes_.size()]));
        {
            std::vector<std::int64_t> fill(edgeStart_.begin(), edgeStart_.end() - 1);
            for (const Branch& b : branches_) {
                if (b.notch || b.ring || b.nodeA == b.nodeB) continue;
                edges_[static_cast<std::size_t>(fill[static_cast<std::size_t>(b.nodeA)]++)] = {b.nodeB, b.steps};
                edges_[static_cast<std::size_t>(fill[static_cast<std::size_t>(b.nodeB)]++)] = {b.nodeA, b.steps};
            }
        }
        for (std::size_t k = 0; k < count; ++k) {
            const std::int32_t* group = members.data() + groupStart[k];
            const auto size = static_cast<std::size_t>(groupStart[k + 1] - groupStart[k]);
            if (size < 2) continue;
            std::int64_t links = 0;
            for (std::size_t j = 0; j < size; ++j) {
                const auto n = static_cast<std::size_t>(group[j]);
                links += edgeStart_[n + 1] - edgeStart_[n];
            }
            const bool tree = links / 2 == static_cast<std::int64_t>(size) - 1;
            if (tree && size == 2) {  // one branch between two nodes
                const auto n = static_cast<std::size_t>(group[0]);
                out.skeletons[k].longest_shortest_path = edges_[static_cast<std::size_t>(edgeStart_[n])].steps.value();
                continue;
            }
            out.skeletons[k].longest_shortest_path = (tree ? TreeDiameter(group, size) : Diameter(group, size)).value();
        }
    }

    // Shortest distances from `source` to every node of its group (by
    // place in the group) into dist_; returns the place of the farthest.
    std::size_t Dijkstra(std::int32_t source, std::size_t size) {
        dist_.assign(size, Steps{});
        done_.assign(size, 0);
        reached_.assign(size, 0);
        auto later = [](const Entry& x, const Entry& y) { return Less(y.d, x.d); };
        std::vector<Entry>& queue = queue_;  // a heap, its storage kept from search to search
        queue.clear();
        reached_[static_cast<std::size_t>(local_[static_cast<std::size_t>(source)])] = 1;
        queue.push_back({{}, source});
        std::size_t farthest = static_cast<std::size_t>(local_[static_cast<std::size_t>(source)]);
        while (!queue.empty()) {
            std::pop_heap(queue.begin(), queue.end(), later);
            const Entry e = queue.back();
            queue.pop_back();
            const auto at = static_cast<std::size_t>(local_[static_cast<std::size_t>(e.node)]);
            if (done_[at]) continue;
            done_[at] = 1;
            if (Less(dist_[farthest], e.d)) farthest = at;
            const auto n = static_cast<std::size_t>(e.node);
            for (std::int64_t j = edgeStart_[n]; j < edgeStart_[n + 1]; ++j) {
                const Edge& edge = edges_[static_cast<std::size_t>(j)];
                const auto to = static_cast<std::size_t>(local_[static_cast<std::size_t>(edge.to)]);
                const Steps d = e.d + edge.steps;
                if (done_[to] || (reached_[to] && !Less(d, dist_[to]))) continue;
                reached_[to] = 1;
                dist_[to] = d;
                queue.push_back({d, edge.to});
                std::push_heap(queue.begin(), queue.end(), later);
            }
        }
        return farthest;
    }

    // In a tree the farthest node from any node is an end of a longest path.
    Steps TreeDiameter(const std::int32_t* group, std::size_t size) {
        const std::size_t far = Dijkstra(group[0], size);
        return dist_[Dijkstra(group[far], size)];
    }

    // The largest eccentricity, exactly, by bounds (Takes and Kosters,
    // "Determining the diameter of small world networks", 2011): each
    // search from a node v with eccentricity e bounds every node w's
    // eccentricity from below by max(d(v, w), e - d(v, w)) and from above
    // by e + d(v, w). Searches go alternately from the node with the largest
    // upper bound and the one with the smallest lower bound, until no node's
    // upper bound exceeds the largest eccentricity found.
    Steps Diameter(const std::int32_t* group, std::size_t size) {
        lower_.assign(size, Steps{});
        upper_.assign(size, Steps{});
        open_.assign(size, 1);
        Steps best;
        std::size_t next = 0;  // the first search: from the group's first node
        bool fromUpper = true;
        for (bool first = true;; first = false) {
            const std::size_t farthest = Dijkstra(group[next], size);
            const Steps ecc = dist_[farthest];
            open_[next] = 0;
            best = Longer(best, ecc);
            bool any = false;
            std::size_t pickUpper = 0, pickLower = 0;
            for (std::size_t j = 0; j < size; ++j) {
                if (!open_[j]) continue;
                const Steps d = dist_[j];
                lower_[j] = Longer(lower_[j], Longer(d, ecc - d));
                const Steps up = ecc + d;
                if (first || Less(up, upper_[j])) upper_[j] = up;
                if (!Less(lower_[j], upper_[j])) best = Longer(best, lower_[j]), open_[j] = 0;  // known exactly
                if (open_[j] && !Less(best, upper_[j])) open_[j] = 0;
                if (!open_[j]) continue;
                if (!any || Less(upper_[pickUpper], upper_[j])) pickUpper = j;
                if (!any || Less(lower_[j], lower_[pickLower])) pickLower = j;
                any = true;
            }
            if (!any) return best;
            // A node closed above may still leave others open; recheck
            // the open ones against the best found so far next round.
            next = fromUpper ? pickUpper : pickLower;
            fromUpper = !fromUpper;
        }
    }

    struct Edge {
        std::int32_t to;
        Steps steps;
    };
    struct Entry {
        Steps d;
        std::int32_t node;
    };

    int w_, h_;
    std::ptrdiff_t stride_;
    std::ptrdiff_t cells_;
    std::ptrdiff_t offset_[8];
    std::vector<std::uint8_t> fg_, adj_;
    std::unique_ptr<std::int32_t[]> id_;  // a node's number, or a slab pixel's branch (-1 before its walk)
    std::vector<std::ptrdiff_t> stack_;
    std::vector<Node> nodes_;
    std::vector<Branch> branches_;
    std::vector<std::int32_t> parent_;
    std::vector<std::int64_t> skeletonFirst_;
    std::vector<std::int32_t> local_;
    std::vector<std::int64_t> edgeStart_;
    std::vector<Edge> edges_;
    std::vector<Entry> queue_;
    std::vector<Steps> dist_, lower_, upper_;
    std::vector<std::uint8_t> done_, reached_, open_;
};

std::string Number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

}  // namespace

SkeletonMeasures MeasureSkeleton(const RowView& picture) {
    if (picture.empty()) return {};
    return Measurer(picture).Run(picture);
}

std::string BranchesCsv(const SkeletonMeasures& measures) {
    std::string text = "skeleton,branch,src_row,src_col,dst_row,dst_col,length,euclidean,type,slab_pixels\n";
    for (const SkeletonBranch& b : measures.branches) {
        text += std::to_string(b.skeleton) + ',' + std::to_string(b.branch) + ',' + std::to_string(b.src_row) + ',' +
                std::to_string(b.src_col) + ',' + std::to_string(b.dst_row) + ',' + std::to_string(b.dst_col) + ',' +
                Number(b.length) + ',' + Number(b.euclidean) + ',' + std::to_string(b.type) + ',' +
                std::to_string(b.slab_pixels) + '\n';
    }
    return text;
}

std::string SkeletonsCsv(const SkeletonMeasures& measures) {
    std::string text =
        "skeleton,row,col,pixels,branches,junctions,junction_pixels,end_points,slab_pixels,triple_points,"
        "quadruple_points,total_length,average_branch_length,maximum_branch_length,longest_shortest_path\n";
    for (const SkeletonFigures& s : measures.skeletons) {
        text += std::to_string(s.skeleton) + ',' + std::to_string(s.row) + ',' + std::to_string(s.col) + ',' +
                std::to_string(s.pixels) + ',' + std::to_string(s.branches) + ',' + std::to_string(s.junctions) + ',' +
                std::to_string(s.junction_pixels) + ',' + std::to_string(s.end_points) + ',' +
                std::to_string(s.slab_pixels) + ',' + std::to_string(s.triple_points) + ',' +
                std::to_string(s.quadruple_points) + ',' + Number(s.total_length) + ',' +
                Number(s.average_branch_length) + ',' + Number(s.maximum_branch_length) + ',' +
                Number(s.longest_shortest_path) + '\n';
    }
    return text;
}

std::string MeasureSummary(const SkeletonTotals& totals) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "measure: %lld skeletons, %lld branches, %lld junctions, %lld end points, total length %.1f px",
                  static_cast<long long>(totals.skeletons), static_cast<long long>(totals.branches),
                  static_cast<long long>(totals.junctions), static_cast<long long>(totals.end_points),
                  totals.total_length);
    return text;
}

}  // namespace ops
