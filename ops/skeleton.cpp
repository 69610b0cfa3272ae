#include "ops/skeleton.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <utility>

#include "ops/skeleton_graph.h"

namespace ops {

namespace {

using skeleton_graph::NodeKind;
using skeleton_graph::Steps;

// Directions clockwise from the north; odd ones are diagonal.
constexpr int kN = 0, kNE = 1, kE = 2, kSE = 3, kS = 4, kSW = 5, kW = 6, kNW = 7;
constexpr int Opposite(int d) { return (d + 4) & 7; }
constexpr std::uint8_t Bit(int d) { return static_cast<std::uint8_t>(1u << d); }

// The graph as the walk finds it, pixels named by their index in the
// bordered plane.
struct Node {
    std::int64_t first;  // its first pixel
    std::int64_t pixels;
    NodeKind kind;
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
        return Tables();
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

    // The graph in raster places, for its tables.
    SkeletonMeasures Tables() const {
        auto place = [&](std::int64_t i) { return static_cast<std::int64_t>(Row(i)) * w_ + Col(i); };
        std::vector<skeleton_graph::Node> nodes;
        nodes.reserve(nodes_.size());
        for (const Node& n : nodes_) nodes.push_back({place(n.first), n.pixels, n.kind});
        std::vector<skeleton_graph::Branch> branches;
        branches.reserve(branches_.size());
        for (const Branch& b : branches_)
            branches.push_back({place(b.a), place(b.b), b.nodeA, b.nodeB, b.steps, b.slabs,
                                b.firstSlab < 0 ? -1 : place(b.firstSlab), b.ring, b.notch});
        return skeleton_graph::TablesOf(w_, nodes, branches);
    }


    int w_, h_;
    std::ptrdiff_t stride_;
    std::ptrdiff_t cells_;
    std::ptrdiff_t offset_[8];
    std::vector<std::uint8_t> fg_, adj_;
    std::unique_ptr<std::int32_t[]> id_;  // a node's number, or a slab pixel's branch (-1 before its walk)
    std::vector<std::ptrdiff_t> stack_;
    std::vector<Node> nodes_;
    std::vector<Branch> branches_;
};

// As "%.17g" writes it in the C locale, whatever the program's locale:
// enough digits to read back exactly.
std::string Number(double v, std::chars_format format = std::chars_format::general, int precision = 17) {
    char text[400];
    const auto result = std::to_chars(text, text + sizeof text, v, format, precision);
    return std::string(text, result.ptr);
}

constexpr std::size_t kCsvBlock = 1 << 16;

// A line of a table, its fields written in place: whole numbers, and
// lengths as Number writes them.
class CsvLine {
public:
    CsvLine& Whole(std::int64_t value) {
        Separate();
        at_ = std::to_chars(at_, line_ + sizeof line_, value).ptr;
        return *this;
    }
    CsvLine& Length(double value) {
        Separate();
        at_ = std::to_chars(at_, line_ + sizeof line_, value, std::chars_format::general, 17).ptr;
        return *this;
    }
    // Ends the line onto `text`, and starts the next.
    void EndOnto(std::string& text) {
        *at_++ = '\n';
        text.append(line_, at_);
        at_ = line_;
    }

private:
    void Separate() {
        if (at_ != line_) *at_++ = ',';
    }
    char line_[1024];  // 19 fields of at most 25 characters
    char* at_ = line_;
};

}  // namespace

SkeletonMeasures MeasureSkeleton(const RowView& picture) {
    if (picture.empty()) return {};
    return Measurer(picture).Run(picture);
}

void WriteBranchesCsv(const SkeletonMeasures& measures, const CsvSink& out) {
    const std::uint32_t scale = measures.totals.pixels_per_metre;
    std::string text = "skeleton,branch,src_row,src_col,dst_row,dst_col,length,euclidean,type,slab_pixels";
    text += scale == 0 ? "\n" : ",length_mm,euclidean_mm\n";
    CsvLine line;
    for (const SkeletonBranch& b : measures.branches) {
        line.Whole(b.skeleton).Whole(b.branch).Whole(b.src_row).Whole(b.src_col).Whole(b.dst_row).Whole(b.dst_col);
        line.Length(b.length).Length(b.euclidean).Whole(b.type).Whole(b.slab_pixels);
        if (scale != 0) line.Length(Millimetres(b.length, scale)).Length(Millimetres(b.euclidean, scale));
        line.EndOnto(text);
        if (text.size() >= kCsvBlock) out(text), text.clear();
    }
    out(text);
}

void WriteSkeletonsCsv(const SkeletonMeasures& measures, const CsvSink& out) {
    const std::uint32_t scale = measures.totals.pixels_per_metre;
    std::string text =
        "skeleton,row,col,pixels,branches,junctions,junction_pixels,end_points,slab_pixels,triple_points,"
        "quadruple_points,total_length,average_branch_length,maximum_branch_length,longest_shortest_path";
    text += scale == 0 ? "\n"
                       : ",total_length_mm,average_branch_length_mm,maximum_branch_length_mm,"
                         "longest_shortest_path_mm\n";
    CsvLine line;
    for (const SkeletonFigures& s : measures.skeletons) {
        line.Whole(s.skeleton).Whole(s.row).Whole(s.col).Whole(s.pixels).Whole(s.branches).Whole(s.junctions);
        line.Whole(s.junction_pixels).Whole(s.end_points).Whole(s.slab_pixels).Whole(s.triple_points);
        line.Whole(s.quadruple_points).Length(s.total_length).Length(s.average_branch_length);
        line.Length(s.maximum_branch_length).Length(s.longest_shortest_path);
        if (scale != 0)
            line.Length(Millimetres(s.total_length, scale))
                .Length(Millimetres(s.average_branch_length, scale))
                .Length(Millimetres(s.maximum_branch_length, scale))
                .Length(Millimetres(s.longest_shortest_path, scale));
        line.EndOnto(text);
        if (text.size() >= kCsvBlock) out(text), text.clear();
    }
    out(text);
}

std::string BranchesCsv(const SkeletonMeasures& measures) {
    std::string text;
    WriteBranchesCsv(measures, [&](std::string_view part) { text += part; });
    return text;
}

std::string SkeletonsCsv(const SkeletonMeasures& measures) {
    std::string text;
    WriteSkeletonsCsv(measures, [&](std::string_view part) { text += part; });
    return text;
}

std::string MeasureSummary(const SkeletonTotals& totals) {
    return "measure: " + std::to_string(totals.skeletons) + " skeletons, " + std::to_string(totals.branches) +
           " branches, " + std::to_string(totals.junctions) + " junctions, " + std::to_string(totals.end_points) +
           " end points, total length " + Number(totals.total_length, std::chars_format::fixed, 1) + " px" +
           (totals.pixels_per_metre == 0
                ? std::string()
                : " (" + Number(Millimetres(totals.total_length, totals.pixels_per_metre), std::chars_format::fixed, 1) +
                      " mm)");
}

}  // namespace ops
