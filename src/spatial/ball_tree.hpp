// BallTree: the ball kind of the tree engine (tree.hpp).  Every node keeps
// the mean of its points (centroid) and the largest metric distance from it
// to one of them (radius); an internal node splits its range at the median
// along the coordinate of largest spread.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <limits>
#include <utility>
#include <vector>

#include "spatial/centre_walk.hpp"

namespace lumi {

struct BallTreeKind : PlainKind<BallTreeKind>, CentreKind<BallTreeKind> {
    struct Node : NodeLinks {
        double radius;  // largest distance from the centroid to a node point; 0.0 when empty
    };

    static constexpr std::size_t kValuesPerDim = 1;  // the centroid
    static constexpr bool kNoCoordinatesOneLeaf = true;
    static std::size_t left_count(std::size_t count) { return count / 2; }
    template <class M, class B>
    static bool make_node(B& b, Node& nd, std::size_t id, std::size_t start, std::size_t end,
                          std::vector<double>& keys);

    // max(d - radius, 0), lowered by the rounding slack of the triangle
    // inequality.  An infinite distance or radius, or a NaN distance from a
    // NaN centroid coordinate (infinities of both signs in the node), bounds
    // nothing: 0.  A query with a NaN coordinate has NaN distances to every
    // point (Euclidean, Manhattan) and keeps the NaN bound.
    static double bound_from(double d, double radius, double slack, bool nan_query) noexcept {
        if (d != d) return nan_query ? d : 0.0;
        if (!(d <= DBL_MAX) || !(radius <= DBL_MAX)) return 0.0;
        const double b = (d - radius) - slack * (d + radius);
        return b > 0.0 ? b : 0.0;
    }
    // bound_from(d, radius, slack, false) without branches, for the searches
    // (a NaN distance bounds nothing there either): a NaN or infinite d or
    // radius fails the first two tests, a NaN or non-positive b the third.
    static double search_bound(double d, double radius, double slack) noexcept {
        const double b = (d - radius) - slack * (d + radius);
        return pick((d <= DBL_MAX) & (radius <= DBL_MAX) & (b > 0.0), b, 0.0);
    }
    template <class M>
    static bool partial_query(const Tree& t, const double* q) noexcept {
        return M::id != DistanceMetric::Chebyshev && has_nan_coordinate(q, t.dim());
    }

    // The search copy of a node of a tree of 1 to 3 coordinates (tree.hpp):
    // the centroid inline, so a child's distance and bound come from one
    // record.
    struct CompactNode {
        double centroid[kCompactMaxDim];
        double radius;
        std::uint32_t start, end, right;
        bool leaf() const noexcept { return right == 0; }
    };

    // What a search reads of a node (centre_walk.hpp): the centroid and the
    // radius, from the full nodes or from the compact copy.
    static const double* centre(const Tree* t, std::size_t id) noexcept { return t->values(id); }
    static const double* centre(const CompactNode* c, std::size_t id) noexcept { return c[id].centroid; }
    static double radius(const Tree* t, std::size_t id) noexcept { return t->node(id).radius; }
    static double radius(const CompactNode* c, std::size_t id) noexcept { return c[id].radius; }
    static void fill_compact(const Tree& t, std::size_t id, CompactNode& c) noexcept {
        copy_compact_point(c.centroid, centre(&t, id), t.dim());
        c.radius = radius(&t, id);
    }

    template <class M, class Nodes>
    class NodeWalk;

    template <class M>
    static double density_lower(const Tree& t, std::size_t id, const double* q, bool nan_query) noexcept {
        return bound_from(centre_distance<BallTreeKind, M>(&t, id, q, t.dim()), t.node(id).radius, t.slack(), nan_query);
    }
    template <class M>
    static DensityBounds density_bounds(const Tree& t, std::size_t id, const double* q, bool nan_query) noexcept {
        const double d = centre_distance<BallTreeKind, M>(&t, id, q, t.dim());
        const double r = t.node(id).radius;
        const double lower = bound_from(d, r, t.slack(), nan_query);
        // A NaN centroid coordinate means NaN points below, whose Chebyshev
        // distances skip it: no upper bound then.
        const double* c = centre(&t, id);
        for (std::size_t i = 0; i < t.dim(); ++i) {
            if (c[i] != c[i]) return {lower, std::numeric_limits<double>::infinity()};
        }
        return {lower, d + r};
    }
    template <class M>
    static Interval interval(const Tree& t, std::size_t id, const double* q) noexcept {
        return centre_interval<BallTreeKind, M>(t, id, q, t.node(id).radius);
    }
    static double span(const Tree& t, std::size_t id) noexcept { return 2.0 * t.node(id).radius; }

    // Saving and loading (serialize.hpp).
    static constexpr char kTag[8] = {'L', 'V', 'B', 'A', 'L', 'L', 'T', 'R'};
    static constexpr const char* kName = "BallTree";
    template <class N, class F>
    static void fields(N& nd, F&& f) {
        f(nd.radius);
    }
    static void check_loaded(const Tree&) {}
};

using BallTree = SpatialTree<BallTreeKind>;

// A child's state is the query's distance to its centroid, computed for both
// children at their parent (kNN orders them by it).
template <class M, class Nodes>
class BallTreeKind::NodeWalk : public CentreWalk<BallTreeKind, M, Nodes> {
public:
    struct State {
        double d;
    };
    struct Split {
        std::size_t child[2];
        double d[2];
    };

    using CentreWalk<BallTreeKind, M, Nodes>::CentreWalk;
    State root() const noexcept { return {this->distance(0)}; }

    // kNN: the right child first only when its centroid is strictly nearer.
    template <bool Ordered, class N>
    Split split(std::size_t id, const N& nd, State) const noexcept {
        Split s{{id + 1, nd.right}, {this->distance(id + 1), this->distance(nd.right)}};
        if (Ordered && s.d[1] < s.d[0]) {
            std::swap(s.child[0], s.child[1]);
            std::swap(s.d[0], s.d[1]);
        }
        return s;
    }
    State enter(const Split& s, int which, State) const noexcept { return {s.d[which]}; }
    // NaN and 0 prune nothing here alike.
    double bound(std::size_t id, State st) const noexcept {
        return search_bound(st.d, radius(this->nodes_, id), this->slack_);
    }
};

extern template class SpatialTree<BallTreeKind>;

}  // namespace lumi
