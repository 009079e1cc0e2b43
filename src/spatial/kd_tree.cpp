// KDTree construction and the k-nearest and radius searches.
#include "spatial/kd_tree.hpp"

#include <limits>

#include "array/format.hpp"
#include "base/messages.hpp"

namespace lumi {

void KDTree::throw_reversed_box(double lo, double hi) {
    std::string lo_text, hi_text;
    append_float(lo_text, lo);
    append_float(hi_text, hi);
    throw Error(msg::reversed_box(lo_text, hi_text));
}

struct KDTree::Builder {
    KDTree& t;
    RowStore& rows;
    std::size_t leaf;                  // effective leaf size, at least 1
    std::size_t grain;                 // see tasks
    std::vector<SubtreeTask>* tasks;   // when set, ranges of up to grain points are left here

    static std::size_t half(std::size_t count) { return count / 2; }
    std::size_t node_count(std::size_t count) const {
        return t.dim_ == 0 ? 1 : subtree_node_count(count, leaf, half);
    }

    void node(std::size_t id, std::size_t start, std::size_t end, std::vector<double>& keys) {
        if (tasks && end - start <= grain) {
            tasks->push_back({id, start, end});
            return;
        }
        const std::size_t dim = t.dim_;
        double* lo = t.bounds_.data() + 2 * dim * id;
        double* hi = lo + dim;
        // NaN values never enter the box.
        const bool has_nan = bounding_box(rows.row(start), end - start, dim, lo, hi);
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
        KDNode& nd = t.nodes_[id];
        nd = {start, end, kNoNode, kNoNode, split_dim, 0.0, has_nan};
        const std::size_t count = end - start;
        // A one-point range is a leaf whatever leaf_size says, and so is
        // every range of zero-coordinate points (nothing to split on).
        if (count <= leaf || dim == 0) return;

        if (keys.size() < count) keys.resize(count);
        for (std::size_t j = 0; j < count; ++j) {
            const double v = rows.row(start + j)[split_dim];
            if (v != v) throw_nan_split();
            keys[j] = v;
        }
        const std::size_t h = half(count);
        rows.select(start, end, h, keys.data());
        const std::size_t mid = start + h;
        nd.split_value = rows.row(mid)[split_dim];
        nd.left = id + 1;
        nd.right = id + 1 + node_count(h);
        node(nd.left, start, mid, keys);
        node(nd.right, mid, end, keys);
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
    RowStore rows(points, n_points, dim);
    std::vector<SubtreeTask> tasks;
    Builder b{t, rows, leaf_size < 1 ? 1 : leaf_size, subtree_task_grain(n_points), &tasks};
    const std::size_t total = b.node_count(n_points);
    t.nodes_.resize(total);
    t.bounds_.resize(total * 2 * dim);
    // The top of the tree on this thread, the subtrees below on the pool.
    std::vector<double> keys;
    b.node(0, 0, n_points, keys);
    b.tasks = nullptr;
    run_subtree_tasks(tasks, [](void* ctx, const SubtreeTask& task) {
        std::vector<double> task_keys;
        static_cast<Builder*>(ctx)->node(task.id, task.start, task.end, task_keys);
    }, &b);
    t.points_ = rows.take_rows();
    t.order_ = rows.take_order();
    return t;
}

// The searches track, per coordinate, how far the query lies outside the
// region of the current node: the root's box, narrowed at every split (the
// left child's points are <= split_value along split_dim, the right child's
// >= it).  A child's lower bound then needs no read of its box.  Like the
// box bound it never exceeds a true distance: each step is monotone under
// rounding.
template <class M>
double KDTree::region_rdist(std::size_t id, const double* gaps) const noexcept {
    if (M::id == DistanceMetric::Chebyshev && nodes_[id].has_nan) return 0.0;
    const std::size_t dim = fixed_dim<M>(dim_);
    double acc = 0.0;
    for (std::size_t i = 0; i < dim; ++i) acc = M::add(acc, gaps[i]);
    return acc;
}

// Visits a node whose region may hold a candidate: the near child shares the
// node's bound, the far child is tested after the near one has run.
template <class M>
void KDTree::knn_visit(std::size_t id, const double* q, double* gaps, KnnHeap& heap) const {
    const KDNode& nd = nodes_[id];
    if (nd.left == kNoNode) {
        const std::size_t dim = fixed_dim<M>(dim_);
        const double* x = points_.data() + nd.start * dim;
        for (std::size_t p = nd.start; p < nd.end; ++p, x += dim) {
            heap.offer<M>(M::rdist(q, x, dim), order_[p]);
        }
        return;
    }
    const std::size_t sd = nd.split_dim;
    const double sv = nd.split_value, qs = q[sd], old = gaps[sd];
    if (sv >= qs) {
        knn_visit<M>(nd.left, q, gaps, heap);
        gaps[sd] = qs < sv ? sv - qs : old;
        if (!(heap.full() && region_rdist<M>(nd.right, gaps) > heap.worst())) knn_visit<M>(nd.right, q, gaps, heap);
    } else {
        knn_visit<M>(nd.right, q, gaps, heap);
        gaps[sd] = qs > sv ? qs - sv : old;
        if (!(heap.full() && region_rdist<M>(nd.left, gaps) > heap.worst())) knn_visit<M>(nd.left, q, gaps, heap);
    }
    gaps[sd] = old;
}

// Per-coordinate distances from q to the root's box.
void KDTree::root_gaps(const double* q, double* gaps) const noexcept {
    const double* lo = min_bounds(0);
    const double* hi = max_bounds(0);
    for (std::size_t i = 0; i < dim_; ++i) gaps[i] = box_gap(q[i], lo[i], hi[i]);
}

void KDTree::knn_search(const double* q, std::size_t query_len, std::size_t k, KnnHeap& heap) const {
    check_query_length(query_len, dim_);
    heap.reset(k, n_points_);
    if (k == 0 || n_points_ == 0) return;
    with_metric_dim(metric_, dim_, [&](auto m) {
        using M = decltype(m);
        GapBuffer gaps(dim_);
        root_gaps(q, gaps.data());
        knn_visit<M>(0, q, gaps.data(), heap);
        heap.finish<M>();
    });
}

// Visits a node whose region lies (possibly) within the radius.
template <class M>
void KDTree::radius_visit(std::size_t id, const double* q, double rlimit, double* gaps,
                          std::vector<std::size_t>& out) const {
    const KDNode& nd = nodes_[id];
    if (nd.left == kNoNode) {
        const std::size_t dim = fixed_dim<M>(dim_);
        const double* x = points_.data() + nd.start * dim;
        for (std::size_t p = nd.start; p < nd.end; ++p, x += dim) {
            if (M::rdist(q, x, dim) <= rlimit) out.push_back(order_[p]);
        }
        return;
    }
    const std::size_t sd = nd.split_dim;
    const double sv = nd.split_value, qs = q[sd], old = gaps[sd];
    // The right child's record lies past the whole left subtree.
    __builtin_prefetch(&nodes_[nd.right]);
    gaps[sd] = qs > sv ? qs - sv : old;
    if (!(region_rdist<M>(nd.left, gaps) > rlimit)) radius_visit<M>(nd.left, q, rlimit, gaps, out);
    gaps[sd] = qs < sv ? sv - qs : old;
    if (!(region_rdist<M>(nd.right, gaps) > rlimit)) radius_visit<M>(nd.right, q, rlimit, gaps, out);
    gaps[sd] = old;
}

void KDTree::radius_search(const double* q, std::size_t query_len, double radius,
                           std::vector<std::size_t>& out) const {
    check_query_length(query_len, dim_);
    if (!(radius >= 0.0) || n_points_ == 0) return;
    with_metric_dim(metric_, dim_, [&](auto m) {
        using M = decltype(m);
        const double rlimit = M::rdist_within(radius);
        GapBuffer gaps(dim_);
        root_gaps(q, gaps.data());
        if (!(region_rdist<M>(0, gaps.data()) > rlimit)) radius_visit<M>(0, q, rlimit, gaps.data(), out);
    });
}

}  // namespace lumi
