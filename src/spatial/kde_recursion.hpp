// The kernel density recursion over a spatial tree, private to kde.cpp.
//
// One recursion serves the three trees.  A tree takes part through a small
// adapter (see the KdeTree concept below) that exposes its flat pre-order node
// array (root 0; a node has both children or none, and covers the storage
// positions [start, end) of the tree's stored rows) and four per-node
// quantities for a given query:
//
//   lower_bound(node, q)   no point of the node is nearer to q than this
//   interval(node, q)      [lo, hi] holding the distance of every node point
//   span(node)             a size of the node, compared with MaxSpan
//   count(node)            number of points in the node
//
// kde_recursive(node) for one query q, bandwidth h, accumulator acc:
//
//   1. u = lower_bound / h.  Skip the node when even its best kernel value is
//      negligible: Gaussian exp(-0.5 u u) < 1e-10; Epanechnikov !(u < 1) or
//      0.75 (1 - u u) < 1e-10; Uniform !(u < 1); Triangular !(u < 1) or
//      1 - u < 1e-10.  (A NaN u is kept by the Gaussian test, skipped by the
//      others.)
//   2. Leaf: acc += K(distance(q, row p) / h) for p = start .. end-1, in that
//      order.  Leaves are never estimated.
//   3. Internal node that the criterion accepts (MinSamples: count >= m;
//      MaxSpan: span <= s; Combined: both): acc += (K(lo/h) + K(hi/h)) * 0.5 *
//      count, children not visited.  Otherwise recurse left, then right.
//
// The density of a query is therefore a sum in traversal order, fixed by the
// tree and the query alone: queries can be split over threads freely.
//
// How the sum is reached faster without changing a bit of it:
//
// - Leaves that follow one another in storage order join into runs, which
//   the kernel rows evaluate in whole vectors (LeafSum, RunList).
// - A node whose farthest point is surely kept is added whole (kept_below);
//   the pruning tests read distances (k-d boxes: reduced distances) against
//   cuts a hair either side of the Gaussian's, so the exact test only runs
//   between them (Pruning).
// - Exact Gaussian sums run four queries side by side, so that their chains
//   of additions overlap (gaussian_rows_interleaved), over a copy of the
//   points stored by coordinate (PointColumns).
// - On k-d trees, a subtree of a few dozen leaves is decided by its leaves'
//   boxes alone, in vector lanes: the pruning test is monotone in the bound
//   and a leaf's box lies inside its ancestors' boxes, so a leaf is kept by
//   the recursion exactly when its own box passes (LeafTable).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <concepts>
#include <cstddef>
#include <limits>
#include <algorithm>
#include <new>
#include <optional>
#include <type_traits>
#include <vector>

#include "base/cancel.hpp"
#include "base/parallel.hpp"
#include "ops/vmath.hpp"
#include "spatial/ball_tree.hpp"
#include "spatial/metrics.hpp"
#include "spatial/kd_tree.hpp"
#include "spatial/vp_tree.hpp"

namespace lumi {

namespace kde {

// Whether the criterion replaces an internal node of `count` points and this
// span by its estimate.
inline bool estimates(const ApproxCriterion& c, std::size_t count, double span) noexcept {
    using Tag = ApproxCriterion::Tag;
    switch (c.tag) {
        case Tag::None: return false;
        case Tag::MinSamples: return count >= c.min_samples;
        case Tag::MaxSpan: return span <= c.max_span;
        case Tag::Combined: return count >= c.min_samples && span <= c.max_span;
    }
    return false;
}

// The smallest argument t with std::exp(t) >= 1e-10, found once by walking
// the doubles across the crossing: within 4096 units in the last place of
// it the library's result is compared directly, and the walk checks that the
// comparison changes once there.  Beyond that window exp(t) is over 30000
// units in the last place away from 1e-10, more than any library's error, so
// the comparison with the threshold gives the library's answer.  If the walk
// finds the comparison changing more than once, NaN is returned and the
// library is asked every time.
inline double gaussian_cutoff() noexcept {
    static const double cutoff = [] {
        constexpr std::int64_t kReach = 4096;
        const auto mid = std::bit_cast<std::int64_t>(std::log(1e-10));  // negative: larger bits, smaller t
        double found = std::numeric_limits<double>::quiet_NaN();
        int changes = 0;
        bool below = true;  // exp(t) < 1e-10 at the smallest t of the walk
        for (std::int64_t k = kReach; k >= -kReach; --k) {  // increasing t
            const double t = std::bit_cast<double>(mid + k);
            const bool b = std::exp(t) < 1e-10;
            if (k == kReach && !b) return std::numeric_limits<double>::quiet_NaN();
            if (b != below) {
                ++changes;
                found = t;
                below = b;
            }
        }
        return changes == 1 && !below ? found : std::numeric_limits<double>::quiet_NaN();
    }();
    return cutoff;
}

// Kernel profiles with their pruning tests, as compile-time policies so the
// leaf loop carries no branch on the kernel.  A kernel value is
// finish(start(u)): start is plain arithmetic (vectorised across points),
// finish the Gaussian's exp (std::exp; at the leaves start and finish run as
// vmath::gaussian_rows, which gives the same bits).  kept_below(u) promises that
// negligible(v) is false for every 0 <= v <= u (with a wide margin, so bounds
// that are off by rounding still qualify).
struct Gaussian {
    static constexpr bool has_finish = true;
    static double start(double u) noexcept { return -0.5 * u * u; }
    static double value(double u) noexcept { return std::exp(start(u)); }
    static bool negligible(double u) noexcept {
        // exp(-18) > 1e-10 > exp(-24.5): decide the clear cases without exp.
        // NaN falls through to the exp test, which keeps it.
        const double s = u * u;
        if (s < 36.0) return false;
        if (s > 49.0) return true;
        const double t = start(u);
        const double cut = gaussian_cutoff();
        if (cut == cut) return t < cut;  // NaN t: kept, as by exp
        return std::exp(t) < 1e-10;
    }
    static bool kept_below(double u) noexcept { return u * u < 36.0; }
};

struct Epanechnikov {
    static constexpr bool has_finish = false;
    static double start(double u) noexcept { return u < 1.0 ? 0.75 * (1.0 - u * u) : 0.0; }
    static double value(double u) noexcept { return start(u); }
    static bool negligible(double u) noexcept { return !(u < 1.0) || 0.75 * (1.0 - u * u) < 1e-10; }
    static bool kept_below(double u) noexcept { return u < 0.99; }
};

struct Uniform {
    static constexpr bool has_finish = false;
    static double start(double u) noexcept { return u < 1.0 ? 0.5 : 0.0; }
    static double value(double u) noexcept { return start(u); }
    static bool negligible(double u) noexcept { return !(u < 1.0); }
    static bool kept_below(double u) noexcept { return u < 0.99; }
};

struct Triangular {
    static constexpr bool has_finish = false;
    static double start(double u) noexcept { return u < 1.0 ? 1.0 - u : 0.0; }
    static double value(double u) noexcept { return start(u); }
    static bool negligible(double u) noexcept { return !(u < 1.0) || 1.0 - u < 1e-10; }
    static bool kept_below(double u) noexcept { return u < 0.99; }
};

// What the recursion needs from a tree.
template <class T>
concept KdeTree = requires(const T& t, std::size_t node, const double* q) {
    { t.dim() } -> std::convertible_to<std::size_t>;
    { t.n_points() } -> std::convertible_to<std::size_t>;
    { t.stored_rows() } -> std::convertible_to<const double*>;
    { t.is_leaf(node) } -> std::convertible_to<bool>;
    { t.left(node) } -> std::convertible_to<std::size_t>;
    { t.right(node) } -> std::convertible_to<std::size_t>;
    { t.start(node) } -> std::convertible_to<std::size_t>;
    { t.end(node) } -> std::convertible_to<std::size_t>;
    { t.lower_bound(node, q) } -> std::convertible_to<double>;
    { t.bounds(node, q) } -> std::convertible_to<DensityBounds>;
    { t.template lower<false>(node, q) } -> std::convertible_to<double>;
    { t.template node_bounds<false>(node, q) } -> std::convertible_to<DensityBounds>;
    { t.interval(node, q) } -> std::convertible_to<Interval>;
    { t.span(node) } -> std::convertible_to<double>;
    { t.count(node) } -> std::convertible_to<std::size_t>;
};

// The leaves' points are summed through a pending range of storage
// positions: a leaf (or a whole subtree) that starts where the pending range
// ends extends it, anything else evaluates it first.  The kernel values are
// still added one at a time in storage order, so the sum is the one of the
// recursion, leaf after leaf; but neighbouring leaves (the common case, as
// the recursion walks the storage order) make one long run of points, with
// no partial vectors in between.
//
// The Gaussian runs through vmath::gaussian_rows_sum (distance, kernel and
// running sum in registers); the other kernels take their distances from
// vmath::row_distances, kBlock points at a time.  (Exact Gaussian sums take
// another road: gaussian_rows_interleaved below.)
inline constexpr std::size_t kBlock = 64;
// Points evaluated between two checks for a stop.
inline constexpr std::size_t kRun = 4096;

template <class M>
constexpr vmath::RowDistance row_distance_of() noexcept {
    if constexpr (M::id == DistanceMetric::Euclidean) return vmath::RowDistance::SumSquares;
    else if constexpr (M::id == DistanceMetric::Manhattan) return vmath::RowDistance::SumAbs;
    else return vmath::RowDistance::MaxAbs;
}

template <class M, class Kernel>
class LeafSum {
public:
    LeafSum(const double* rows, std::size_t n_rows, std::size_t dim, const double* q, double h) noexcept
        : rows_(rows), n_rows_(n_rows), dim_(dim), q_(q), h_(h) {}

    // The points at storage positions [start, end), after everything added so far.
    void add_points(std::size_t start, std::size_t end) {
        if (start != end_) {
            flush();
            begin_ = start;
        }
        end_ = end;
        if (end_ - begin_ >= kRun) flush();
    }
    // One value (a node's estimate), after everything added so far.
    void add_value(double v) {
        flush();
        acc_ += v;
    }
    double total() {
        flush();
        return acc_;
    }

private:
    void flush() {
        if (begin_ == end_) return;
        cancel_tick();
        constexpr vmath::RowDistance kind = row_distance_of<M>();
        double a = acc_;
        for (std::size_t b = begin_; b < end_;) {
            const std::size_t m = std::min(end_ - b, Kernel::has_finish ? kRun : kBlock);
            const double* x = rows_ + b * dim_;
            if constexpr (Kernel::has_finish) {
                a = vmath::gaussian_rows_sum(x, dim_, m, n_rows_ - b, q_, kind, h_, a);
            } else {
                alignas(64) double buf[kBlock];
                vmath::row_distances(x, dim_, m, n_rows_ - b, q_, kind, buf);
                for (std::size_t j = 0; j < m; ++j) a += Kernel::start(M::from_rdist(buf[j]) / h_);
            }
            b += m;
            if (b < end_) cancel_tick();
        }
        acc_ = a;
        begin_ = end_;
    }

    const double* rows_;
    std::size_t n_rows_, dim_;
    const double* q_;
    double h_;
    std::size_t begin_ = 0, end_ = 0;
    double acc_ = 0.0;
};

// The pruning tests on distances rather than on u = distance / h, and on the
// reduced distances of trees that give them.  For the Gaussian a distance at
// most 6.78 h keeps a node, one above 6.80 h drops it, whatever the rounding
// of the division and the square (the cut is at u = 6.78614 or so); only
// bounds between are tested through u (see Gaussian).  These bounds are only
// used for a normal-range h, where 6.78 h and its kin are within an ulp or
// two of their true values, and their squares too.
//
// kept_below(d): whether no node whose bound is at most d can be dropped.
// From a distance (any tree) it keeps the kernel's wide margin, since a
// child's bound may exceed its parent's upper bound by rounding.  From a
// reduced k-d box distance it is the keep test itself: a box below is never
// farther, not even by rounding (see reduced_bounds in TreeView).
template <class Kernel, class M>
struct Pruning {
    double h;
    bool fast = false;
    double keep_below = 0.0, drop_above = 0.0, whole_below = 0.0, whole_above = 0.0;
    double keep_below_r = 0.0, drop_above_r = 0.0;
    // Whether negligible_r is monotone (false below some bound, true above):
    // the fast cuts, and between them the comparison with the cutoff (not
    // the library's exp asked each time, which promises no such thing).
    bool monotone = false;

    // shortcuts false: every test asks the kernel (the reference route).
    explicit Pruning(double bandwidth, bool shortcuts = true) noexcept : h(bandwidth) {
        if constexpr (std::is_same_v<Kernel, Gaussian>) {
            fast = shortcuts && h > 1e-150 && h < 1e150;
            monotone = fast && gaussian_cutoff() == gaussian_cutoff();
            if (fast) {
                keep_below = 6.78 * h;
                drop_above = 6.80 * h;
                whole_below = 5.99 * h;
                whole_above = 6.01 * h;
                keep_below_r = M::rdist_within(keep_below);
                drop_above_r = M::rdist_within(drop_above);
            }
        }
    }
    // Kernel::negligible(d / h)
    bool negligible(double d) const noexcept {
        if (fast) {
            if (d >= 0.0 && d <= keep_below) return false;
            if (d > drop_above) return true;
        }
        return Kernel::negligible(d / h);
    }
    // Kernel::kept_below(d / h)
    bool kept_below(double d) const noexcept {
        if (fast) {
            if (d >= 0.0 && d <= whole_below) return true;
            if (d >= whole_above) return false;
        }
        return Kernel::kept_below(d / h);
    }
    // negligible(M::from_rdist(r))
    bool negligible_r(double r) const noexcept {
        if (fast) {
            if (r >= 0.0 && r <= keep_below_r) return false;
            if (r > drop_above_r) return true;
        }
        return Kernel::negligible(M::from_rdist(r) / h);
    }
    // Whether no box inside one whose farthest reduced distance is r is
    // dropped by negligible_r.
    bool kept_below_r(double r) const noexcept {
        if (fast) return r >= 0.0 && r <= keep_below_r;
        return Kernel::kept_below(M::from_rdist(r) / h);
    }
    // The tests of a bound read as a reduced distance or as a distance.
    template <bool Reduced>
    bool drops(double b) const noexcept {
        return Reduced ? negligible_r(b) : negligible(b);
    }
    template <bool Reduced>
    bool keeps_all(double b) const noexcept {
        return Reduced ? kept_below_r(b) : kept_below(b);
    }
};

// The leaves of a k-d tree in storage order (leaf k holds the positions
// [start[k], start[k + 1])), their boxes by coordinate (lo[i * stride + k],
// so that vmath::box_distances reads whole vectors), and for every node the
// leaves below it, [first[node], last[node]).
struct LeafTable {
    std::size_t n_leaves = 0, stride = 0, dim = 0;
    std::vector<double> lo, hi;
    std::vector<std::size_t> start;
    std::vector<std::uint8_t> has_nan;
    std::vector<std::uint32_t> first, last;

    template <class Kind>
    explicit LeafTable(const SpatialTree<Kind>& tree) : dim(tree.dim()) {
        const std::size_t n_nodes = tree.nodes().size();
        std::vector<std::uint32_t> index(n_nodes);
        for (std::size_t id = 0; id < n_nodes; ++id)
            if (tree.node(id).leaf()) index[id] = static_cast<std::uint32_t>(n_leaves++);
        stride = (n_leaves + 7) / 8 * 8;
        lo.assign(dim * stride, 0.0);
        hi.assign(dim * stride, 0.0);
        start.assign(n_leaves + 1, tree.n_points());
        has_nan.assign(stride, 0);
        first.resize(n_nodes);
        last.resize(n_nodes);
        for (std::size_t id = n_nodes; id-- > 0;) {
            const auto& nd = tree.node(id);
            if (nd.leaf()) {
                const std::uint32_t k = index[id];
                for (std::size_t i = 0; i < dim; ++i) {
                    lo[i * stride + k] = Kind::min_bounds(tree, id)[i];
                    hi[i * stride + k] = Kind::max_bounds(tree, id)[i];
                }
                start[k] = nd.start;
                has_nan[k] = nd.has_nan;
                first[id] = k;
                last[id] = k + 1;
            } else {
                first[id] = first[id + 1];
                last[id] = last[nd.right];
            }
        }
    }
};

// Subtrees of at most this many leaves are searched by their leaves' boxes
// alone, in vector lanes, instead of node by node.
inline constexpr std::size_t kScanLeaves = 64;

// What the recursion needs to scan leaves: the table and room for one
// distance per leaf.
struct LeafScan {
    const LeafTable* table = nullptr;
    double* dist = nullptr;
};

template <bool Approx, class M, class Kernel, KdeTree Tree, class Sum>
void kde_recursive(const Tree& t, std::size_t node, const double* q, Sum& sum,
                   const Pruning<Kernel, M>& pr, const ApproxCriterion& crit, const LeafScan& scan = {}) {
    const double h = pr.h;
    // Exact sums over k-d trees read the box bounds as reduced distances.
    constexpr bool kReduced = !Approx && Tree::kReducedBounds;
    for (;;) {
        if (t.is_leaf(node)) {
            if (pr.template drops<kReduced>(t.template lower<kReduced>(node, q))) return;
            sum.add_points(t.start(node), t.end(node));
            return;
        }
        const DensityBounds bd = t.template node_bounds<kReduced>(node, q);
        if (pr.template drops<kReduced>(bd.lower)) return;
        if constexpr (Approx) {
            const std::size_t count = t.count(node);
            if (estimates(crit, count, t.span(node))) {
                const Interval iv = t.interval(node, q);
                sum.add_value((Kernel::value(iv.lo / h) + Kernel::value(iv.hi / h)) * 0.5 *
                              static_cast<double>(count));
                return;
            }
        } else if (!Tree::kPlain && h > 0.0 && pr.template keeps_all<kReduced>(bd.upper)) {
            // No node below can be pruned, and the leaves below, left to
            // right, cover [start, end) in order: the same sum, without the
            // visits.
            sum.add_points(t.start(node), t.end(node));
            return;
        }
        if constexpr (kReduced) {
            if (scan.table && scan.table->last[node] - scan.table->first[node] <= kScanLeaves) {
                // A leaf's box lies inside every box above it, so its
                // distance is at least theirs: with a monotone test, a leaf
                // that is kept has no dropped node above it, and the leaves
                // kept are those whose own box passes.  They are added in
                // storage order, as the recursion would.
                const LeafTable& lt = *scan.table;
                const std::size_t k0 = lt.first[node], k1 = lt.last[node];
                vmath::box_distances(lt.lo.data(), lt.hi.data(), lt.stride, k0, k1, lt.dim, q, row_distance_of<M>(),
                                     scan.dist);
                for (std::size_t k = k0; k < k1; ++k) {
                    double r = scan.dist[k];
                    if (M::id == DistanceMetric::Chebyshev && lt.has_nan[k]) r = 0.0;  // as lower_rdist
                    if (!pr.negligible_r(r)) sum.add_points(lt.start[k], lt.start[k + 1]);
                }
                return;
            }
        }
        kde_recursive<Approx, M, Kernel>(t, t.left(node), q, sum, pr, crit, scan);
        node = t.right(node);  // the right child last: a loop instead of a call
    }
}

// Query rows per pool chunk: enough points per chunk that a chunk is worth
// handing to another thread.
inline std::size_t density_grain(std::size_t n_points) noexcept {
    constexpr std::size_t kWork = std::size_t{1} << 15;
    return n_points >= kWork ? 1 : kWork / (n_points + 1);
}

// A query's kept points as runs of storage positions, in the order the
// recursion adds them (neighbouring runs joined).
struct Run {
    std::size_t start, end;
};

class RunList {
public:
    explicit RunList(std::vector<Run>& runs) noexcept : runs_(runs) { runs_.clear(); }
    // Called for every kept leaf: the common case (joining the last run)
    // stays inline.
    [[gnu::always_inline]] void add_points(std::size_t start, std::size_t end) {
        if (!runs_.empty() && runs_.back().end == start) runs_.back().end = end;
        else runs_.push_back({start, end});
    }

private:
    std::vector<Run>& runs_;
};

// The tree's points stored by coordinate (coordinate i of position p at
// cols[i * stride + p]), so that the kernel rows read each coordinate as
// plain vectors; the stride leaves room for the last vectors' lanes.
// Empty when the copy is not worth making (few queries) or cannot be made.
struct PointColumns {
    std::vector<double> store;
    const double* cols = nullptr;
    std::size_t stride = 0;

    PointColumns() = default;
    PointColumns(const double* rows, std::size_t n, std::size_t dim) {
        stride = (n + 7) / 8 * 8 + 8;
        try {
            store.assign(dim * stride, 0.0);
        } catch (const std::bad_alloc&) {
            return;  // the rows themselves serve
        }
        for (std::size_t p = 0; p < n; ++p) {
            if ((p & 0xffff) == 0) cancel_tick();
            for (std::size_t i = 0; i < dim; ++i) store[i * stride + p] = rows[p * dim + i];
        }
        cols = store.data();
    }
};

// Exact Gaussian densities of the query rows [begin, end), kLanes queries at
// a time.  One query's sum is a chain of dependent additions, each waiting
// for the one before; kLanes queries' chains advance side by side instead,
// so the additions overlap while each query still adds its own values one at
// a time, in its own order.  A lane lists its query's runs, turns them into
// kernel values kBuf at a time (vmath::gaussian_rows), which the lanes add in
// step; a lane whose query is done takes the next.
template <class M, KdeTree Tree>
void gaussian_rows_interleaved(const Tree& t, const double* queries, std::size_t begin, std::size_t end,
                               const Pruning<Gaussian, M>& pr, const ApproxCriterion& crit, double* out,
                               const std::size_t* scatter, const LeafTable* table, const PointColumns& points) {
    constexpr std::size_t kLanes = 4, kBuf = 512;
    constexpr vmath::RowDistance kind = row_distance_of<M>();
    struct Lane {
        std::vector<Run> runs;
        std::size_t run = 0, pos = 0;  // the next point: position pos of runs[run]
        std::size_t row = 0;           // the query row
        const double* q = nullptr;
        double acc = 0.0;
        bool live = false;
        std::size_t len = 0, at = 0;   // values in buf, and how many are added
        alignas(64) double buf[kBuf];
    };
    static constexpr double kZeros[kBuf] = {};
    const std::size_t dim = t.dim(), n_rows = t.n_points();
    const double* rows = t.stored_rows();
    const double h = pr.h;
    Lane lanes[kLanes];
    std::size_t next = begin;
    std::vector<double> dist(table ? table->stride : 0);
    const LeafScan scan{table, dist.data()};

    auto fill = [&](Lane& l) {
        cancel_tick();
        l.len = l.at = 0;
        while (l.len < kBuf && l.run < l.runs.size()) {
            const std::size_t m = std::min(kBuf - l.len, l.runs[l.run].end - l.pos);
            if (points.cols)
                vmath::gaussian_cols(points.cols + l.pos, points.stride, dim, m, l.q, kind, h, l.buf + l.len);
            else
                vmath::gaussian_rows(rows + l.pos * dim, dim, m, n_rows - l.pos, l.q, kind, h, l.buf + l.len);
            l.len += m;
            l.pos += m;
            if (l.pos == l.runs[l.run].end && ++l.run < l.runs.size()) l.pos = l.runs[l.run].start;
        }
    };
    // The next query with points to add into lane l; false when none is left.
    auto take = [&](Lane& l) {
        while (next < end) {
            cancel_tick();
            l.row = next++;
            l.q = queries + l.row * dim;
            RunList list(l.runs);
            kde_recursive<false, M, Gaussian>(t.for_query(l.q), 0, l.q, list, pr, crit, scan);
            l.run = 0;
            l.pos = l.runs.empty() ? 0 : l.runs[0].start;
            l.acc = 0.0;
            fill(l);
            if (l.len > 0) return true;
            out[scatter ? scatter[l.row] : l.row] = 0.0;
        }
        return false;
    };

    bool any = false;
    for (Lane& l : lanes) any |= (l.live = take(l));
    while (any) {
        std::size_t k = kBuf;
        const double* p[kLanes];
        for (std::size_t j = 0; j < kLanes; ++j) {
            const Lane& l = lanes[j];
            p[j] = l.live ? l.buf + l.at : kZeros;
            if (l.live) k = std::min(k, l.len - l.at);
        }
        double a0 = lanes[0].acc, a1 = lanes[1].acc, a2 = lanes[2].acc, a3 = lanes[3].acc;
        for (std::size_t i = 0; i < k; ++i) {
            a0 += p[0][i];
            a1 += p[1][i];
            a2 += p[2][i];
            a3 += p[3][i];
        }
        lanes[0].acc = a0;
        lanes[1].acc = a1;
        lanes[2].acc = a2;
        lanes[3].acc = a3;
        any = false;
        for (Lane& l : lanes) {
            if (!l.live) continue;
            l.at += k;
            if (l.at == l.len) {
                fill(l);
                if (l.len == 0) {
                    out[scatter ? scatter[l.row] : l.row] = l.acc;
                    l.live = take(l);
                }
            }
            any |= l.live;
        }
    }
}

// Densities of `n_queries` rows of `dim` values at `queries`, written to
// out[i] (or out[scatter[i]] when scatter is given).  Query rows are split
// over the worker pool for large jobs; every row's sum is the same whatever
// the split.
template <bool Approx, class M, class Kernel, KdeTree Tree>
void density_rows(const Tree& t, const double* queries, std::size_t n_queries, double h,
                  const ApproxCriterion& crit, double* out, const std::size_t* scatter) {
    const std::size_t dim = t.dim();
    const Pruning<Kernel, M> pr(h);
    if constexpr (!Approx && std::is_same_v<Kernel, Gaussian>) {
        std::optional<LeafTable> table;
        if constexpr (Tree::kReducedBounds) {
            if (pr.monotone && n_queries > 1 && t.tree.nodes().size() < (std::size_t{1} << 32)) {
                try {
                    table.emplace(t.tree);
                } catch (const std::bad_alloc&) {
                    table.reset();  // the walk alone gives the same sums
                }
            }
        }
        // The copy costs about as much as evaluating every point once.
        const PointColumns points = n_queries >= 32 ? PointColumns(t.stored_rows(), t.n_points(), dim) : PointColumns();
        parallel_for(n_queries, std::max<std::size_t>(density_grain(t.n_points()), 8),
                     [&](std::size_t begin, std::size_t end) {
                         gaussian_rows_interleaved<M>(t, queries, begin, end, pr, crit, out, scatter,
                                                      table ? &*table : nullptr, points);
                     });
    } else {
        parallel_for(n_queries, density_grain(t.n_points()), [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const double* q = queries + i * dim;
                LeafSum<M, Kernel> sum(t.stored_rows(), t.n_points(), dim, q, h);
                kde_recursive<Approx, M, Kernel>(t.for_query(q), 0, q, sum, pr, crit);
                out[scatter ? scatter[i] : i] = sum.total();
            }
        });
    }
}

// The reference route's sum of a leaf's points: each kernel value from the
// scalar distance, added one at a time in storage order.
template <class M, class Kernel>
class PlainSum {
public:
    PlainSum(const double* rows, std::size_t dim, const double* q, double h) noexcept
        : rows_(rows), dim_(dim), q_(q), h_(h) {}
    void add_points(std::size_t start, std::size_t end) {
        cancel_tick();
        for (std::size_t p = start; p < end; ++p) {
            acc_ += Kernel::value(M::from_rdist(M::rdist(q_, rows_ + p * dim_, dim_)) / h_);
        }
    }
    void add_value(double v) noexcept { acc_ += v; }
    double total() const noexcept { return acc_; }

private:
    const double* rows_;
    std::size_t dim_;
    const double* q_;
    double h_;
    double acc_ = 0.0;
};

// density_rows on the reference route: one query after another, on this
// thread.
template <bool Approx, class M, class Kernel, KdeTree Tree>
void plain_density_rows(const Tree& t, const double* queries, std::size_t n_queries, double h,
                        const ApproxCriterion& crit, double* out, const std::size_t* scatter) {
    const Pruning<Kernel, M> pr(h, false);
    for (std::size_t i = 0; i < n_queries; ++i) {
        const double* q = queries + i * t.dim();
        PlainSum<M, Kernel> sum(t.stored_rows(), t.dim(), q, h);
        kde_recursive<Approx, M, Kernel>(t.for_query(q), 0, q, sum, pr, crit);
        out[scatter ? scatter[i] : i] = sum.total();
    }
}

// The recursion's view of a tree under its metric policy M: the engine's
// nodes and the kind's node quantities.  `partial` is set per query (see the
// kinds' partial_query).
// Plain: the reference route's view, which takes none of the shortcuts
// (reduced bounds, whole nodes added without their bounds).
template <class Kind, class M, bool Plain = false>
struct TreeView {
    const SpatialTree<Kind>& tree;
    bool partial = false;
    static constexpr bool kPlain = Plain;
    // Whether the k-d box bounds are read as reduced distances (reduced_bounds).
    static constexpr bool kReducedBounds = !Plain && kind_has_boxes<Kind>();

    std::size_t dim() const noexcept { return tree.dim(); }
    std::size_t n_points() const noexcept { return tree.n_points(); }
    const double* stored_rows() const noexcept { return tree.points(); }
    bool is_leaf(std::size_t node) const noexcept { return tree.node(node).leaf(); }
    std::size_t left(std::size_t node) const noexcept { return node + 1; }
    std::size_t right(std::size_t node) const noexcept { return tree.node(node).right; }
    std::size_t start(std::size_t node) const noexcept { return tree.node(node).start; }
    std::size_t end(std::size_t node) const noexcept { return tree.node(node).end; }
    double lower_bound(std::size_t node, const double* q) const noexcept {
        return Kind::template density_lower<M>(tree, node, q, partial);
    }
    // The pruning bound and an upper bound from one distance computation.
    DensityBounds bounds(std::size_t node, const double* q) const noexcept {
        return Kind::template density_bounds<M>(tree, node, q, partial);
    }
    // The k-d box's nearest and farthest reduced distances (the values of
    // Kind::lower_rdist and box_far_rdist, before from_rdist; bounds()
    // gives them as distances).  The box of a node below is inside this one,
    // and every step of both distances is monotone under rounding, so its
    // nearest reduced distance is never above this upper one.
    double reduced_lower(std::size_t node, const double* q) const noexcept
        requires kReducedBounds
    {
        if (M::id == DistanceMetric::Chebyshev && tree.node(node).has_nan) return 0.0;
        const double* lo = Kind::min_bounds(tree, node);
        const double* hi = Kind::max_bounds(tree, node);
        double acc = 0.0;
        for (std::size_t i = 0; i < fixed_dim<M>(tree.dim()); ++i) acc = M::add(acc, gap(q[i], lo[i], hi[i]));
        return acc;
    }
    DensityBounds reduced_bounds(std::size_t node, const double* q) const noexcept
        requires kReducedBounds
    {
        const double* lo = Kind::min_bounds(tree, node);
        const double* hi = Kind::max_bounds(tree, node);
        double near = 0.0, far = 0.0;
        for (std::size_t i = 0; i < fixed_dim<M>(tree.dim()); ++i) {
            near = M::add(near, gap(q[i], lo[i], hi[i]));
            // the farther face (an exact tie takes hi)
            const double to_lo = q[i] - lo[i], to_hi = q[i] - hi[i];
            far = M::add(far, std::fabs(to_hi) < std::fabs(to_lo) ? to_lo : to_hi);
        }
        if (M::id == DistanceMetric::Chebyshev && tree.node(node).has_nan) near = 0.0;
        return {near, far};
    }
    // The bounds as reduced distances or as distances.
    template <bool Reduced>
    double lower(std::size_t node, const double* q) const noexcept {
        if constexpr (Reduced) return reduced_lower(node, q);
        else return lower_bound(node, q);
    }
    template <bool Reduced>
    DensityBounds node_bounds(std::size_t node, const double* q) const noexcept {
        if constexpr (Reduced) return reduced_bounds(node, q);
        else return bounds(node, q);
    }
    // box_gap(q, lo, hi) as selects rather than branches: whether the query
    // lies below, inside or above a box's side is hard to predict.
    static double gap(double q, double lo, double hi) noexcept {
        const double above = q > hi ? q - hi : 0.0;
        return q < lo ? lo - q : above;
    }
    Interval interval(std::size_t node, const double* q) const { return Kind::template interval<M>(tree, node, q); }
    double span(std::size_t node) const noexcept { return Kind::span(tree, node); }
    std::size_t count(std::size_t node) const noexcept { return tree.count(node); }
    // The view for one query.
    TreeView for_query(const double* q) const noexcept { return {tree, Kind::template partial_query<M>(tree, q)}; }
};

}  // namespace kde

}  // namespace lumi
