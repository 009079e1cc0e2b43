// BallTree construction and the k-nearest and radius searches.
#include "spatial/ball_tree.hpp"

#include <limits>

namespace lumi {

struct BallTree::Builder {
    BallTree& t;
    RowSelector sel;
    std::size_t leaf;  // effective leaf size, at least 1

    template <class M>
    std::size_t node(std::size_t start, std::size_t end) {
        const std::size_t dim = t.dim_;
        const std::size_t id = t.nodes_.size();
        const std::size_t count = end - start;
        t.nodes_.push_back({start, end, kNoNode, kNoNode, 0.0});
        t.centroids_.resize(t.centroids_.size() + dim);
        double* c = t.centroids_.data() + dim * id;
        // Mean in position order (an empty range gives 0 / 0 = NaN).
        std::fill_n(c, dim, -0.0);
        for (std::size_t p = start; p < end; ++p) {
            const double* x = sel.row(p);
            for (std::size_t i = 0; i < dim; ++i) c[i] += x[i];
        }
        const double n = static_cast<double>(count);
        for (std::size_t i = 0; i < dim; ++i) c[i] /= n;
        double radius = 0.0;
        for (std::size_t p = start; p < end; ++p) {
            const double d = M::from_rdist(M::rdist(sel.row(p), c, dim));
            if (d > radius) radius = d;
        }
        t.nodes_[id].radius = radius;
        // A one-point range is a leaf whatever leaf_size says, and so is
        // every range of zero-coordinate points (nothing to split on).
        if (count <= leaf || dim == 0) return id;

        // Coordinate of largest spread (NaN values skipped); ties keep the lowest.
        const double inf = std::numeric_limits<double>::infinity();
        std::size_t split_dim = 0;
        double best = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
            double lo = inf, hi = -inf;
            for (std::size_t p = start; p < end; ++p) {
                const double v = sel.row(p)[i];
                if (v < lo) lo = v;
                if (v > hi) hi = v;
            }
            if (hi - lo > best) {
                best = hi - lo;
                split_dim = i;
            }
        }
        const std::size_t half = count / 2;
        double* keys = sel.keys(count);
        for (std::size_t j = 0; j < count; ++j) {
            const double v = sel.row(start + j)[split_dim];
            if (v != v) throw_nan_split();
            keys[j] = v;
        }
        sel.select(start, end, half, keys);
        const std::size_t mid = start + half;
        const std::size_t left = node<M>(start, mid);
        const std::size_t right = node<M>(mid, end);
        t.nodes_[id].left = left;
        t.nodes_[id].right = right;
        return id;
    }
};

BallTree BallTree::from_ndarray(const ArrayF64& points, std::size_t leaf_size, DistanceMetric metric) {
    check_points_shape(points.ndim());
    return build(points.data.data(), points.shape[0], points.shape[1], leaf_size, metric);
}

BallTree BallTree::build(const double* points, std::size_t n_points, std::size_t dim, std::size_t leaf_size,
                         DistanceMetric metric) {
    BallTree t;
    t.n_points_ = n_points;
    t.dim_ = dim;
    t.leaf_size_ = leaf_size;
    t.metric_ = metric;
    t.slack_ = triangle_slack(dim);
    Builder b{t, RowSelector(points, n_points, dim), leaf_size < 1 ? 1 : leaf_size};
    const std::size_t nodes = dim == 0 ? 1 : halving_node_count(n_points, b.leaf);
    t.nodes_.reserve(nodes);
    t.centroids_.reserve(nodes * dim);
    with_metric(metric, [&](auto m) { b.node<decltype(m)>(0, n_points); });
    t.points_ = b.sel.take_rows();
    t.order_ = b.sel.take_order();
    return t;
}

// d is the query's distance to this node's centroid (computed by the parent
// to order the children).
template <class M>
void BallTree::knn_visit(std::size_t id, double d, const double* q, KnnHeap& heap) const {
    const BallNode& nd = nodes_[id];
    if (heap.full() && bound_from(d, nd.radius) > M::from_rdist(heap.worst())) return;
    if (nd.left == kNoNode) {
        const double* x = points_.data() + nd.start * dim_;
        for (std::size_t p = nd.start; p < nd.end; ++p, x += dim_) heap.offer<M>(M::rdist(q, x, dim_), order_[p]);
        return;
    }
    const double dl = centroid_distance<M>(nd.left, q);
    const double dr = centroid_distance<M>(nd.right, q);
    if (dr < dl) {
        knn_visit<M>(nd.right, dr, q, heap);
        knn_visit<M>(nd.left, dl, q, heap);
    } else {
        knn_visit<M>(nd.left, dl, q, heap);
        knn_visit<M>(nd.right, dr, q, heap);
    }
}

void BallTree::knn_search(const double* q, std::size_t query_len, std::size_t k, KnnHeap& heap) const {
    check_query_length(query_len, dim_);
    heap.reset(k, n_points_);
    if (k == 0 || n_points_ == 0) return;
    with_metric(metric_, [&](auto m) {
        using M = decltype(m);
        knn_visit<M>(0, centroid_distance<M>(0, q), q, heap);
        heap.finish<M>();
    });
}

std::vector<std::size_t> BallTree::query_knn(const std::vector<double>& q, std::size_t k) const {
    KnnHeap heap;
    knn_search(q.data(), q.size(), k, heap);
    std::vector<std::size_t> rows;
    rows.reserve(heap.size());
    for (const Neighbor& c : heap.items()) rows.push_back(c.row);
    return rows;
}

template <class M>
void BallTree::radius_visit(std::size_t id, const double* q, double radius, double rlimit,
                            std::vector<std::size_t>& out) const {
    const BallNode& nd = nodes_[id];
    if (bound_from(centroid_distance<M>(id, q), nd.radius) > radius) return;
    if (nd.left == kNoNode) {
        const double* x = points_.data() + nd.start * dim_;
        for (std::size_t p = nd.start; p < nd.end; ++p, x += dim_) {
            if (M::rdist(q, x, dim_) <= rlimit) out.push_back(order_[p]);
        }
        return;
    }
    radius_visit<M>(nd.left, q, radius, rlimit, out);
    radius_visit<M>(nd.right, q, radius, rlimit, out);
}

void BallTree::radius_search(const double* q, std::size_t query_len, double radius,
                             std::vector<std::size_t>& out) const {
    check_query_length(query_len, dim_);
    if (!(radius >= 0.0) || n_points_ == 0) return;
    with_metric(metric_, [&](auto m) {
        using M = decltype(m);
        radius_visit<M>(0, q, radius, M::rdist_within(radius), out);
    });
}

std::vector<std::size_t> BallTree::query_radius(const std::vector<double>& q, double radius) const {
    std::vector<std::size_t> out;
    radius_search(q.data(), q.size(), radius, out);
    return out;
}

}  // namespace lumi
