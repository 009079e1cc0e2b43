// The search walk of the kinds whose node bounds come from the query's
// distance to one point of each node: the ball's centroid, the VP node's
// vantage point.
//
// Such a kind reads its nodes through one of two sources: the tree itself
// (`const Tree*`, the full nodes) or the compact copy (`const CompactNode*`,
// tree.hpp).  It supplies, overloaded for both, `centre(nodes, id)` and the
// node fields its bound needs, and a walk NodeWalk<M, Nodes> deriving from
// CentreWalk that adds its split rule, its per-descent state and its bound.
// Deriving from CentreKind makes Walk and CompactWalk that one walk over the
// two sources.
#pragma once

#include <cstddef>
#include <type_traits>

#include "spatial/tree.hpp"

namespace lumi {

// A point of dim <= kCompactMaxDim coordinates into a compact node, the
// unused places 0.0.
inline void copy_compact_point(double (&to)[kCompactMaxDim], const double* from, std::size_t dim) noexcept {
    for (std::size_t i = 0; i < kCompactMaxDim; ++i) to[i] = i < dim ? from[i] : 0.0;
}

// Distance from q to the centre of node `id` under M.
template <class Kind, class M, class Nodes>
double centre_distance(Nodes nodes, std::size_t id, const double* q, std::size_t dim) noexcept {
    return M::from_rdist(M::rdist(q, Kind::centre(nodes, id), fixed_dim<M>(dim)));
}

// The range [max(d - r, 0), d + r] of the distances from q to the points of
// node `id`, d being q's distance to its centre and r the largest distance
// from the centre to one of them.
template <class Kind, class M>
Interval centre_interval(const SpatialTree<Kind>& t, std::size_t id, const double* q, double r) noexcept {
    const double d = centre_distance<Kind, M>(&t, id, q, t.dim());
    const double lo = d - r;
    return {lo > 0.0 ? lo : 0.0, d + r};
}

// Kind's NodeWalk over the full nodes or over the compact copy, looked up
// only once Kind is complete.
template <class Kind, class M, bool Compact>
struct NodeWalkOf {
    using Nodes = std::conditional_t<Compact, const typename Kind::CompactNode*, const SpatialTree<Kind>*>;
    using type = typename Kind::template NodeWalk<M, Nodes>;
};

// What such a kind derives from: Walk<M> and CompactWalk<M>, the names the
// engine's search looks up.
template <class Kind>
struct CentreKind {
    template <class M>
    using Walk = typename NodeWalkOf<Kind, M, false>::type;
    template <class M>
    using CompactWalk = typename NodeWalkOf<Kind, M, true>::type;
};

// What every NodeWalk shares: the query, the node source, the dimension and
// the rounding slack of the bounds, the distance to a node's centre, and
// nothing to undo on the way back up.
template <class Kind, class M, class Nodes>
class CentreWalk {
public:
    using Tree = SpatialTree<Kind>;
    static constexpr bool kReducedBound = false;    // bounds are distances
    static constexpr bool kNearChildShared = false;  // every child's bound is tested

    CentreWalk(const Tree& t, const double* query) noexcept
        : q(query), nodes_(source(t)), dim_(t.dim()), slack_(t.slack()) {}
    template <class Split>
    void leave(const Split&) const noexcept {}

    const double* q;

protected:
    double distance(std::size_t id) const noexcept { return centre_distance<Kind, M>(nodes_, id, q, dim_); }

    Nodes nodes_;
    std::size_t dim_;
    double slack_;

private:
    static Nodes source(const Tree& t) noexcept {
        if constexpr (std::is_same_v<Nodes, const Tree*>) {
            return &t;
        } else {
            return t.compact_nodes().data();
        }
    }
};

}  // namespace lumi
