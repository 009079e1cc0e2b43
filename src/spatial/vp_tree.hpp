// VPTree: the vantage-point kind of the tree engine (tree.hpp).  Every node
// picks one of its points as vantage point (the first of its range, or a
// random one), measures the distances from it to the node's other points and
// splits them at the median distance into an inside half (which starts with
// the vantage point) and an outside half.
//
// A node records where its own vantage point ended up in storage order: with
// random selection a child's swap can move its parent's vantage point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "spatial/centre_walk.hpp"

namespace lumi {

enum class VantageSelection : std::uint8_t { First = 0, Random = 1 };

std::optional<VantageSelection> selection_from_name(std::string_view lowered);

struct VPTreeKind : CentreKind<VPTreeKind> {
    struct Node : NodeLinks {
        std::size_t vantage;  // storage position of this node's vantage point
        double threshold;     // median distance from the vantage point to the other points
        double min_dist;      // smallest of those distances (+inf when there are none)
        double max_dist;      // largest of those distances (-inf when there are none)
        bool no_bound;        // Chebyshev over NaN coordinates: distance bounds do not hold
    };
    struct Options {
        VantageSelection selection = VantageSelection::First;
    };
    struct BuildState {
        std::vector<std::size_t> vantage_rows;  // input row of each node's vantage point
    };
    using Tree = SpatialTree<VPTreeKind>;

    static constexpr std::size_t kValuesPerDim = 0;
    static constexpr bool kNoCoordinatesOneLeaf = false;
    static constexpr bool kNonEmptyNodes = true;  // every node holds its vantage point
    // Points of the inside child of a node over `count` points.
    static std::size_t left_count(std::size_t count) { return 1 + (count - 1) / 2; }
    // An empty point set is refused.
    static void check_build(std::size_t n_points, const Options& options);
    static void start_build(BuildState& s, std::size_t n_nodes) { s.vantage_rows.resize(n_nodes); }
    static void finish_build(Tree& t, BuildState& s);
    template <class M, class B>
    static bool make_node(B& b, Node& nd, std::size_t id, std::size_t start, std::size_t end,
                          std::vector<double>& dists);

    // The search copy of a node of a tree of 1 to 3 coordinates (tree.hpp):
    // the vantage point inline, beside the distances its bound needs.
    struct CompactNode {
        double point[kCompactMaxDim];
        double threshold, min_dist, max_dist;
        std::uint32_t vantage, start, end, right;
        bool leaf() const noexcept { return right == 0; }
    };

    // What a search reads of a node (centre_walk.hpp), from the full nodes
    // or from the compact copy: the vantage point (its position and
    // coordinates) and the range [min_dist, max_dist] of the distances from
    // it to the node's points.  A node without a distance bound reads
    // min_dist -inf and max_dist +inf (the compact copy stores them so), from
    // which its bound comes out 0.0.
    static std::size_t vantage(const Tree* t, std::size_t id) noexcept { return t->node(id).vantage; }
    static std::size_t vantage(const CompactNode* c, std::size_t id) noexcept { return c[id].vantage; }
    static const double* centre(const Tree* t, std::size_t id) noexcept { return t->row(t->node(id).vantage); }
    static const double* centre(const CompactNode* c, std::size_t id) noexcept { return c[id].point; }
    static double min_dist(const Tree* t, std::size_t id) noexcept {
        const Node& nd = t->node(id);
        return nd.no_bound ? -std::numeric_limits<double>::infinity() : nd.min_dist;
    }
    static double min_dist(const CompactNode* c, std::size_t id) noexcept { return c[id].min_dist; }
    static double max_dist(const Tree* t, std::size_t id) noexcept {
        const Node& nd = t->node(id);
        return nd.no_bound ? std::numeric_limits<double>::infinity() : nd.max_dist;
    }
    static double max_dist(const CompactNode* c, std::size_t id) noexcept { return c[id].max_dist; }
    static void fill_compact(const Tree& t, std::size_t id, CompactNode& c) noexcept {
        copy_compact_point(c.point, centre(&t, id), t.dim());
        c.threshold = t.node(id).threshold;
        c.min_dist = min_dist(&t, id);
        c.max_dist = max_dist(&t, id);
        c.vantage = static_cast<std::uint32_t>(vantage(&t, id));
    }

    // Lower bound of the distances from q to the node's points, from
    // d = distance(q, vantage point): min(d, max(d - max_dist, min_dist - d,
    // 0)), each difference lowered by the rounding slack of the triangle
    // inequality, NaN candidates passed over; d itself covers the vantage
    // point.  A Chebyshev query with a NaN coordinate measures in fewer
    // coordinates than min_dist was, so only d - max_dist holds then
    // (`partial_query`).  A node without a distance bound gets -inf and +inf:
    // both differences are then -inf or NaN, never above 0.0, and the bound
    // is 0.0.
    template <class Nodes>
    static double bound_from(Nodes nodes, std::size_t id, double slack, double d, bool partial_query) noexcept {
        const double hi = max_dist(nodes, id);
        const double outside = (d - hi) - slack * (d + hi);
        double b = pick(outside > 0.0, outside, 0.0);
        if (!partial_query) {
            const double lo = min_dist(nodes, id);
            const double inside = (lo - d) - slack * (lo + d);
            if (inside > b) b = inside;
        }
        if (d < b) b = d;
        return b;
    }
    template <class M>
    static bool partial_query(const Tree& t, const double* q) noexcept {
        return M::id == DistanceMetric::Chebyshev && has_nan_coordinate(q, t.dim());
    }

    template <class M, class Nodes>
    class NodeWalk;

    template <class M>
    static double density_lower(const Tree& t, std::size_t id, const double* q, bool partial) noexcept {
        return bound_from(&t, id, t.slack(), centre_distance<VPTreeKind, M>(&t, id, q, t.dim()), partial);
    }
    template <class M>
    static DensityBounds density_bounds(const Tree& t, std::size_t id, const double* q, bool partial) noexcept {
        const double d = centre_distance<VPTreeKind, M>(&t, id, q, t.dim());
        const Node& nd = t.node(id);
        return {bound_from(&t, id, t.slack(), d, partial),
                nd.no_bound ? std::numeric_limits<double>::infinity() : d + nd.max_dist};
    }
    template <class M>
    static Interval interval(const Tree& t, std::size_t id, const double* q) noexcept {
        return centre_interval<VPTreeKind, M>(t, id, q, t.node(id).max_dist);
    }
    static double span(const Tree& t, std::size_t id) noexcept { return t.node(id).max_dist - t.node(id).min_dist; }

    // Saving and loading (serialize.hpp).
    static constexpr char kTag[8] = {'L', 'V', 'V', 'P', 'T', 'R', 'E', 'E'};
    static constexpr const char* kName = "VPTree";
    template <class N, class F>
    static void fields(N& nd, F&& f) {
        f(nd.vantage);
        f(nd.threshold);
        f(nd.min_dist);
        f(nd.max_dist);
        f(nd.no_bound);
    }
    static std::uint8_t option_code(const Options& o) noexcept { return static_cast<std::uint8_t>(o.selection); }
    static std::optional<Options> options_from_code(std::uint8_t code) noexcept {
        if (code > 1) return std::nullopt;
        return Options{static_cast<VantageSelection>(code)};
    }
    static void check_loaded(const Tree& t);
};

using VPTree = SpatialTree<VPTreeKind>;

// A node's state is the query's distance to its vantage point, reused by an
// inside child that keeps its parent's vantage point.
template <class M, class Nodes>
class VPTreeKind::NodeWalk : public CentreWalk<VPTreeKind, M, Nodes> {
public:
    struct State {
        std::size_t vantage;
        double d;
    };
    struct Split {
        std::size_t child[2];
    };

    NodeWalk(const Tree& t, const double* query) noexcept
        : CentreWalk<VPTreeKind, M, Nodes>(t, query), partial_(partial_query<M>(t, query)) {}
    State root() const noexcept { return {vantage(this->nodes_, 0), this->distance(0)}; }

    // kNN: the inside child first when the query is inside the threshold.
    template <bool Ordered, class N>
    Split split(std::size_t id, const N& nd, State st) const noexcept {
        if (Ordered && !(st.d < nd.threshold)) return {{nd.right, id + 1}};
        return {{id + 1, nd.right}};
    }
    State enter(const Split& s, int which, State st) const noexcept {
        const std::size_t c = s.child[which];
        const std::size_t v = vantage(this->nodes_, c);
        return {v, v == st.vantage ? st.d : this->distance(c)};
    }
    double bound(std::size_t id, State st) const noexcept {
        return bound_from(this->nodes_, id, this->slack_, st.d, partial_);
    }

private:
    bool partial_;
};

extern template class SpatialTree<VPTreeKind>;

}  // namespace lumi
