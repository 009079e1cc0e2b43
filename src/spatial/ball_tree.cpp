// BallTree: the ball kind's split rule, and the engine instantiated for it.
#include "spatial/ball_tree.hpp"

#include "spatial/tree_build_search.hpp"

namespace lumi {

// The node's centroid (mean in position order; an empty range gives
// 0 / 0 = NaN) and radius (NaN distances never replace the running value),
// then, unless the node is a leaf, a split at the median along the
// coordinate of largest spread (NaN values skipped; ties keep the lowest).
template <class M, class B>
bool BallTreeKind::make_node(B& b, Node& nd, std::size_t id, std::size_t start, std::size_t end,
                         std::vector<double>& keys) {
    const std::size_t dim = b.t.dim();
    const std::size_t count = end - start;
    double* c = b.t.values(id);
    column_sums(b.rows.row(start), count, dim, c);
    const double n = static_cast<double>(count);
    for (std::size_t i = 0; i < dim; ++i) c[i] /= n;
    double radius = 0.0;
    for (std::size_t p = start; p < end; ++p) {
        const double d = M::from_rdist(M::rdist(b.rows.row(p), c, dim));
        if (d > radius) radius = d;
    }
    nd = Node{{start, end, kNoNode}, radius};
    // A range of zero-coordinate points has nothing to split on.
    if (count <= b.leaf || dim == 0) return false;

    // The box only picks the split coordinate; the selection may reuse its scratch.
    if (keys.size() < 2 * dim) keys.resize(2 * dim);
    double* lo = keys.data();
    double* hi = lo + dim;
    bounding_box(b.rows.row(start), count, dim, lo, hi);
    std::size_t split_dim = 0;
    double best = 0.0;
    for (std::size_t i = 0; i < dim; ++i) {
        if (hi[i] - lo[i] > best) {
            best = hi[i] - lo[i];
            split_dim = i;
        }
    }
    b.rows.select_column(start, end, left_count(count), split_dim, keys);
    return true;
}

static_assert(TreeKind<BallTreeKind>);
template class SpatialTree<BallTreeKind>;

}  // namespace lumi
