#include "ops/skeleton_graph.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <cstdlib>
#include <exception>
#include <numbers>
#include <system_error>
#include <thread>
#include <utility>

namespace ops::skeleton_graph {

double Steps::value() const {
    return static_cast<double>(straight) + static_cast<double>(diagonal) * std::numbers::sqrt2;
}

namespace {

// x * x as a 128-bit number (high, low), from 32-bit halves.
std::pair<std::uint64_t, std::uint64_t> Square(std::uint64_t x) {
    const std::uint64_t lo = x & 0xffffffffu, hi = x >> 32;
    const std::uint64_t ll = lo * lo, lh = lo * hi, hh = hi * hi;
    const std::uint64_t middle = (ll >> 32) + ((lh & 0xffffffffu) << 1);
    const std::uint64_t low = (ll & 0xffffffffu) | (middle << 32);
    const std::uint64_t high = hh + (lh >> 31) + (middle >> 32);
    return {high, low};
}


// The queue of a search whose steps are all 1 long or more: Dial's buckets,
// each half a step wide, in a ring that spans the longest edge. Nodes in one
// bucket lie within half a step of each other, so none of them can shorten
// another's path and they may come out in any order; a node reached from
// one of them lies at least a step further on, in a later bucket. (Keys are
// distances as doubles, off by far less than the half step to spare.)
class BucketQueue {
public:
    // For keys that lie at most `reach` beyond the last taken out.
    void Reset(double reach) {
        std::size_t size = 1;
        while (static_cast<double>(size) < 2 * reach + 4) size <<= 1;
        if (buckets_.size() != size) buckets_.assign(size, {});
        mask_ = size - 1;
        current_ = 0;
        count_ = 0;
    }
    // Buckets a ring for `reach` would take.
    static double Buckets(double reach) { return 2 * reach + 4; }
    bool empty() const { return count_ == 0; }
    void push(double key, std::int32_t node) {
        buckets_[static_cast<std::size_t>(2 * key) & mask_].push_back(node);
        ++count_;
    }
    std::int32_t pop() {
        while (buckets_[current_ & mask_].empty()) ++current_;
        std::vector<std::int32_t>& bucket = buckets_[current_ & mask_];
        const std::int32_t node = bucket.back();
        bucket.pop_back();
        --count_;
        return node;
    }

private:
    std::vector<std::vector<std::int32_t>> buckets_;
    std::size_t mask_ = 0, current_ = 0, count_ = 0;
};

// The queue of a search in general: a heap of nodes by distance as a
// double. Two distances whose doubles compare the wrong way differ by far
// less than the shortest step, so no node is settled before one that could
// still shorten its path; the distances themselves stay exact.
class HeapQueue {
public:
    void Reset() { heap_.clear(); }
    bool empty() const { return heap_.empty(); }
    void push(double key, std::int32_t node) {
        heap_.push_back({key, node});
        std::push_heap(heap_.begin(), heap_.end(), Later);
    }
    std::int32_t pop() {
        std::pop_heap(heap_.begin(), heap_.end(), Later);
        const std::int32_t node = heap_.back().node;
        heap_.pop_back();
        return node;
    }

private:
    struct Entry {
        double key;
        std::int32_t node;
    };
    static bool Later(const Entry& x, const Entry& y) { return y.key < x.key; }
    std::vector<Entry> heap_;  // its storage kept from search to search
};

class Tables {
public:
    Tables(std::int64_t width, const std::vector<Node>& nodes, const std::vector<Branch>& branches)
        : width_(width), nodes_(nodes), branches_(branches) {}

    SkeletonMeasures Run(Numbering* numbering, bool longestPaths) {
        SkeletonMeasures out;
        Skeletons();
        Fill(out, numbering, longestPaths);
        if (numbering) numbering->nodeSkeleton = skeleton_;
        return out;
    }

private:
    struct Edge {
        std::int32_t to;
        std::uint32_t branch;  // its place in branches_, for its length
    };
    // An edge of a group's own graph: the place of its other end, and its
    // length.
    struct Link {
        std::int32_t to;
        Steps steps;
    };
    // Searches whose ring of buckets would be larger keep a heap.
    static constexpr double kMostBuckets = 1 << 16;
    // Groups of fewer nodes search one search at a time.
    static constexpr std::size_t kThreadedSearch = 1 << 14;

    int Row(std::int64_t i) const { return static_cast<int>(i / width_); }
    int Col(std::int64_t i) const { return static_cast<int>(i % width_); }

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
        skeleton_.assign(nodes_.size(), 0);
        skeletonFirst_.resize(roots.size());
        for (std::size_t k = 0; k < roots.size(); ++k) {
            skeleton_[static_cast<std::size_t>(roots[k])] = static_cast<std::int64_t>(k) + 1;
            skeletonFirst_[k] = first[static_cast<std::size_t>(roots[k])];
        }
        for (std::size_t n = 0; n < nodes_.size(); ++n)
            skeleton_[n] = skeleton_[static_cast<std::size_t>(Root(static_cast<std::int32_t>(n)))];
    }

    void Fill(SkeletonMeasures& out, Numbering* numbering, bool longestPaths) {
        const std::size_t count = skeletonFirst_.size();
        out.skeletons.resize(count);
        std::vector<Steps> total(count), longest(count);
        std::vector<int> ends(nodes_.size(), 0);  // branch ends meeting at each node
        for (std::size_t k = 0; k < count; ++k) {
            SkeletonFigures& s = out.skeletons[k];
            s.skeleton = static_cast<std::int64_t>(k) + 1;
            s.row = Row(skeletonFirst_[k]);
            s.col = Col(skeletonFirst_[k]);
        }
        // The branches that are not notches, by their place in branches_.
        std::vector<std::uint32_t> kept;
        for (std::size_t i = 0; i < branches_.size(); ++i) {
            const Branch& branch = branches_[i];
            if (branch.notch) continue;
            const std::int64_t skeleton = skeleton_[static_cast<std::size_t>(branch.nodeA)];
            kept.push_back(static_cast<std::uint32_t>(i));
            if (!branch.ring) {
                ++ends[static_cast<std::size_t>(branch.nodeA)];
                ++ends[static_cast<std::size_t>(branch.nodeB)];
            }
            const auto k = static_cast<std::size_t>(skeleton - 1);
            SkeletonFigures& s = out.skeletons[k];
            ++s.branches;
            s.slab_pixels += branch.slabs;
            total[k] = total[k] + branch.steps;
            longest[k] = Longer(longest[k], branch.steps);
        }
        for (std::size_t n = 0; n < nodes_.size(); ++n) {
            const Node& node = nodes_[n];
            SkeletonFigures& s = out.skeletons[static_cast<std::size_t>(skeleton_[n] - 1)];
            if (node.kind == NodeKind::kEnd) ++s.end_points;
            if (node.kind != NodeKind::kJunction) continue;
            ++s.junctions;
            s.junction_pixels += node.pixels;
            s.triple_points += ends[n] == 3;
            s.quadruple_points += ends[n] == 4;
        }
        auto skeletonOf = [&](const Branch& b) { return skeleton_[static_cast<std::size_t>(b.nodeA)]; };
        std::sort(kept.begin(), kept.end(), [&](std::uint32_t i, std::uint32_t j) {
            const Branch& x = branches_[i];
            const Branch& y = branches_[j];
            if (skeletonOf(x) != skeletonOf(y)) return skeletonOf(x) < skeletonOf(y);
            const std::int64_t xs = std::min(x.a, x.b), ys = std::min(y.a, y.b);
            if (xs != ys) return xs < ys;
            const std::int64_t xd = std::max(x.a, x.b), yd = std::max(y.a, y.b);
            if (xd != yd) return xd < yd;
            if (const int c = Compare(x.steps, y.steps)) return c < 0;
            return x.firstSlab < y.firstSlab;
        });
        out.branches.reserve(kept.size());
        if (numbering) numbering->branchRow.assign(branches_.size(), -1);
        std::int64_t number = 0;
        for (std::size_t k = 0; k < kept.size(); ++k) {
            const Branch& b = branches_[kept[k]];
            const std::int64_t skeleton = skeletonOf(b);
            number = k > 0 && skeletonOf(branches_[kept[k - 1]]) == skeleton ? number + 1 : 1;
            const std::int64_t src = std::min(b.a, b.b), dst = std::max(b.a, b.b);
            const NodeKind ka = nodes_[static_cast<std::size_t>(b.nodeA)].kind;
            const NodeKind kb = nodes_[static_cast<std::size_t>(b.nodeB)].kind;
            const int type = b.ring || b.nodeA == b.nodeB ? 3
                             : ka == NodeKind::kEnd && kb == NodeKind::kEnd ? 0
                             : ka == NodeKind::kEnd || kb == NodeKind::kEnd ? 1
                                                                            : 2;
            const double dr = Row(dst) - Row(src), dc = Col(dst) - Col(src);
            if (numbering) numbering->branchRow[kept[k]] = static_cast<std::int64_t>(k);
            out.branches.push_back({skeleton, number, Row(src), Col(src), Row(dst), Col(dst), b.steps.value(),
                                    std::sqrt(dr * dr + dc * dc), type, b.slabs});
        }
        if (longestPaths) LongestPaths(out);
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
        for (std::size_t n = 0; n < nodes_.size(); ++n)
            if (nodes_[n].kind != NodeKind::kRing) ++groupStart[static_cast<std::size_t>(skeleton_[n])];
        for (std::size_t k = 0; k < count; ++k) groupStart[k + 1] += groupStart[k];
        std::vector<std::int32_t> members(static_cast<std::size_t>(groupStart[count]));
        local_.assign(nodes_.size(), -1);
        {
            std::vector<std::int64_t> fill(groupStart.begin(), groupStart.end() - 1);
            for (std::size_t n = 0; n < nodes_.size(); ++n) {
                if (nodes_[n].kind == NodeKind::kRing) continue;
                const auto k = static_cast<std::size_t>(skeleton_[n] - 1);
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
            for (std::size_t i = 0; i < branches_.size(); ++i) {
                const Branch& b = branches_[i];
                if (b.notch || b.ring || b.nodeA == b.nodeB) continue;
                const auto place = static_cast<std::uint32_t>(i);
                edges_[static_cast<std::size_t>(fill[static_cast<std::size_t>(b.nodeA)]++)] = {b.nodeB, place};
                edges_[static_cast<std::size_t>(fill[static_cast<std::size_t>(b.nodeB)]++)] = {b.nodeA, place};
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
                out.skeletons[k].longest_shortest_path =
                    branches_[edges_[static_cast<std::size_t>(edgeStart_[n])].branch].steps.value();
                continue;
            }
            GroupGraph(group, size);
            out.skeletons[k].longest_shortest_path = (tree ? TreeDiameter(size) : Diameter(size)).value();
        }
    }

    // The state of one search; two may run at once over the same graph.
    struct Search {
        std::vector<Steps> dist;
        std::vector<std::uint8_t> state;  // 0 not reached, 1 queued, 2 settled
        HeapQueue heap;
        BucketQueue buckets;
        std::size_t farthest = 0;
        Steps Eccentricity() const { return dist[farthest]; }
    };

    // The group's own graph, by place in the group, each edge with its
    // length at hand.
    void GroupGraph(const std::int32_t* group, std::size_t size) {
        adjStart_.assign(size + 1, 0);
        for (std::size_t j = 0; j < size; ++j) {
            const auto n = static_cast<std::size_t>(group[j]);
            adjStart_[j + 1] = adjStart_[j] + (edgeStart_[n + 1] - edgeStart_[n]);
        }
        adj_.resize(static_cast<std::size_t>(adjStart_[size]));
        longestLink_ = 0;
        shortestLink_ = std::numeric_limits<double>::infinity();
        std::size_t at = 0;
        for (std::size_t j = 0; j < size; ++j) {
            const auto n = static_cast<std::size_t>(group[j]);
            for (std::int64_t e = edgeStart_[n]; e < edgeStart_[n + 1]; ++e) {
                const Edge& edge = edges_[static_cast<std::size_t>(e)];
                const Steps& steps = branches_[edge.branch].steps;
                adj_[at++] = {local_[static_cast<std::size_t>(edge.to)], steps};
                longestLink_ = std::max(longestLink_, steps.value());
                shortestLink_ = std::min(shortestLink_, steps.value());
            }
        }
    }

    void Prepare(Search& search, std::size_t size) const {
        search.dist.assign(size, Steps{});
        search.state.assign(size, 0);
        search.heap.Reset();
        if (Bucketed()) search.buckets.Reset(longestLink_);
    }

    // Whether the group's searches queue by buckets: each edge a step or
    // more (as every branch between two nodes is), and a ring not too large.
    bool Bucketed() const { return shortestLink_ >= 1 && BucketQueue::Buckets(longestLink_) <= kMostBuckets; }

    // Shortest distances from the group's node `source` to every node of
    // the group (by place) into search.dist, and the farthest of them.
    // Prepare first.
    void Dijkstra(Search& search, std::size_t source) const {
        if (Bucketed())
            Dijkstra(search, source, search.buckets);
        else
            Dijkstra(search, source, search.heap);
    }

    template <class Queue>
    void Dijkstra(Search& search, std::size_t source, Queue& queue) const {
        std::vector<Steps>& dist = search.dist;
        std::vector<std::uint8_t>& state = search.state;
        state[source] = 1;
        queue.push(0, static_cast<std::int32_t>(source));
        std::size_t farthest = source;
        while (!queue.empty()) {
            const auto at = static_cast<std::size_t>(queue.pop());
            if (state[at] == 2) continue;
            state[at] = 2;
            const Steps here = dist[at];  // the shortest of the entries queued for it
            if (Less(dist[farthest], here)) farthest = at;
            for (std::int64_t k = adjStart_[at]; k < adjStart_[at + 1]; ++k) {
                const Link& link = adj_[static_cast<std::size_t>(k)];
                const auto to = static_cast<std::size_t>(link.to);
                if (state[to] == 2) continue;
                const Steps d = here + link.steps;
                if (state[to] == 1 && !Less(d, dist[to])) continue;
                state[to] = 1;
                dist[to] = d;
                queue.push(d.value(), link.to);
            }
        }
        search.farthest = farthest;
    }

    // Searches from `sources` (one or two places), two at once on a second
    // thread when the group is large enough to repay it.
    void Searches(const std::size_t* sources, std::size_t count, std::size_t size) {
        for (std::size_t i = 0; i < count; ++i) Prepare(searches_[i], size);
        if (count == 2 && size >= kThreadedSearch && std::thread::hardware_concurrency() > 1) {
            std::exception_ptr failure;
            std::thread other;
            try {
                other = std::thread([&] {
                    try {
                        Dijkstra(searches_[1], sources[1]);
                    } catch (...) {
                        failure = std::current_exception();
                    }
                });
            } catch (const std::system_error&) {  // no thread to be had: one after the other
                Dijkstra(searches_[1], sources[1]);
            }
            try {
                Dijkstra(searches_[0], sources[0]);
            } catch (...) {
                if (other.joinable()) other.join();
                throw;
            }
            if (other.joinable()) other.join();
            if (failure) std::rethrow_exception(failure);
            return;
        }
        for (std::size_t i = 0; i < count; ++i) Dijkstra(searches_[i], sources[i]);
    }

    // In a tree the farthest node from any node is an end of a longest path.
    Steps TreeDiameter(std::size_t size) {
        std::size_t source = 0;
        Searches(&source, 1, size);
        source = searches_[0].farthest;
        Searches(&source, 1, size);
        return searches_[0].Eccentricity();
    }

    // The largest eccentricity, exactly, by bounds (Takes and Kosters,
    // "Determining the diameter of small world networks", 2011): each
    // search from a node v with eccentricity e bounds every node w's
    // eccentricity from below by max(d(v, w), e - d(v, w)) and from above
    // by e + d(v, w). After the first, searches go two at a time, from the
    // node with the largest upper bound and the one with the smallest lower
    // bound, until no node's upper bound exceeds the largest eccentricity
    // found.
    Steps Diameter(std::size_t size) {
        lower_.assign(size, Steps{});
        upper_.assign(size, Steps{});
        open_.assign(size, 1);
        Steps best;
        std::size_t sources[2] = {0, 0};  // the first search: from the group's first node
        std::size_t count = 1;
        for (bool first = true;; first = false) {
            Searches(sources, count, size);
            for (std::size_t i = 0; i < count; ++i) {
                open_[sources[i]] = 0;
                best = Longer(best, searches_[i].Eccentricity());
            }
            bool any = false;
            std::size_t pickUpper = 0, pickLower = 0;
            for (std::size_t j = 0; j < size; ++j) {
                if (!open_[j]) continue;
                for (std::size_t i = 0; i < count; ++i) {
                    const Steps ecc = searches_[i].Eccentricity();
                    const Steps d = searches_[i].dist[j];
                    lower_[j] = Longer(lower_[j], Longer(d, ecc - d));
                    const Steps up = ecc + d;
                    if ((first && i == 0) || Less(up, upper_[j])) upper_[j] = up;
                }
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
            sources[0] = pickUpper;
            sources[1] = pickLower;
            count = pickLower == pickUpper ? 1 : 2;
        }
    }


    std::int64_t width_;
    const std::vector<Node>& nodes_;
    const std::vector<Branch>& branches_;
    std::vector<std::int32_t> parent_;
    std::vector<std::int64_t> skeleton_;  // each node's, from 1
    std::vector<std::int64_t> skeletonFirst_;
    std::vector<std::int32_t> local_;
    std::vector<std::int64_t> edgeStart_;
    std::vector<Edge> edges_;
    std::vector<std::int64_t> adjStart_;
    std::vector<Link> adj_;
    double longestLink_ = 0, shortestLink_ = 0;
    Search searches_[2];
    std::vector<Steps> lower_, upper_;
    std::vector<std::uint8_t> open_;
};

}  // namespace

int SignOf(std::int64_t a, std::int64_t b) {
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

SkeletonMeasures TablesOf(std::int64_t width, const std::vector<Node>& nodes, const std::vector<Branch>& branches,
                          Numbering* numbering, bool longestPaths) {
    if (branches.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("skeleton measures: more than 2^32 branches");
    return Tables(width, nodes, branches).Run(numbering, longestPaths);
}

}  // namespace ops::skeleton_graph

