// BallTree construction and the k-nearest and radius searches.
#include "spatial/ball_tree.hpp"

#include <limits>

namespace lumi {

struct BallTree::Builder {
    BallTree& t;
    RowStore& rows;
    std::size_t leaf;                  // effective leaf size, at least 1
    std::size_t grain;                 // see tasks
    std::vector<SubtreeTask>* tasks;   // when set, ranges of up to grain points are left here

    static std::size_t half(std::size_t count) { return count / 2; }
    std::size_t node_count(std::size_t count) const {
        return t.dim_ == 0 ? 1 : subtree_node_count(count, leaf, half);
    }

    template <class M>
    void node(std::size_t id, std::size_t start, std::size_t end, std::vector<double>& keys) {
        if (tasks && end - start <= grain) {
            tasks->push_back({id, start, end});
            return;
        }
        const std::size_t dim = t.dim_;
        const std::size_t count = end - start;
        double* c = t.centroids_.data() + dim * id;
        // Mean in position order (an empty range gives 0 / 0 = NaN).
        column_sums(rows.row(start), count, dim, c);
        const double n = static_cast<double>(count);
        for (std::size_t i = 0; i < dim; ++i) c[i] /= n;
        double radius = 0.0;
        for (std::size_t p = start; p < end; ++p) {
            const double d = M::from_rdist(M::rdist(rows.row(p), c, dim));
            if (d > radius) radius = d;
        }
        BallNode& nd = t.nodes_[id];
        nd = {start, end, kNoNode, kNoNode, radius};
        // A one-point range is a leaf whatever leaf_size says, and so is
        // every range of zero-coordinate points (nothing to split on).
        if (count <= leaf || dim == 0) return;

        // Coordinate of largest spread (NaN values skipped); ties keep the lowest.
        if (keys.size() < 2 * dim + count) keys.resize(2 * dim + count);
        double* lo = keys.data() + count;
        double* hi = lo + dim;
        bounding_box(rows.row(start), count, dim, lo, hi);
        std::size_t split_dim = 0;
        double best = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
            if (hi[i] - lo[i] > best) {
                best = hi[i] - lo[i];
                split_dim = i;
            }
        }
        for (std::size_t j = 0; j < count; ++j) {
            const double v = rows.row(start + j)[split_dim];
            if (v != v) throw_nan_split();
            keys[j] = v;
        }
        const std::size_t h = half(count);
        rows.select(start, end, h, keys.data());
        const std::size_t mid = start + h;
        nd.left = id + 1;
        nd.right = id + 1 + node_count(h);
        node<M>(nd.left, start, mid, keys);
        node<M>(nd.right, mid, end, keys);
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
    RowStore rows(points, n_points, dim);
    std::vector<SubtreeTask> tasks;
    Builder b{t, rows, leaf_size < 1 ? 1 : leaf_size, subtree_task_grain(n_points), &tasks};
    const std::size_t total = b.node_count(n_points);
    t.nodes_.resize(total);
    t.centroids_.resize(total * dim);
    // The top of the tree on this thread, the subtrees below on the pool.
    with_metric(metric, [&](auto m) {
        using M = decltype(m);
        std::vector<double> keys;
        b.node<M>(0, 0, n_points, keys);
        b.tasks = nullptr;
        run_subtree_tasks(tasks, [](void* ctx, const SubtreeTask& task) {
            std::vector<double> task_keys;
            static_cast<Builder*>(ctx)->node<M>(task.id, task.start, task.end, task_keys);
        }, &b);
    });
    t.points_ = rows.take_rows();
    t.order_ = rows.take_order();
    return t;
}

// d is the query's distance to this node's centroid (computed by the parent
// to order the children).
template <class M>
void BallTree::knn_visit(std::size_t id, double d, const double* q, KnnHeap& heap) const {
    const BallNode& nd = nodes_[id];
    const std::size_t dim = fixed_dim<M>(dim_);
    if (heap.full() && bound_from(d, nd.radius) > M::from_rdist(heap.worst())) return;
    if (nd.left == kNoNode) {
        const double* x = points_.data() + nd.start * dim;
        for (std::size_t p = nd.start; p < nd.end; ++p, x += dim) {
            heap.offer<M>(M::rdist(q, x, dim), order_[p]);
        }
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
    with_metric_dim(metric_, dim_, [&](auto m) {
        using M = decltype(m);
        knn_visit<M>(0, centroid_distance<M>(0, q), q, heap);
        heap.finish<M>();
    });
}

template <class M>
void BallTree::radius_visit(std::size_t id, const double* q, double radius, double rlimit,
                            std::vector<std::size_t>& out) const {
    const BallNode& nd = nodes_[id];
    const std::size_t dim = fixed_dim<M>(dim_);
    if (bound_from(centroid_distance<M>(id, q), nd.radius) > radius) return;
    if (nd.left == kNoNode) {
        const double* x = points_.data() + nd.start * dim;
        for (std::size_t p = nd.start; p < nd.end; ++p, x += dim) {
            if (M::rdist(q, x, dim) <= rlimit) out.push_back(order_[p]);
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
    with_metric_dim(metric_, dim_, [&](auto m) {
        using M = decltype(m);
        radius_visit<M>(0, q, radius, M::rdist_within(radius), out);
    });
}

}  // namespace lumi
