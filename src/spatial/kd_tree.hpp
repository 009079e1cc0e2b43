// KDTree: the box kind of the tree engine (tree.hpp).  Every node keeps the
// bounding box of its points; an internal node splits its range at the
// median along the coordinate of largest spread.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/parallel.hpp"
#include "spatial/tree.hpp"

namespace lumi {

struct KDTreeKind : PlainKind<KDTreeKind> {
    struct Node : NodeLinks {
        std::size_t split_dim;
        double split_value;  // coordinate of the median point along split_dim; 0.0 in a leaf
        bool has_nan;        // some point of the node has a NaN coordinate
    };

    // Whether the points hold no NaN at all, known once the root's box is
    // made (the root is made before any other node): boxes below
    // then skip the NaN test.
    struct BuildState {
        bool nan_free = false;
    };
    static void start_build(BuildState& s, std::size_t) { s.nan_free = false; }
    static void finish_build(Tree&, BuildState&) {}

    static constexpr std::size_t kValuesPerDim = 2;  // per node: dim minima, then dim maxima
    static constexpr bool kNoCoordinatesOneLeaf = true;
    static constexpr bool kSplitNodes = true;  // searches read SplitNodes (tree.hpp)
    static std::size_t left_count(std::size_t count) { return count / 2; }
    template <class M, class B>
    static bool make_node(B& b, Node& nd, std::size_t id, std::size_t start, std::size_t end,
                          std::vector<double>& keys);

    static const double* min_bounds(const Tree& t, std::size_t id) noexcept { return t.values(id); }
    static const double* max_bounds(const Tree& t, std::size_t id) noexcept { return t.values(id) + t.dim(); }

    // Reduced distance from q to the node's box under M.  A Chebyshev
    // distance passes over NaN coordinates, which the box leaves out, so a
    // node holding NaN coordinates gets 0 there.
    template <class M>
    static double lower_rdist(const Tree& t, std::size_t id, const double* q) noexcept {
        if (M::id == DistanceMetric::Chebyshev && t.node(id).has_nan) return 0.0;
        return box_rdist<M>(q, min_bounds(t, id), max_bounds(t, id), fixed_dim<M>(t.dim()));
    }

    template <class M>
    class Walk;

    // Density quantities: the box distances under M (boxes only shrink
    // downwards and every step of the box distances is monotone, so a box
    // below is never farther than the upper bound).
    template <class M>
    static double density_lower(const Tree& t, std::size_t id, const double* q, bool) noexcept {
        return M::from_rdist(lower_rdist<M>(t, id, q));
    }
    template <class M>
    static DensityBounds density_bounds(const Tree& t, std::size_t id, const double* q, bool) noexcept {
        return {M::from_rdist(lower_rdist<M>(t, id, q)),
                M::from_rdist(box_far_rdist<M>(q, min_bounds(t, id), max_bounds(t, id), t.dim()))};
    }
    // Nearest and farthest possible distance, from the query clamped into the
    // box.  Throws when a coordinate's box is reversed or NaN (all of the
    // node's values there are NaN).
    template <class M>
    static Interval interval(const Tree& t, std::size_t id, const double* q) {
        const double* lo = min_bounds(t, id);
        const double* hi = max_bounds(t, id);
        for (std::size_t i = 0; i < t.dim(); ++i) {
            if (!(lo[i] <= hi[i])) throw_reversed_box(lo[i], hi[i]);
        }
        const std::size_t dim = fixed_dim<M>(t.dim());
        return {M::from_rdist(box_rdist<M>(q, lo, hi, dim)), M::from_rdist(box_far_rdist<M>(q, lo, hi, dim))};
    }
    // Euclidean length of the box diagonal.
    static double span(const Tree& t, std::size_t id) noexcept {
        const double* lo = min_bounds(t, id);
        const double* hi = max_bounds(t, id);
        double s = 0.0;
        for (std::size_t i = 0; i < t.dim(); ++i) s += (hi[i] - lo[i]) * (hi[i] - lo[i]);
        return std::sqrt(s);
    }

    [[noreturn]] static void throw_reversed_box(double lo, double hi);

    // Saving and loading (serialize.hpp): the node fields beyond the links,
    // in order, and the checks of a loaded tree.
    static constexpr char kTag[8] = {'L', 'V', 'K', 'D', 'T', 'R', 'E', 'E'};
    static constexpr const char* kName = "KDTree";
    template <class N, class F>
    static void fields(N& nd, F&& f) {
        f(nd.split_dim);
        f(nd.split_value);
        f(nd.has_nan);
    }
    static void check_loaded(const Tree& t);
};

using KDTree = SpatialTree<KDTreeKind>;
using KDNode = KDTreeKind::Node;

// Per-query scratch of `dim` doubles: on the stack for small dimensions,
// else in a per-thread buffer kept between queries (so a query allocates
// nothing once its thread has seen the dimension).  One at a time per thread.
class GapBuffer {
public:
    explicit GapBuffer(std::size_t dim) : data_(dim > kInline ? shared(dim) : inline_) {}
    GapBuffer(const GapBuffer&) = delete;
    GapBuffer& operator=(const GapBuffer&) = delete;
    double* data() noexcept { return data_; }

private:
    static constexpr std::size_t kInline = 16;
    struct Store {
        std::vector<double> v;
    };
    static double* shared(std::size_t dim) {
        std::vector<double>& buffer = thread_cache<Store>().v;
        if (buffer.size() < dim) buffer.resize(dim);
        return buffer.data();
    }
    double inline_[kInline];
    double* data_;
};

// The searches track, per coordinate, how far the query lies outside the
// region of the current node: the root's box, narrowed at every split (the
// left child's points are <= split_value along split_dim, the right child's
// >= it).  A child's lower bound then needs no read of its box.  Like the
// box bound it never exceeds a true distance: each step is monotone under
// rounding.
template <class M>
class KDTreeKind::Walk {
public:
    static constexpr bool kReducedBound = true;
    // The near side of a split keeps the parent's gaps, so its bound is the
    // parent's (tested already); not testing it again only visits more.
    static constexpr bool kNearChildShared = true;
    struct State {};
    // The children in visit order with the gap each has along the split
    // coordinate, and the parent's gap there.
    struct Split {
        std::size_t child[2];
        double gap[2];
        std::size_t sd;
        double old;
    };

    Walk(const Tree& t, const double* query) : q(query), t_(t), buffer_(t.dim()), g_(buffer_.data()) {
        const double* lo = min_bounds(t, 0);
        const double* hi = max_bounds(t, 0);
        for (std::size_t i = 0; i < t.dim(); ++i) g_[i] = box_gap(q[i], lo[i], hi[i]);
    }
    State root() const noexcept { return {}; }

    // kNN: the side of the split that holds the query first (the right side
    // for a NaN coordinate).  The left child lies qs - sv away when the query
    // is past the split value, the right child sv - qs when it is before it;
    // otherwise a child keeps the parent's gap.  Both are picked without
    // branches: which side a query falls on is a coin toss per node.
    template <bool Ordered>
    Split split(std::size_t id, const Node& nd, State) noexcept {
        return split_at<Ordered>(id, nd.right, nd.split_dim, nd.split_value);
    }
    template <bool Ordered>
    Split split_at(std::size_t id, std::size_t right, std::size_t sd, double sv) noexcept {
        const double qs = q[sd];
        const double old = g_[sd];
        const double left_gap = pick(qs > sv, qs - sv, old);
        const double right_gap = pick(qs < sv, sv - qs, old);
        if (Ordered) {
            const bool swap = !(sv >= qs);
            const std::size_t left = id + 1;
            const std::size_t flip = (left ^ right) & (std::size_t{0} - static_cast<std::size_t>(swap));
            return {{left ^ flip, right ^ flip},
                    {pick(swap, right_gap, left_gap), pick(swap, left_gap, right_gap)},
                    sd,
                    old};
        }
        return {{id + 1, right}, {left_gap, right_gap}, sd, old};
    }
    State enter(const Split& s, int which, State) noexcept {
        g_[s.sd] = s.gap[which];
        return {};
    }
    double bound(std::size_t id, State) noexcept { return gap_bound(t_.node(id).has_nan); }
    // The bound of a node from the current gaps; has_nan: whether the node
    // holds a point with a NaN coordinate.
    double gap_bound(bool has_nan) noexcept {
        if (M::id == DistanceMetric::Chebyshev && has_nan) return 0.0;
        const double* g = g_;
        const std::size_t dim = fixed_dim<M>(t_.dim());
        double acc = 0.0;
        for (std::size_t i = 0; i < dim; ++i) acc = M::add(acc, g[i]);
        return acc;
    }
    void leave(const Split& s) noexcept { g_[s.sd] = s.old; }
    // kNN past a split at sv along sd, once the near side is done: the far
    // side's gap there is |q[sd] - sv| (the same value split_at gives it;
    // a NaN coordinate or a query on the split keeps the parent's gap).
    // Returns the parent's gap, for gap_leave.
    double far_gap_enter(std::size_t sd, double sv) noexcept {
        const double old = g_[sd];
        const double a = std::fabs(q[sd] - sv);
        g_[sd] = pick(a > 0.0, a, old);
        return old;
    }
    void gap_leave(std::size_t sd, double old) noexcept { g_[sd] = old; }

    const double* q;

private:
    const Tree& t_;
    GapBuffer buffer_;
    double* g_;  // per-coordinate gaps, in buffer_
};

extern template class SpatialTree<KDTreeKind>;

}  // namespace lumi
