// KDTree construction and the k-nearest and radius searches.
#include "spatial/kd_tree.hpp"

#include <limits>

#include "array/format.hpp"

namespace lumi {

void KDTree::throw_reversed_box(double lo, double hi) {
    std::string msg = "min > max, or either was NaN. min = ";
    append_float(msg, lo);
    msg += ", max = ";
    append_float(msg, hi);
    throw Error(msg);
}

struct KDTree::Builder {
    KDTree& t;
    RowSelector sel;
    std::size_t leaf;  // effective leaf size, at least 1

    std::size_t node(std::size_t start, std::size_t end) {
        const std::size_t dim = t.dim_;
        const std::size_t id = t.nodes_.size();
        t.nodes_.push_back({start, end, kNoNode, kNoNode, 0, 0.0, false});
        t.bounds_.resize(t.bounds_.size() + 2 * dim);
        double* lo = t.bounds_.data() + 2 * dim * id;
        double* hi = lo + dim;
        const double inf = std::numeric_limits<double>::infinity();
        std::fill_n(lo, dim, inf);
        std::fill_n(hi, dim, -inf);
        // NaN values never enter the box.
        bool has_nan = false;
        for (std::size_t p = start; p < end; ++p) {
            const double* x = sel.row(p);
            for (std::size_t i = 0; i < dim; ++i) {
                const double v = x[i];
                if (v < lo[i]) lo[i] = v;
                if (v > hi[i]) hi[i] = v;
                has_nan |= v != v;
            }
        }
        t.nodes_[id].has_nan = has_nan;
        // Coordinate of largest spread; ties keep the lowest.
        std::size_t split_dim = 0;
        double best = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
            const double spread = hi[i] - lo[i];
            if (spread > best) {
                best = spread;
                split_dim = i;
            }
        }
        t.nodes_[id].split_dim = split_dim;
        const std::size_t count = end - start;
        // A one-point range is a leaf whatever leaf_size says, and so is
        // every range of zero-coordinate points (nothing to split on).
        if (count <= leaf || dim == 0) return id;

        const std::size_t half = count / 2;
        double* keys = sel.keys(count);
        for (std::size_t j = 0; j < count; ++j) {
            const double v = sel.row(start + j)[split_dim];
            if (v != v) throw_nan_split();
            keys[j] = v;
        }
        sel.select(start, end, half, keys);
        const std::size_t mid = start + half;
        t.nodes_[id].split_value = sel.row(mid)[split_dim];
        const std::size_t left = node(start, mid);
        const std::size_t right = node(mid, end);
        t.nodes_[id].left = left;
        t.nodes_[id].right = right;
        return id;
    }
};

KDTree KDTree::from_ndarray(const ArrayF64& points, std::size_t leaf_size, DistanceMetric metric) {
    check_points_shape(points.ndim());
    return build(points.data.data(), points.shape[0], points.shape[1], leaf_size, metric);
}

KDTree KDTree::build(const double* points, std::size_t n_points, std::size_t dim, std::size_t leaf_size,
                     DistanceMetric metric) {
    KDTree t;
    t.n_points_ = n_points;
    t.dim_ = dim;
    t.leaf_size_ = leaf_size;
    t.metric_ = metric;
    Builder b{t, RowSelector(points, n_points, dim), leaf_size < 1 ? 1 : leaf_size};
    const std::size_t nodes = dim == 0 ? 1 : halving_node_count(n_points, b.leaf);
    t.nodes_.reserve(nodes);
    t.bounds_.reserve(nodes * 2 * dim);
    b.node(0, n_points);
    t.points_ = b.sel.take_rows();
    t.order_ = b.sel.take_order();
    return t;
}

template <class M>
void KDTree::knn_visit(std::size_t id, const double* q, KnnHeap& heap) const {
    const KDNode& nd = nodes_[id];
    if (heap.full() && lower_rdist<M>(id, q) > heap.worst()) return;
    if (nd.left == kNoNode) {
        const double* x = points_.data() + nd.start * dim_;
        for (std::size_t p = nd.start; p < nd.end; ++p, x += dim_) heap.offer<M>(M::rdist(q, x, dim_), order_[p]);
        return;
    }
    if (nd.split_value >= q[nd.split_dim]) {
        knn_visit<M>(nd.left, q, heap);
        knn_visit<M>(nd.right, q, heap);
    } else {
        knn_visit<M>(nd.right, q, heap);
        knn_visit<M>(nd.left, q, heap);
    }
}

void KDTree::knn_search(const double* q, std::size_t query_len, std::size_t k, KnnHeap& heap) const {
    check_query_length(query_len, dim_);
    heap.reset(k, n_points_);
    if (k == 0 || n_points_ == 0) return;
    with_metric(metric_, [&](auto m) {
        using M = decltype(m);
        knn_visit<M>(0, q, heap);
        heap.finish<M>();
    });
}

std::vector<std::size_t> KDTree::query_knn(const std::vector<double>& q, std::size_t k) const {
    KnnHeap heap;
    knn_search(q.data(), q.size(), k, heap);
    std::vector<std::size_t> rows;
    rows.reserve(heap.size());
    for (const Neighbor& c : heap.items()) rows.push_back(c.row);
    return rows;
}

template <class M>
void KDTree::radius_visit(std::size_t id, const double* q, double rlimit, std::vector<std::size_t>& out) const {
    const KDNode& nd = nodes_[id];
    if (lower_rdist<M>(id, q) > rlimit) return;
    if (nd.left == kNoNode) {
        const double* x = points_.data() + nd.start * dim_;
        for (std::size_t p = nd.start; p < nd.end; ++p, x += dim_) {
            if (M::rdist(q, x, dim_) <= rlimit) out.push_back(order_[p]);
        }
        return;
    }
    radius_visit<M>(nd.left, q, rlimit, out);
    radius_visit<M>(nd.right, q, rlimit, out);
}

void KDTree::radius_search(const double* q, std::size_t query_len, double radius,
                           std::vector<std::size_t>& out) const {
    check_query_length(query_len, dim_);
    if (!(radius >= 0.0) || n_points_ == 0) return;
    with_metric(metric_, [&](auto m) {
        using M = decltype(m);
        radius_visit<M>(0, q, M::rdist_within(radius), out);
    });
}

std::vector<std::size_t> KDTree::query_radius(const std::vector<double>& q, double radius) const {
    std::vector<std::size_t> out;
    radius_search(q.data(), q.size(), radius, out);
    return out;
}

}  // namespace lumi
