// VPTree: the vantage-point kind's split rule, and the engine instantiated
// for it.
#include "spatial/vp_tree.hpp"

#include <algorithm>
#include <string>

#include "base/messages.hpp"
#include "random/generator.hpp"
#include "spatial/tree_build_search.hpp"

namespace lumi {

std::optional<VantageSelection> selection_from_name(std::string_view s) {
    if (s == "first") return VantageSelection::First;
    if (s == "random") return VantageSelection::Random;
    return std::nullopt;
}

void VPTreeKind::check_build(std::size_t n_points, const Options& options) {
    if (n_points == 0) {
        if (options.selection == VantageSelection::Random) throw Error(msg::kLowNotBelowHigh);
        throw_index_error(0, 0);
    }
}

// The vantage point moves to the front of the range; the other points are
// ordered by their distance to it around the median (the threshold).  Steps
// run for leaves too.
template <class M, class B>
bool VPTreeKind::make_node(B& b, Node& nd, std::size_t id, std::size_t start, std::size_t end,
                            std::vector<double>& dists) {
    const std::size_t dim = b.t.dim();
    const std::size_t count = end - start;
    std::size_t v = start;
    if (b.t.options().selection == VantageSelection::Random) {
        // A fresh clock-seeded generator for this node alone.
        Generator g = Generator::from_clock();
        const auto draw = g.randint(static_cast<std::int64_t>(start), static_cast<std::int64_t>(end), Shape{});
        v = static_cast<std::size_t>(draw.data[0]);
    }
    b.rows.swap(start, v);
    const double* vp = b.rows.row(start);
    // Chebyshev distances pass over NaN coordinates, which breaks the
    // triangle inequality: such a node gets no distance bound.
    bool has_nan = false;
    if constexpr (M::id == DistanceMetric::Chebyshev) has_nan = has_nan_coordinate(vp, dim);

    const double inf = std::numeric_limits<double>::infinity();
    const std::size_t w = count - 1;
    if (dists.size() < w) dists.resize(w);
    double min_dist = inf, max_dist = -inf;
    for (std::size_t j = 0; j < w; ++j) {
        const double* x = b.rows.row(start + 1 + j);
        if constexpr (M::id == DistanceMetric::Chebyshev) has_nan |= has_nan_coordinate(x, dim);
        const double d = M::from_rdist(M::rdist(x, vp, dim));
        if (d < min_dist) min_dist = d;
        if (d > max_dist) max_dist = d;
        // NaN distances rank after every number in the selection.
        dists[j] = d == d ? d : inf;
    }
    const std::size_t half = w / 2;
    double threshold = 0.0;
    if (w > 0) {
        b.rows.select(start + 1, end, half, dists.data());
        threshold = dists[half];
        if (w % 2 == 0) {
            double below = -inf;
            for (std::size_t j = 0; j < half; ++j) below = std::max(below, dists[j]);
            threshold = (below + threshold) * 0.5;
        }
    }
    nd = Node{{start, end, kNoNode}, 0, threshold, min_dist, max_dist, has_nan};
    b.state.vantage_rows[id] = b.rows.row_number(start);
    return count > b.leaf;
}

// Where each vantage point ended up: later swaps in the subtrees may have
// moved it within the node's range.
void VPTreeKind::finish_build(Tree& t, BuildState& s) {
    std::vector<std::size_t> position(t.n_points_);
    for (std::size_t p = 0; p < t.n_points_; ++p) position[t.order_[p]] = p;
    for (std::size_t i = 0; i < t.nodes_.size(); ++i) t.nodes_[i].vantage = position[s.vantage_rows[i]];
}

// A loaded tree (the saved structure is checked already): a point at least,
// and every vantage point inside its node's range.
void VPTreeKind::check_loaded(const Tree& t) {
    if (t.n_points() == 0) throw Error("a VPTree holds at least one point");
    for (std::size_t i = 0; i < t.nodes().size(); ++i) {
        const Node& nd = t.node(i);
        if (nd.vantage < nd.start || nd.vantage >= nd.end) {
            throw Error("the vantage point of node " + std::to_string(i) + " lies outside its range");
        }
    }
}

static_assert(TreeKind<VPTreeKind>);
template class SpatialTree<VPTreeKind>;

}  // namespace lumi
