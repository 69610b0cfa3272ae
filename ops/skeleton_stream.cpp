#include "ops/skeleton_stream.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "ops/skeleton_graph.h"

namespace ops {

namespace {

using skeleton_graph::NodeKind;
using skeleton_graph::Steps;
using skeleton_graph::StepAlong;

// Directions clockwise from the north; odd ones are diagonal. The ones
// that point back, to pixels met before, are N, NE, NW and W.
constexpr int kN = 0, kNE = 1, kE = 2, kSE = 3, kS = 4, kSW = 5, kW = 6, kNW = 7;
constexpr unsigned kBack = 1u << kN | 1u << kNE | 1u << kNW | 1u << kW;

constexpr auto kDegree = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned m = 0; m < 256; ++m) table[m] = static_cast<std::uint8_t>(std::popcount(m));
    return table;
}();

// What each pixel of the rows in reach is.
enum Kind : std::uint8_t { kNone = 0, kEndPixel = 1, kSlab = 2, kJunctionPixel = 3 };

// Gray's bit quads, foreground 8-connected: one pixel +1, three -1, a
// diagonal pair -2; four times the Euler number summed over all quads.
// Bits: 0 top left, 1 top right, 2 bottom left, 3 bottom right.
int Quad(unsigned bits) {
    static constexpr int kValue[16] = {0, 1, 1, 0, 1, 0, -2, -1, 1, -2, 0, -1, 0, -1, -1, 0};
    return kValue[bits];
}

constexpr std::int32_t kOpen = -1;

struct NodeRecord {
    std::int64_t first;
    std::int64_t pixels;
    std::int64_t sumCol, sumRow;  // of its pixels, for its centre
    std::int32_t parent;  // junctions are joined by union-find; an end point is its own
    NodeKind kind;
};

// A run of slab pixels, as numbers; once closed on both ends (or on
// itself) it is a branch.
struct Chain {
    std::int64_t endPixel[2];  // the last slab pixel while open, the node pixel once closed
    std::int32_t endNode[2];   // kOpen while open
    std::int32_t parent;       // itself, or the chain it was joined into
    std::int32_t firstEntry = -1, lastEntry = -1;  // its kept quads
    std::int32_t path = -1;  // its pixels while open, when traced
    Steps steps;             // its slab pixels: one fewer, or as many for a ring
    std::int64_t firstSlab = -1;
    std::int64_t euler = 0;  // its quads summed as if they held no junction pixel
    bool ring = false;       // closed on itself
    bool live = true;        // false once joined into another
};

// What a traced chain adds: where its slab pixels lie, for the centre of a
// junction it may turn out to be a notch of, and its number once complete.
struct ChainTrace {
    std::int64_t sumCol = 0, sumRow = 0;
    std::int64_t piece = -1;
};

// A quad where a chain meets pixels of more than one junction, or another
// chain: the junctions of its pixels, resolved when the graph is whole.
struct KeptQuad {
    std::array<std::int32_t, 4> junction;  // -1 where the pixel is no junction pixel
};

// A chain's share of a kept quad (its pixels' bits), or what its quads
// with the pixels of one junction add when that junction is the one its
// loop closes on (delta, to four times the Euler number).
struct Entry {
    std::int32_t of;  // the kept quad, or the junction
    std::int32_t next;
    std::int16_t value;  // bits, or delta
    bool junction;
};

// The pixels of an open path: front reversed, then back. Reversed whole by
// swapping the two.
struct PathPixels {
    std::vector<PixelPoint> front, back;
    std::size_t size() const { return front.size() + back.size(); }
};

// Records in blocks of 4096 that never move once made: a growing graph is
// never copied, and a record is found with a shift and a mask.
template <class T>
class Blocks {
public:
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](std::size_t i) { return blocks_[i >> kShift][i & kMask]; }
    const T& operator[](std::size_t i) const { return blocks_[i >> kShift][i & kMask]; }
    T& back() { return (*this)[size_ - 1]; }
    void push_back(const T& value) {
        if ((size_ >> kShift) == blocks_.size()) blocks_.push_back(std::make_unique<T[]>(std::size_t{1} << kShift));
        (*this)[size_++] = value;
    }
    void emplace_back() { push_back(T{}); }
    void resize(std::size_t size) {
        while (size_ < size) push_back(T{});
    }
    void clear() {
        blocks_.clear();
        blocks_.shrink_to_fit();
        size_ = 0;
    }
    std::size_t bytes() const { return blocks_.size() * (sizeof(T) << kShift) + blocks_.capacity() * sizeof(void*); }

private:
    static constexpr int kShift = 12;
    static constexpr std::size_t kMask = (std::size_t{1} << kShift) - 1;
    std::vector<std::unique_ptr<T[]>> blocks_;
    std::size_t size_ = 0;
};

std::int32_t Index32(std::size_t size) {
    if (size >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        throw std::length_error("skeleton measures: more than 2^31 nodes, branches or kept quads");
    return static_cast<std::int32_t>(size);
}

}  // namespace

struct SkeletonStream::State {
    int w, h;
    int next = 0;  // rows added
    std::optional<NotTwoLevel> bad;
    CentrePathSink sink;
    std::int64_t pieces = 0;

    // Rows with a one-pixel border: the picture's last three as skeleton or
    // not, and the last two measured ones as kinds and labels (a node for
    // node pixels, a chain for slab pixels).
    std::vector<std::uint8_t> fg[3];  // rows next - 3, next - 2, next - 1
    std::vector<std::uint8_t> kindUp, kindMid;
    std::vector<std::int32_t> labUp, labMid;

    // Growing without ever moving what they hold: no copy of the graph
    // while it grows.
    Blocks<NodeRecord> nodes;
    Blocks<Chain> chains;
    std::vector<std::int32_t> freeChains, joinedThisRow;
    Blocks<KeptQuad> quads;
    Blocks<Entry> entries;
    Blocks<ChainTrace> traces;  // by chain, when traced
    std::vector<std::pair<std::int32_t, unsigned>> grouped;
    std::vector<PathPixels> paths;
    std::vector<std::int32_t> freePaths;
    std::vector<PixelPoint> handed;  // a complete path, as handed out
    std::size_t pathPixels = 0;      // held in paths

    State(int width, int height, CentrePathSink paths) : w(width), h(height), sink(std::move(paths)) {
        const auto cells = static_cast<std::size_t>(w) + 2;
        for (auto& row : fg) row.assign(cells, 0);
        kindUp.assign(cells, 0), kindMid.assign(cells, 0);
        labUp.assign(cells, 0), labMid.assign(cells, 0);
    }

    // ---- nodes

    std::int32_t NewNode(std::int64_t first, NodeKind kind) {
        const std::int32_t n = Index32(nodes.size());
        nodes.push_back({first, 1, first % w, first / w, n, kind});
        return n;
    }

    std::int32_t FindNode(std::int32_t n) {
        while (nodes[static_cast<std::size_t>(n)].parent != n) {
            auto& p = nodes[static_cast<std::size_t>(n)].parent;
            p = nodes[static_cast<std::size_t>(p)].parent;
            n = p;
        }
        return n;
    }

    std::int32_t JoinJunctions(std::int32_t a, std::int32_t b) {
        a = FindNode(a), b = FindNode(b);
        if (a == b) return a;
        if (b < a) std::swap(a, b);
        NodeRecord& keep = nodes[static_cast<std::size_t>(a)];
        NodeRecord& gone = nodes[static_cast<std::size_t>(b)];
        keep.pixels += gone.pixels;
        keep.sumCol += gone.sumCol, keep.sumRow += gone.sumRow;
        keep.first = std::min(keep.first, gone.first);
        gone.parent = a;
        return a;
    }

    // ---- chains

    std::int32_t NewChain() {
        std::int32_t c;
        if (!freeChains.empty()) {
            c = freeChains.back();
            freeChains.pop_back();
            chains[static_cast<std::size_t>(c)] = Chain{};
        } else {
            c = Index32(chains.size());
            chains.emplace_back();
        }
        Chain& chain = chains[static_cast<std::size_t>(c)];
        chain.parent = c;
        chain.endNode[0] = chain.endNode[1] = kOpen;
        if (sink) {
            if (traces.size() <= static_cast<std::size_t>(c)) traces.resize(static_cast<std::size_t>(c) + 1);
            traces[static_cast<std::size_t>(c)] = ChainTrace{};
        }
        return c;
    }

    Chain& At(std::int32_t c) { return chains[static_cast<std::size_t>(c)]; }

    // A slab pixel joins chain c.
    void AddSlab(std::int32_t c, std::int64_t place) {
        if (!sink) return;
        ChainTrace& trace = traces[static_cast<std::size_t>(c)];
        trace.sumCol += place % w, trace.sumRow += place / w;
    }

    std::int32_t FindChain(std::int32_t c) {
        while (At(c).parent != c) {
            auto& p = At(c).parent;
            p = At(p).parent;
            c = p;
        }
        return c;
    }

    // The end of chain c that is open at pixel p.
    int OpenEndAt(std::int32_t c, std::int64_t p) {
        const Chain& chain = At(c);
        return chain.endNode[0] == kOpen && chain.endPixel[0] == p ? 0 : 1;
    }

    // Chain d joins chain c: c's open end e and d's open end f meet.
    void Join(std::int32_t c, int e, std::int32_t d, int f, Steps step) {
        Chain& keep = At(c);
        Chain& gone = At(d);
        keep.endPixel[e] = gone.endPixel[1 - f];
        keep.endNode[e] = gone.endNode[1 - f];
        keep.steps = keep.steps + gone.steps + step;
        keep.firstSlab = std::min(keep.firstSlab, gone.firstSlab);
        keep.euler += gone.euler;
        if (sink) {
            ChainTrace& kept = traces[static_cast<std::size_t>(c)];
            const ChainTrace& joined = traces[static_cast<std::size_t>(d)];
            kept.sumCol += joined.sumCol, kept.sumRow += joined.sumRow;
            // c + d, c + reversed d, d + c or reversed d + c: c's end e meets d's end f.
            if (e == f) Reverse(gone.path);
            keep.path = e == 1 ? Concat(keep.path, gone.path) : Concat(gone.path, keep.path);
            gone.path = -1;
        }
        if (gone.firstEntry >= 0) {
            if (keep.firstEntry < 0)
                keep.firstEntry = gone.firstEntry;
            else
                entries[static_cast<std::size_t>(keep.lastEntry)].next = gone.firstEntry;
            keep.lastEntry = gone.lastEntry;
        }
        gone.parent = c;
        gone.live = false;
        joinedThisRow.push_back(d);
    }

    void AddEntry(std::int32_t c, std::int32_t of, int value, bool junction) {
        Chain& current = At(c);
        if (junction && current.lastEntry >= 0) {  // the same junction as the quad before: added up
            Entry& last = entries[static_cast<std::size_t>(current.lastEntry)];
            if (last.junction && FindNode(last.of) == of && std::abs(last.value + value) < 32000) {
                last.value = static_cast<std::int16_t>(last.value + value);
                return;
            }
        }
        const std::int32_t e = Index32(entries.size());
        entries.push_back({of, -1, static_cast<std::int16_t>(value), junction});
        Chain& chain = At(c);
        if (chain.firstEntry < 0)
            chain.firstEntry = e;
        else
            entries[static_cast<std::size_t>(chain.lastEntry)].next = e;
        chain.lastEntry = e;
    }

    // ---- paths, when traced

    PixelPoint PointAt(std::int64_t place) const {
        return {static_cast<std::int32_t>(place % w), static_cast<std::int32_t>(place / w)};
    }

    // A new path of the given places, end 0 first.
    std::int32_t NewPath(std::initializer_list<std::int64_t> places) {
        std::int32_t k;
        if (!freePaths.empty()) {
            k = freePaths.back();
            freePaths.pop_back();
        } else {
            k = Index32(paths.size());
            paths.emplace_back();
        }
        for (const std::int64_t place : places) paths[static_cast<std::size_t>(k)].back.push_back(PointAt(place));
        pathPixels += places.size();
        return k;
    }

    void FreePath(std::int32_t k) {
        PathPixels& path = paths[static_cast<std::size_t>(k)];
        pathPixels -= path.size();
        path.front.clear(), path.back.clear();
        if (path.front.capacity() + path.back.capacity() > 4096) path = PathPixels{};  // a long one gives its memory back
        freePaths.push_back(k);
    }

    void Extend(const Chain& chain, int e, std::int64_t place) {
        if (!sink) return;
        PathPixels& path = paths[static_cast<std::size_t>(chain.path)];
        (e == 0 ? path.front : path.back).push_back(PointAt(place));
        ++pathPixels;
    }

    template <class F>
    static void EachPixel(const PathPixels& path, F f) {
        for (auto it = path.front.rbegin(); it != path.front.rend(); ++it) f(*it);
        for (const PixelPoint& p : path.back) f(p);
    }

    // The path of a followed by that of b, in the storage of the longer;
    // returns which.
    std::int32_t Concat(std::int32_t a, std::int32_t b) {
        PathPixels& pa = paths[static_cast<std::size_t>(a)];
        PathPixels& pb = paths[static_cast<std::size_t>(b)];
        if (pa.size() >= pb.size()) {
            EachPixel(pb, [&](const PixelPoint& p) { pa.back.push_back(p); });
            pathPixels += pb.size();
            FreePath(b);
            return a;
        }
        std::vector<PixelPoint> reversed;
        EachPixel(pa, [&](const PixelPoint& p) { reversed.push_back(p); });
        for (auto it = reversed.rbegin(); it != reversed.rend(); ++it) pb.front.push_back(*it);
        pathPixels += reversed.size();
        FreePath(a);
        return b;
    }

    void Reverse(std::int32_t k) {
        PathPixels& path = paths[static_cast<std::size_t>(k)];
        std::swap(path.front, path.back);
    }

    // A chain closed on both ends, or on itself, is complete: it takes its
    // number, and its path is handed out and let go.
    void Completed(std::int32_t c) {
        if (!sink) return;
        Chain& chain = At(c);
        ChainTrace& trace = traces[static_cast<std::size_t>(c)];
        trace.piece = pieces++;
        handed.clear();
        EachPixel(paths[static_cast<std::size_t>(chain.path)], [&](const PixelPoint& p) { handed.push_back(p); });
        FreePath(chain.path);
        chain.path = -1;
        sink(trace.piece, handed);
    }

    // ---- rows

    // Reads a row into fg[2]; false (and bad set) at its first pixel that is
    // neither black nor white.
    bool Read(const std::uint8_t* p, int y) {
        std::uint8_t* out = fg[2].data() + 1;
        for (int x = 0; x < w; ++x, p += 3) {
            if (x + 8 <= w) {  // eight white pixels at once
                std::uint64_t words[3];
                std::memcpy(words, p, sizeof words);
                if ((words[0] & words[1] & words[2]) == ~std::uint64_t{0}) {
                    std::memset(out + x, 0, 8);
                    x += 7, p += 21;
                    continue;
                }
            }
            const unsigned b = p[0], g = p[1], r = p[2];
            if ((b | g | r) == 0) {
                out[x] = 1;
            } else if ((b & g & r) == 255) {
                out[x] = 0;
            } else {
                bad = NotTwoLevel{y, x};
                return false;
            }
        }
        return true;
    }

    // Reads a packed row into fg[2].
    void ReadPacked(const std::uint8_t* bits) {
        std::uint8_t* out = fg[2].data() + 1;
        int x = 0;
        for (; x + 64 <= w; x += 64) {  // sixty-four white pixels at once
            std::uint64_t word;
            std::memcpy(&word, bits + x / 8, 8);
            if (word == ~std::uint64_t{0}) {
                std::memset(out + x, 0, 64);
                continue;
            }
            for (int k = 0; k < 8; ++k) {
                const unsigned byte = bits[x / 8 + k];
                for (int b = 0; b < 8; ++b) out[x + 8 * k + b] = static_cast<std::uint8_t>(~byte >> b & 1u);
            }
        }
        for (; x < w; ++x) out[x] = static_cast<std::uint8_t>(~bits[x / 8] >> (x & 7) & 1u);
    }

    // Calls f(i) for each i in [1, w] where row[i] is not 0, skipping eight
    // zero cells at a time.
    template <class F>
    void EachSet(const std::uint8_t* row, F f) {
        std::ptrdiff_t i = 1;
        const std::ptrdiff_t end = static_cast<std::ptrdiff_t>(w) + 1;
        while (i < end) {
            if (i + 8 <= end) {
                std::uint64_t word;
                std::memcpy(&word, row + i, 8);
                if (word == 0) {
                    i += 8;
                    continue;
                }
            }
            if (row[i]) f(i);
            ++i;
        }
    }

    // Measures row y, whose row above is fg[0], itself fg[1], below fg[2]:
    // each pixel's mask and kind, then the pixel in the graph; then the
    // quads between the row above and this one.
    void Row(int y) {
        const std::uint8_t* up = fg[0].data();
        const std::uint8_t* mid = fg[1].data();
        const std::uint8_t* down = fg[2].data();
        std::fill(kindMid.begin(), kindMid.end(), 0);
        const std::int64_t rowStart = static_cast<std::int64_t>(y) * w - 1;  // the place of cell 0
        EachSet(mid, [&](std::ptrdiff_t i) {
            const unsigned n = up[i], e = mid[i + 1], s = down[i], we = mid[i - 1];
            unsigned m = n << kN | e << kE | s << kS | we << kW;
            m |= (up[i + 1] & ~(n | e) & 1u) << kNE;
            m |= (down[i + 1] & ~(s | e) & 1u) << kSE;
            m |= (down[i - 1] & ~(s | we) & 1u) << kSW;
            m |= (up[i - 1] & ~(n | we) & 1u) << kNW;
            const int degree = kDegree[m];
            kindMid[static_cast<std::size_t>(i)] = degree == 2 ? kSlab : degree > 2 ? kJunctionPixel : kEndPixel;
            Pixel(i, m, rowStart);
        });
        Quads();
        for (const std::int32_t c : joinedThisRow) freeChains.push_back(c);
        joinedThisRow.clear();
        std::swap(kindUp, kindMid), std::swap(labUp, labMid);
    }

    // The neighbour of cell i in back direction d: its kind, label and place.
    struct Neighbour {
        Kind kind;
        std::int32_t label;
        std::int64_t place;
    };
    Neighbour Back(std::ptrdiff_t i, int d, std::int64_t rowStart) const {
        const std::ptrdiff_t j = d == kN ? i : d == kNE ? i + 1 : i - 1;
        const auto at = static_cast<std::size_t>(j);
        if (d == kW) return {static_cast<Kind>(kindMid[at]), labMid[at], rowStart + j};
        return {static_cast<Kind>(kindUp[at]), labUp[at], rowStart - w + j};
    }

    void Pixel(std::ptrdiff_t i, unsigned m, std::int64_t rowStart) {
        const auto kind = static_cast<Kind>(kindMid[static_cast<std::size_t>(i)]);
        const std::int64_t place = rowStart + i;
        std::int32_t& label = labMid[static_cast<std::size_t>(i)];
        unsigned back = m & kBack;
        if (kind == kSlab) {
            if (back == 0) {  // a new chain, open at both ends
                const std::int32_t c = NewChain();
                Chain& chain = At(c);
                chain.endPixel[0] = chain.endPixel[1] = place;
                chain.firstSlab = place;
                AddSlab(c, place);
                if (sink) chain.path = NewPath({place});
                label = c;
                return;
            }
            int d = std::countr_zero(back);
            back &= back - 1;
            const Neighbour q = Back(i, d, rowStart);
            std::int32_t c;
            if (q.kind == kSlab) {  // runs on
                c = FindChain(q.label);
                const int e = OpenEndAt(c, q.place);
                Chain& chain = At(c);
                chain.endPixel[e] = place;
                chain.steps = chain.steps + StepAlong(d & 1);
                AddSlab(c, place);
                Extend(chain, e, place);
            } else {  // leaves a node
                c = NewChain();
                Chain& chain = At(c);
                chain.endPixel[0] = q.place;
                chain.endNode[0] = q.label;
                chain.endPixel[1] = place;
                chain.steps = StepAlong(d & 1);
                chain.firstSlab = place;
                AddSlab(c, place);
                if (sink) chain.path = NewPath({q.place, place});
            }
            label = c;
            if (back == 0) return;
            d = std::countr_zero(back);
            const Neighbour r = Back(i, d, rowStart);
            const int e = OpenEndAt(c, place);
            if (r.kind != kSlab) {  // closes on a node
                Chain& chain = At(c);
                chain.endPixel[e] = r.place;
                chain.endNode[e] = r.label;
                chain.steps = chain.steps + StepAlong(d & 1);
                Extend(chain, e, r.place);
                if (chain.endNode[1 - e] != kOpen) Completed(c);
                return;
            }
            const std::int32_t other = FindChain(r.label);
            if (other == c) {  // closes on itself
                Chain& chain = At(c);
                chain.ring = true;
                chain.steps = chain.steps + StepAlong(d & 1);
                Completed(c);
                return;
            }
            Join(c, e, other, OpenEndAt(other, r.place), StepAlong(d & 1));
            if (At(c).endNode[0] != kOpen && At(c).endNode[1] != kOpen) Completed(c);
            return;
        }
        // A node pixel: an end point, or a pixel of a junction joined with
        // the junction pixels met before it.
        std::int32_t node = -1;
        if (kind == kJunctionPixel) {
            for (unsigned b = back; b; b &= b - 1) {
                const Neighbour q = Back(i, std::countr_zero(b), rowStart);
                if (q.kind == kJunctionPixel) node = node < 0 ? FindNode(q.label) : JoinJunctions(node, q.label);
            }
            if (node < 0) {
                node = NewNode(place, NodeKind::kJunction);
            } else {
                NodeRecord& junction = nodes[static_cast<std::size_t>(node)];
                ++junction.pixels;
                junction.sumCol += place % w, junction.sumRow += place / w;
            }
        } else {
            node = NewNode(place, NodeKind::kEnd);
        }
        label = node;
        for (; back; back &= back - 1) {
            const int d = std::countr_zero(back);
            const Neighbour q = Back(i, d, rowStart);
            if (q.kind == kSlab) {  // a chain closes here
                const std::int32_t c = FindChain(q.label);
                const int e = OpenEndAt(c, q.place);
                Chain& chain = At(c);
                chain.endPixel[e] = place;
                chain.endNode[e] = node;
                chain.steps = chain.steps + StepAlong(d & 1);
                Extend(chain, e, place);
                if (chain.endNode[1 - e] != kOpen) Completed(c);
            } else if (q.kind == kEndPixel || kind == kEndPixel) {  // a branch of one step
                const std::int32_t c = NewChain();
                Chain& chain = At(c);
                chain.endPixel[0] = q.place, chain.endNode[0] = q.label;
                chain.endPixel[1] = place, chain.endNode[1] = node;
                chain.steps = StepAlong(d & 1);
                if (sink) chain.path = NewPath({q.place, place});
                Completed(c);
            }
        }
    }

    // The quads between the row above (kindUp, labUp) and this row
    // (kindMid, labMid) that hold a slab pixel: summed into their chain, or
    // kept where a chain meets a junction pixel or another chain. On the way
    // each label of this row becomes its root, so that the chains joined
    // into others during the row are no longer named anywhere and their
    // slots can be taken again.
    void Quads() {
        const std::uint8_t* top = kindUp.data();
        const std::uint8_t* bottom = kindMid.data();
        const std::ptrdiff_t end = static_cast<std::ptrdiff_t>(w) + 2;  // quads over cells i - 1 and i, i in [1, w + 1]
        for (std::ptrdiff_t i = 1; i < end; ++i) {
            if (i + 8 <= end) {
                std::uint64_t a, b;
                std::memcpy(&a, top + i - 1, 8);
                std::memcpy(&b, bottom + i - 1, 8);
                if ((a | b) == 0) {
                    i += 6;  // cells i - 1 to i + 6 are empty: quads i to i + 6 hold nothing
                    continue;
                }
            }
            if (i <= w && bottom[i]) {
                auto& label = labMid[static_cast<std::size_t>(i)];
                label = bottom[i] == kSlab ? FindChain(label) : FindNode(label);
            }
            const unsigned k[4] = {top[i - 1], top[i], bottom[i - 1], bottom[i]};
            unsigned slabs = 0, junctions = 0;
            for (int j = 0; j < 4; ++j) {
                slabs |= unsigned{k[j] == kSlab} << j;
                junctions |= unsigned{k[j] == kJunctionPixel} << j;
            }
            if (slabs == 0) continue;
            if (junctions == 0) {
                // Slab pixels that share a quad and no junction pixel are
                // adjacent, or adjacent through a slab pixel between them
                // (an end pixel touches one pixel only), so by now they
                // are one chain: the quad is summed into it, and a quad
                // that adds nothing needs no chain found at all.
                if (const int value = Quad(slabs)) {
                    const int j = std::countr_zero(slabs);
                    const std::int32_t raw = j == 0 ? labUp[static_cast<std::size_t>(i - 1)]
                                             : j == 1 ? labUp[static_cast<std::size_t>(i)]
                                             : j == 2 ? labMid[static_cast<std::size_t>(i - 1)]
                                                      : labMid[static_cast<std::size_t>(i)];
                    At(FindChain(raw)).euler += value;
                }
                continue;
            }
            const std::int32_t label[4] = {labUp[static_cast<std::size_t>(i - 1)], labUp[static_cast<std::size_t>(i)],
                                           labMid[static_cast<std::size_t>(i - 1)],
                                           labMid[static_cast<std::size_t>(i)]};
            std::int32_t chain[4] = {-1, -1, -1, -1};
            bool one = true;
            std::int32_t firstChain = -1;
            for (int j = 0; j < 4; ++j) {
                if (!(slabs >> j & 1)) continue;
                chain[j] = FindChain(label[j]);
                if (firstChain < 0) firstChain = chain[j];
                one = one && chain[j] == firstChain;
            }
            if (one) {
                // One chain, with the pixels of one junction or none: summed
                // as if no junction were there, and what that junction adds
                // kept with the chain (its pixels stay one junction).
                std::int32_t junction = -1;
                bool oneJunction = true;
                for (int j = 0; j < 4 && oneJunction; ++j) {
                    if (!(junctions >> j & 1)) continue;
                    const std::int32_t root = FindNode(label[j]);
                    oneJunction = junction < 0 || root == junction;
                    junction = root;
                }
                if (oneJunction) {
                    At(firstChain).euler += Quad(slabs);
                    const int delta = Quad(slabs | junctions) - Quad(junctions) - Quad(slabs);
                    if (junction >= 0 && delta != 0) AddEntry(firstChain, junction, delta, true);
                    continue;
                }
            }
            const std::int32_t q = Index32(quads.size());
            KeptQuad kept;
            for (int j = 0; j < 4; ++j) kept.junction[j] = junctions >> j & 1 ? FindNode(label[j]) : -1;
            quads.push_back(kept);
            for (unsigned left = slabs; left;) {
                const std::int32_t c = chain[std::countr_zero(left)];
                unsigned bits = 0;
                for (int j = 0; j < 4; ++j)
                    if ((left >> j & 1) && chain[j] == c) bits |= 1u << j;
                AddEntry(c, q, static_cast<int>(bits), false);
                left &= ~bits;
            }
        }
    }

    // Four times the change of the Euler number when the chain's slab
    // pixels join the pixels of junction j (-1: nothing).
    std::int64_t EulerChange(const Chain& chain, std::int32_t j) {
        std::int64_t change = chain.euler;
        grouped.clear();
        for (std::int32_t e = chain.firstEntry; e >= 0; e = entries[static_cast<std::size_t>(e)].next) {
            const Entry& entry = entries[static_cast<std::size_t>(e)];
            if (!entry.junction)
                grouped.emplace_back(entry.of, static_cast<unsigned>(entry.value));
            else if (j >= 0 && FindNode(entry.of) == j)
                change += entry.value;
        }
        std::sort(grouped.begin(), grouped.end());
        for (std::size_t k = 0; k < grouped.size();) {
            const std::int32_t q = grouped[k].first;
            unsigned loop = 0;
            for (; k < grouped.size() && grouped[k].first == q; ++k) loop |= grouped[k].second;
            unsigned junction = 0;
            if (j >= 0) {
                const KeptQuad& kept = quads[static_cast<std::size_t>(q)];
                for (int b = 0; b < 4; ++b)
                    if (kept.junction[b] >= 0 && FindNode(kept.junction[b]) == j) junction |= 1u << b;
            }
            change += Quad(loop | junction) - Quad(junction);
        }
        return change;
    }

    SkeletonMeasures Tables(CentreLines* lines, const std::function<void()>& released, bool longestPaths) {
        using skeleton_graph::Branch;
        using skeleton_graph::Node;
        std::vector<std::uint8_t> isFree(chains.size(), 0);
        for (const std::int32_t c : freeChains) isFree[static_cast<std::size_t>(c)] = 1;
        // Sized before they are filled: a graph of millions is never copied
        // on growing, nor held in room it does not use.
        std::size_t nodeCount = 0, branchCount = 0;
        for (std::size_t n = 0; n < nodes.size(); ++n)
            if (FindNode(static_cast<std::int32_t>(n)) == static_cast<std::int32_t>(n)) ++nodeCount;
        for (std::size_t c = 0; c < chains.size(); ++c) {
            const Chain& chain = chains[c];
            if (isFree[c] || !chain.live) continue;
            if (chain.ring) ++nodeCount, ++branchCount;
            else if (chain.endNode[0] != kOpen && chain.endNode[1] != kOpen) ++branchCount;
        }
        std::vector<Node> graphNodes;
        graphNodes.reserve(nodeCount);
        std::vector<PixelCentre> centres;  // of each graph node, notches included
        if (lines) centres.reserve(nodeCount);
        std::vector<std::int32_t> index(nodes.size(), -1);
        for (std::size_t n = 0; n < nodes.size(); ++n) {
            if (FindNode(static_cast<std::int32_t>(n)) != static_cast<std::int32_t>(n)) continue;
            const NodeRecord& node = nodes[n];
            index[n] = Index32(graphNodes.size());
            graphNodes.push_back({node.first, node.pixels, node.kind});
            if (lines) centres.push_back({node.sumCol, node.sumRow, node.pixels});
        }
        auto graphNode = [&](std::int32_t n) { return index[static_cast<std::size_t>(FindNode(n))]; };
        std::vector<Branch> branches;
        branches.reserve(branchCount);
        std::vector<std::int64_t> pieceOf;  // of each branch
        if (lines) pieceOf.reserve(branchCount);
        for (std::size_t c = 0; c < chains.size(); ++c) {
            const Chain& chain = chains[c];
            if (isFree[c] || !chain.live) continue;
            const std::int64_t steps = chain.steps.straight + chain.steps.diagonal;
            const std::int64_t slabs = chain.ring ? steps : steps - 1;
            const ChainTrace trace = sink ? traces[c] : ChainTrace{};
            if (chain.ring) {
                const std::int32_t node = Index32(graphNodes.size());
                if (EulerChange(chain, -1) < 4) {  // encloses background
                    graphNodes.push_back({chain.firstSlab, 0, NodeKind::kRing});
                    branches.push_back({chain.firstSlab, chain.firstSlab, node, node, chain.steps, slabs,
                                        chain.firstSlab, true, false});
                    if (lines) pieceOf.push_back(trace.piece);
                } else {
                    graphNodes.push_back({chain.firstSlab, slabs, NodeKind::kJunction});
                }
                if (lines) centres.push_back({trace.sumCol, trace.sumRow, slabs});
                continue;
            }
            if (chain.endNode[0] == kOpen || chain.endNode[1] == kOpen) continue;  // cannot be once every row is in
            Branch branch{chain.endPixel[0], chain.endPixel[1], graphNode(chain.endNode[0]),
                          graphNode(chain.endNode[1]), chain.steps, slabs, chain.firstSlab};
            if (branch.nodeA == branch.nodeB &&
                EulerChange(chain, FindNode(chain.endNode[0])) >= 0) {  // a notch: its pixels are the junction's
                branch.notch = true;
                graphNodes[static_cast<std::size_t>(branch.nodeA)].pixels += slabs;
                if (lines) {
                    PixelCentre& centre = centres[static_cast<std::size_t>(branch.nodeA)];
                    centre.sumCol += trace.sumCol, centre.sumRow += trace.sumRow, centre.count += slabs;
                }
            }
            branches.push_back(branch);
            if (lines) pieceOf.push_back(trace.piece);
        }
        // The stream's records are done with: their memory goes before the
        // tables take theirs.
        nodes.clear();
        chains.clear();
        quads.clear();
        entries.clear();
        traces.clear();
        std::vector<PathPixels>().swap(paths);
        std::vector<std::int32_t>().swap(freeChains);
        std::vector<std::int32_t>().swap(index);
        std::vector<std::uint8_t>().swap(isFree);
        std::vector<std::int32_t>().swap(joinedThisRow);
        std::vector<std::pair<std::int32_t, unsigned>>().swap(grouped);
        if (released) released();
        if (!lines) return skeleton_graph::TablesOf(w, graphNodes, branches, nullptr, longestPaths);
        skeleton_graph::Numbering numbering;
        SkeletonMeasures out = skeleton_graph::TablesOf(w, graphNodes, branches, &numbering, longestPaths);
        *lines = CentreLines{};
        lines->pieces.resize(static_cast<std::size_t>(pieces));
        lines->order.assign(out.branches.size(), -1);
        for (std::size_t k = 0; k < branches.size(); ++k) {
            const Branch& branch = branches[k];
            if (pieceOf[k] < 0) continue;
            CentrePiece& piece = lines->pieces[static_cast<std::size_t>(pieceOf[k])];
            const std::int64_t row = numbering.branchRow[k];
            if (row < 0) continue;  // a notch
            const SkeletonBranch& b = out.branches[static_cast<std::size_t>(row)];
            piece.skeleton = b.skeleton, piece.branch = b.branch, piece.type = b.type, piece.length = b.length;
            piece.closed = branch.ring;
            lines->order[static_cast<std::size_t>(row)] = pieceOf[k];
            if (branch.ring) continue;
            piece.reversed = branch.a > branch.b;
            const std::int32_t source = piece.reversed ? branch.nodeB : branch.nodeA;
            const std::int32_t destination = piece.reversed ? branch.nodeA : branch.nodeB;
            if (graphNodes[static_cast<std::size_t>(source)].kind == NodeKind::kJunction)
                piece.start = centres[static_cast<std::size_t>(source)];
            if (graphNodes[static_cast<std::size_t>(destination)].kind == NodeKind::kJunction)
                piece.end = centres[static_cast<std::size_t>(destination)];
        }
        for (std::size_t n = 0; n < graphNodes.size(); ++n) {
            const std::int64_t skeleton = numbering.nodeSkeleton[n];
            if (out.skeletons[static_cast<std::size_t>(skeleton - 1)].branches != 0) continue;
            const Node& node = graphNodes[n];
            lines->dots.push_back({skeleton, node.kind == NodeKind::kEnd
                                                 ? PixelCentre{node.first % w, node.first / w, 1}
                                                 : centres[n]});
        }
        std::sort(lines->dots.begin(), lines->dots.end(),
                  [](const CentreDot& x, const CentreDot& y) { return x.skeleton < y.skeleton; });
        return out;
    }

    std::size_t PathBytes() const {
        // The pixels held, twice over for what the vectors hold in reserve.
        return paths.capacity() * sizeof(PathPixels) + freePaths.capacity() * sizeof(std::int32_t) +
               handed.capacity() * sizeof(PixelPoint) + 2 * pathPixels * sizeof(PixelPoint);
    }

    std::size_t Bytes() const {
        std::size_t rows = 0;
        for (const auto& row : fg) rows += row.capacity();
        rows += kindUp.capacity() + kindMid.capacity();
        rows += (labUp.capacity() + labMid.capacity()) * sizeof(std::int32_t);
        return rows + nodes.bytes() + chains.bytes() + freeChains.capacity() * sizeof(std::int32_t) +
               joinedThisRow.capacity() * sizeof(std::int32_t) + quads.bytes() + entries.bytes() + traces.bytes() +
               PathBytes();
    }
};

SkeletonStream::SkeletonStream(int width, int height, CentrePathSink paths)
    : state_(std::make_unique<State>(std::max(width, 0), std::max(height, 0), std::move(paths))) {}

SkeletonStream::~SkeletonStream() = default;

bool SkeletonStream::Add(const std::uint8_t* row) {
    State& s = *state_;
    if (s.bad) return false;
    if (s.next >= s.h || s.w == 0) return true;
    const int y = s.next++;
    std::rotate(std::begin(s.fg), std::begin(s.fg) + 1, std::end(s.fg));  // the oldest row's buffer takes the new one
    if (!s.Read(row, y)) return false;
    if (y >= 1) s.Row(y - 1);
    return true;
}

bool SkeletonStream::AddPacked(const std::uint8_t* bits) {
    State& s = *state_;
    if (s.bad) return false;
    if (s.next >= s.h || s.w == 0) return true;
    const int y = s.next++;
    std::rotate(std::begin(s.fg), std::begin(s.fg) + 1, std::end(s.fg));
    s.ReadPacked(bits);
    if (y >= 1) s.Row(y - 1);
    return true;
}

SkeletonMeasures SkeletonStream::Finish(CentreLines* lines, const std::function<void()>& released,
                                        bool longestPaths) {
    State& s = *state_;
    SkeletonMeasures out;
    if (lines) *lines = CentreLines{};
    if (s.bad) {
        out.not_two_level = s.bad;
        return out;
    }
    if (s.w == 0 || s.h == 0 || s.next == 0) return out;
    // The last row, with background below it, then the quads between it and
    // the background.
    std::rotate(std::begin(s.fg), std::begin(s.fg) + 1, std::end(s.fg));
    std::fill(s.fg[2].begin(), s.fg[2].end(), 0);
    s.Row(s.next - 1);
    std::fill(s.kindMid.begin(), s.kindMid.end(), 0);
    s.Quads();
    return s.Tables(lines, released, longestPaths);
}

std::size_t SkeletonStream::BytesHeld() const { return state_->Bytes(); }

SkeletonMeasures MeasureRows(const RowView& picture, CentrePathSink paths, CentreLines* lines) {
    if (picture.empty()) {
        if (lines) *lines = CentreLines{};
        return {};
    }
    SkeletonStream stream(picture.width, picture.height, std::move(paths));
    for (int y = 0; y < picture.height; ++y)
        if (!stream.Add(picture.row(y))) break;
    return stream.Finish(lines);
}

}  // namespace ops
