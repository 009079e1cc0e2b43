// The checks of a loaded tree's nodes against the points they hold (see
// serialize.hpp): every field a build derives from the points is worked out
// again from them and must agree, so that the searches' bounds hold and the
// tree answers as the one that was saved.
//
// Each node is checked on its own, on the pool: a k-d box against its
// children's boxes (whose own checks reach down to the points), a ball or a
// vantage node against every point of its range.  A failure names the first
// bad node in node order, whatever the thread count.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "base/error.hpp"
#include "base/parallel.hpp"
#include "spatial/ball_tree.hpp"
#include "spatial/kd_tree.hpp"
#include "spatial/serialize.hpp"
#include "spatial/vp_tree.hpp"

namespace lumi {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Per-thread scratch of a node check.
struct Scratch {
    std::vector<double> values;
    std::vector<std::size_t> nodes;
};

// Runs check(id, scratch) over every node; it returns null for a sound
// node, else what is wrong with it.  Nodes cost from one point (a leaf) to
// all of them (the root): small chunks keep the threads evenly loaded.
template <class F>
void check_every_node(std::size_t n_nodes, std::size_t dim, F&& check) {
    std::atomic<std::size_t> first{n_nodes};
    parallel_for(n_nodes, 16, [&](std::size_t begin, std::size_t end) {
        Scratch scratch{std::vector<double>(8 * dim), {}};
        for (std::size_t i = begin; i < end; ++i) {
            if (i >= first.load(std::memory_order_relaxed)) return;
            if (check(i, scratch)) {
                std::size_t seen = first.load(std::memory_order_relaxed);
                while (i < seen && !first.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
                }
                return;
            }
        }
    });
    const std::size_t bad = first.load();
    if (bad == n_nodes) return;
    Scratch scratch{std::vector<double>(8 * dim), {}};
    throw Error("node " + std::to_string(bad) + " " + check(bad, scratch));
}

// What every kind shares: a node splits exactly when a build would split
// it, and where a build puts the split.
template <class Kind>
const char* check_shape(const SpatialTree<Kind>& t, std::size_t id) {
    const auto& nd = t.node(id);
    const std::size_t count = nd.end - nd.start;
    const std::size_t leaf = std::max<std::size_t>(t.leaf_size(), 1);
    const bool splits = count > leaf && !(Kind::kNoCoordinatesOneLeaf && t.dim() == 0);
    if (splits == nd.leaf()) return splits ? "is a leaf but holds more points than the leaf size" : "splits a leaf";
    if (!nd.leaf() && t.node(id + 1).end - nd.start != Kind::left_count(count)) {
        return "is not split where a build splits it";
    }
    return nullptr;
}

bool same(double a, double b) noexcept { return a == b || (a != a && b != b); }

}  // namespace

// k-d: a leaf's box is the box of its points, an internal node's the union
// of its children's; the flag says whether any coordinate below is NaN; the
// split coordinate is the one of largest spread, and the split value is the
// smallest value of the right child there, no left value being larger and no
// value there NaN.
template <>
void check_node_bounds(const SpatialTree<KDTreeKind>& t) {
    const std::size_t dim = t.dim();
    check_every_node(t.nodes().size(), dim, [&](std::size_t id, Scratch& scratch) -> const char* {
        if (const char* bad = check_shape(t, id)) return bad;
        const KDTreeKind::Node& nd = t.node(id);
        double* lo = scratch.values.data();
        double* hi = lo + dim;
        bool has_nan = false;
        if (nd.leaf()) {
            has_nan = bounding_box(t.row(nd.start), nd.end - nd.start, dim, lo, hi);
        } else {
            const std::size_t l = id + 1, r = nd.right;
            const double* llo = KDTreeKind::min_bounds(t, l);
            const double* rlo = KDTreeKind::min_bounds(t, r);
            const double* lhi = KDTreeKind::max_bounds(t, l);
            const double* rhi = KDTreeKind::max_bounds(t, r);
            for (std::size_t i = 0; i < dim; ++i) {
                lo[i] = std::min(llo[i], rlo[i]);
                hi[i] = std::max(lhi[i], rhi[i]);
            }
            has_nan = t.node(l).has_nan || t.node(r).has_nan;
        }
        const double* slo = KDTreeKind::min_bounds(t, id);
        const double* shi = KDTreeKind::max_bounds(t, id);
        std::size_t split_dim = 0;
        double best = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
            if (!(slo[i] == lo[i]) || !(shi[i] == hi[i])) return "has a box that is not the box of its points";
            if (hi[i] - lo[i] > best) {
                best = hi[i] - lo[i];
                split_dim = i;
            }
        }
        if (nd.has_nan != has_nan) return "says wrongly whether its points hold NaN";
        if (nd.split_dim != split_dim) return "does not split on the coordinate of largest spread";
        if (nd.leaf()) {
            if (std::bit_cast<std::uint64_t>(nd.split_value) != 0) return "is a leaf with a split value";
            return nullptr;
        }
        const double sv = nd.split_value;
        if (!(KDTreeKind::min_bounds(t, nd.right)[split_dim] == sv) || !(KDTreeKind::max_bounds(t, id + 1)[split_dim] <= sv)) {
            return "has a split value that does not split its points";
        }
        if (has_nan) {
            for (std::size_t p = nd.start; p < nd.end; ++p) {
                if (t.row(p)[split_dim] != t.row(p)[split_dim]) return "splits on a coordinate that is NaN";
            }
        }
        return nullptr;
    });
}

// Ball: the radius is the largest distance from the centroid to a point of
// the node (NaN distances aside), exactly; the centroid is the mean of the
// points to within the rounding of their sum (which a build sums in an
// order the later splits no longer show), and NaN or infinite exactly where
// the mean is in any order; an internal node splits at the median of its
// coordinate of largest spread, where no value is NaN.
//
// A leaf is checked against its points.  An internal node's centroid is
// checked against its children's (weighted by their counts), and its radius
// by a descent that skips every subtree whose box lies strictly inside the
// node's ball: no point there can be the farthest, so only the points near
// the rim are measured.  Per node and coordinate the magnitudes, the kinds of
// non-finite values and the box are gathered from the points up first.
template <>
void check_node_bounds(const SpatialTree<BallTreeKind>& t) {
    const std::size_t dim = t.dim();
    const std::size_t n_nodes = t.nodes().size();
    enum : unsigned char { kNan = 1, kPosInf = 2, kNegInf = 4 };
    std::vector<double> mags(n_nodes * dim, 0.0), lo(n_nodes * dim, kInf), hi(n_nodes * dim, -kInf);
    std::vector<unsigned char> seen(n_nodes * dim, 0);
    parallel_for(n_nodes, 16, [&](std::size_t begin, std::size_t end) {
        for (std::size_t id = begin; id < end; ++id) {
            const BallTreeKind::Node& nd = t.node(id);
            if (!nd.leaf()) continue;
            const std::size_t at = id * dim;
            for (std::size_t p = nd.start; p < nd.end; ++p) {
                const double* x = t.row(p);
                for (std::size_t i = 0; i < dim; ++i) {
                    const double v = x[i];
                    mags[at + i] += std::fabs(v);
                    if (!std::isfinite(v)) seen[at + i] |= v != v ? kNan : v > 0 ? kPosInf : kNegInf;
                    lo[at + i] = v < lo[at + i] ? v : lo[at + i];
                    hi[at + i] = v > hi[at + i] ? v : hi[at + i];
                }
            }
        }
    });
    for (std::size_t id = n_nodes; id-- > 0;) {
        const BallTreeKind::Node& nd = t.node(id);
        if (nd.leaf()) continue;
        const std::size_t at = id * dim, l = (id + 1) * dim, r = nd.right * dim;
        for (std::size_t i = 0; i < dim; ++i) {
            mags[at + i] = mags[l + i] + mags[r + i];
            seen[at + i] = seen[l + i] | seen[r + i];
            lo[at + i] = std::min(lo[l + i], lo[r + i]);
            hi[at + i] = std::max(hi[l + i], hi[r + i]);
        }
    }
    with_metric(t.metric(), [&](auto m) {
        using M = decltype(m);
        check_every_node(n_nodes, dim, [&](std::size_t id, Scratch& scratch) -> const char* {
            if (const char* bad = check_shape(t, id)) return bad;
            const BallTreeKind::Node& nd = t.node(id);
            const double* c = t.values(id);
            const double n = static_cast<double>(nd.end - nd.start);
            double* sums = scratch.values.data();
            std::fill(sums, sums + dim, 0.0);
            // The largest reduced distance: from_rdist is monotone, so its
            // value there is the largest distance.
            double rmax = 0.0;
            const auto measure = [&](const BallTreeKind::Node& leaf, bool sum) {
                for (std::size_t p = leaf.start; p < leaf.end; ++p) {
                    const double* x = t.row(p);
                    if (sum) {
                        for (std::size_t i = 0; i < dim; ++i) sums[i] += x[i];
                    }
                    const double r = M::rdist(x, c, dim);
                    if (r > rmax) rmax = r;
                }
            };
            if (nd.leaf()) {
                measure(nd, true);
            } else {
                std::vector<std::size_t>& stack = scratch.nodes;
                stack.assign({nd.right, id + 1});
                while (!stack.empty()) {
                    const std::size_t b = stack.back();
                    stack.pop_back();
                    const BallTreeKind::Node& nb = t.node(b);
                    // The box's farthest corner bounds every point's
                    // computed distance: each rounded step is monotone.
                    const double far = box_far_rdist<M>(c, &lo[b * dim], &hi[b * dim], dim);
                    if (M::from_rdist(far) < nd.radius) continue;
                    if (nb.leaf()) {
                        measure(nb, false);
                    } else {
                        stack.push_back(nb.right);
                        stack.push_back(b + 1);
                    }
                }
                // The children's centroids weighted by their counts.
                const double nl = static_cast<double>(t.count(id + 1));
                const double nr = static_cast<double>(t.count(nd.right));
                const double* cl = t.values(id + 1);
                const double* cr = t.values(nd.right);
                for (std::size_t i = 0; i < dim; ++i) sums[i] = nl * cl[i] + nr * cr[i];
            }
            if (!(M::from_rdist(rmax) == nd.radius)) return "has a radius that is not the distance to its farthest point";
            for (std::size_t i = 0; i < dim; ++i) {
                const double mean = sums[i] / n;
                const unsigned char flags = seen[id * dim + i];
                const double mag = mags[id * dim + i];
                bool ok = true;
                if (n == 0.0 || (flags & kNan) || (flags & (kPosInf | kNegInf)) == (kPosInf | kNegInf)) {
                    ok = c[i] != c[i];  // 0 / 0, a NaN, or infinities of both signs
                } else if (flags) {
                    ok = c[i] == (flags & kPosInf ? kInf : -kInf);  // one infinity: the sum is it in any order
                } else if (mag <= DBL_MAX && std::isfinite(mean)) {
                    // Two sums of the same terms in different orders differ
                    // by at most 2 (n - 1) u sum|x|; the children's centroids
                    // carry the same error as the node's own and their
                    // weighted sum a few roundings more.  (A sum that
                    // overflows depends on its order: the radius check alone
                    // holds there.)
                    const double tol = 2.5 * 0x1p-53 * mag + 8.0 * 0x1p-53 * (mag / n + std::fabs(mean));
                    ok = std::fabs(c[i] - mean) <= tol;
                }
                if (!ok) return "has a centroid that is not the mean of its points";
            }
            if (nd.leaf()) return nullptr;
            const std::size_t l = (id + 1) * dim, r = nd.right * dim;
            std::size_t split_dim = 0;
            double best = 0.0;
            for (std::size_t i = 0; i < dim; ++i) {
                const double spread = hi[id * dim + i] - lo[id * dim + i];
                if (spread > best) {
                    best = spread;
                    split_dim = i;
                }
            }
            if (seen[id * dim + split_dim] & kNan) return "splits on a coordinate that is NaN";
            if (!(hi[l + split_dim] <= lo[r + split_dim])) return "is not split at the median of its widest coordinate";
            return nullptr;
        });
    });
}

// Vantage point: the other points of the node lie between the smallest and
// the largest distance from the vantage point, the inside half (which holds
// the vantage point) no farther than the outside half, and the threshold
// is the median distance a build takes; the flag says whether Chebyshev
// distances skip a NaN coordinate there.
template <>
void check_node_bounds(const SpatialTree<VPTreeKind>& t) {
    const std::size_t dim = t.dim();
    with_metric(t.metric(), [&](auto m) {
        using M = decltype(m);
        check_every_node(t.nodes().size(), dim, [&](std::size_t id, Scratch&) -> const char* {
            if (const char* bad = check_shape(t, id)) return bad;
            const VPTreeKind::Node& nd = t.node(id);
            const std::size_t count = nd.end - nd.start;
            const std::size_t inside_end = nd.start + VPTreeKind::left_count(count);
            const std::size_t v = nd.vantage;
            if (v >= inside_end) return "has its vantage point outside its inside half";
            const double* vp = t.row(v);
            bool has_nan = M::id == DistanceMetric::Chebyshev && has_nan_coordinate(vp, dim);
            // Extremes of the reduced distances (NaN ranking after every
            // number where a build's selection puts it); from_rdist is
            // monotone, so its values there are the extreme distances.
            double min_r = kInf, max_r = -kInf, below = -kInf, above = kInf;
            for (std::size_t p = nd.start; p < nd.end; ++p) {
                if (p == v) continue;
                const double* x = t.row(p);
                if (M::id == DistanceMetric::Chebyshev) has_nan |= has_nan_coordinate(x, dim);
                const double r = M::rdist(x, vp, dim);
                if (r < min_r) min_r = r;
                if (r > max_r) max_r = r;
                const double key = r == r ? r : kInf;
                if (p < inside_end) {
                    below = std::max(below, key);
                } else {
                    above = std::min(above, key);
                }
            }
            const double min_dist = min_r == kInf ? kInf : M::from_rdist(min_r);
            const double max_dist = max_r == -kInf ? -kInf : M::from_rdist(max_r);
            below = below == -kInf || below == kInf ? below : M::from_rdist(below);
            above = above == kInf ? above : M::from_rdist(above);
            if (!same(min_dist, nd.min_dist) || !same(max_dist, nd.max_dist)) {
                return "has distances that do not bound its points";
            }
            if (!(below <= above)) return "has an inside half farther than its outside half";
            const std::size_t w = count - 1;
            double threshold = 0.0;
            if (w > 0) threshold = w % 2 == 0 ? (below + above) * 0.5 : above;
            if (!same(threshold, nd.threshold)) return "has a threshold that is not its median distance";
            if (nd.no_bound != has_nan) return "says wrongly whether its distances skip a NaN coordinate";
            return nullptr;
        });
    });
}

}  // namespace lumi
