// KDTree: the box kind's split rule, and the engine instantiated for it.
#include "spatial/kd_tree.hpp"

#include <string>

#include "array/format.hpp"
#include "base/messages.hpp"
#include "spatial/tree_build_search.hpp"

namespace lumi {

void KDTreeKind::throw_reversed_box(double lo, double hi) {
    std::string lo_text, hi_text;
    append_float(lo_text, lo);
    append_float(hi_text, hi);
    throw Error(msg::reversed_box(lo_text, hi_text));
}

// The node's bounding box (NaN values never enter it), then, unless the node
// is a leaf, a split at the median along the coordinate of largest spread
// (ties keep the lowest coordinate).
template <class M, class B>
bool KDTreeKind::make_node(B& b, Node& nd, std::size_t id, std::size_t start, std::size_t end,
                        std::vector<double>& keys) {
    const std::size_t dim = b.t.dim();
    double* lo = b.t.values(id);
    double* hi = lo + dim;
    const double* rows = b.rows.row(start);
    bool has_nan = false;
    if (b.state.nan_free) {
        bounding_box_numbers(rows, end - start, dim, lo, hi);
    } else {
        has_nan = bounding_box(rows, end - start, dim, lo, hi);
        if (id == 0) b.state.nan_free = !has_nan;
    }
    std::size_t split_dim = 0;
    double best = 0.0;
    for (std::size_t i = 0; i < dim; ++i) {
        const double spread = hi[i] - lo[i];
        if (spread > best) {
            best = spread;
            split_dim = i;
        }
    }
    nd = Node{{start, end, kNoNode}, split_dim, 0.0, has_nan};
    const std::size_t count = end - start;
    // A range of zero-coordinate points has nothing to split on.
    if (count <= b.leaf || dim == 0) return false;

    const std::size_t h = left_count(count);
    b.rows.select_column(start, end, h, split_dim, keys, has_nan);
    nd.split_value = b.rows.row(start + h)[split_dim];
    return true;
}

// A loaded tree (the saved structure is checked already): split coordinates in range.
void KDTreeKind::check_loaded(const Tree& t) {
    for (std::size_t i = 0; i < t.nodes().size(); ++i) {
        const Node& nd = t.node(i);
        if (!nd.leaf() && nd.split_dim >= t.dim()) {
            throw Error("node " + std::to_string(i) + " splits on coordinate " + std::to_string(nd.split_dim) +
                        " of " + std::to_string(t.dim()));
        }
    }
}

static_assert(TreeKind<KDTreeKind>);
template class SpatialTree<KDTreeKind>;

}  // namespace lumi
