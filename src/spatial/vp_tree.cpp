// VPTree construction and the k-nearest and radius searches.
#include "spatial/vp_tree.hpp"

#include <limits>

#include "base/messages.hpp"
#include "random/generator.hpp"

namespace lumi {

std::optional<VantageSelection> selection_from_name(std::string_view s) {
    if (s == "first") return VantageSelection::First;
    if (s == "random") return VantageSelection::Random;
    return std::nullopt;
}

struct VPTree::Builder {
    VPTree& t;
    RowStore& rows;
    std::size_t leaf;                         // effective leaf size, at least 1
    std::size_t grain;                        // see tasks
    std::vector<SubtreeTask>* tasks;          // when set, ranges of up to grain points are left here
    std::vector<std::size_t>& vantage_rows;   // input row of each node's vantage point

    // Points of the inside child of a node over `count` points.
    static std::size_t inside(std::size_t count) { return 1 + (count - 1) / 2; }
    std::size_t node_count(std::size_t count) const { return subtree_node_count(count, leaf, inside); }

    template <class M>
    void node(std::size_t id, std::size_t start, std::size_t end, std::vector<double>& dists) {
        if (tasks && end - start <= grain) {
            tasks->push_back({id, start, end});
            return;
        }
        const std::size_t dim = t.dim_;
        const std::size_t count = end - start;
        std::size_t v = start;
        if (t.selection_ == VantageSelection::Random) {
            // A fresh clock-seeded generator for this node alone.
            Generator g = Generator::from_clock();
            const auto draw = g.randint(static_cast<std::int64_t>(start), static_cast<std::int64_t>(end), Shape{});
            v = static_cast<std::size_t>(draw.data[0]);
        }
        rows.swap(start, v);
        const double* vp = rows.row(start);
        // Chebyshev distances pass over NaN coordinates, which breaks the
        // triangle inequality: such a node gets no distance bound.
        bool has_nan = false;
        if constexpr (M::id == DistanceMetric::Chebyshev) {
            for (std::size_t i = 0; i < dim; ++i) has_nan |= vp[i] != vp[i];
        }

        // Distances from the vantage point to the other points.
        const double inf = std::numeric_limits<double>::infinity();
        const std::size_t w = count - 1;
        if (dists.size() < w) dists.resize(w);
        double min_dist = inf, max_dist = -inf;
        for (std::size_t j = 0; j < w; ++j) {
            const double* x = rows.row(start + 1 + j);
            if constexpr (M::id == DistanceMetric::Chebyshev) {
                for (std::size_t i = 0; i < dim; ++i) has_nan |= x[i] != x[i];
            }
            const double d = M::from_rdist(M::rdist(x, vp, dim));
            if (d < min_dist) min_dist = d;
            if (d > max_dist) max_dist = d;
            // NaN distances rank after every number in the selection.
            dists[j] = d == d ? d : inf;
        }
        const std::size_t half = w / 2;
        double threshold = 0.0;
        if (w > 0) {
            rows.select(start + 1, end, half, dists.data());
            threshold = dists[half];
            if (w % 2 == 0) {
                double below = -inf;
                for (std::size_t j = 0; j < half; ++j) below = std::max(below, dists[j]);
                threshold = (below + threshold) * 0.5;
            }
        }
        VPNode& nd = t.nodes_[id];
        nd = {start, end, kNoNode, kNoNode, 0, threshold, min_dist, max_dist, has_nan};
        vantage_rows[id] = rows.row_number(start);
        // A one-point node is a leaf whatever leaf_size says.
        if (count <= leaf) return;
        const std::size_t split = start + inside(count);
        nd.left = id + 1;
        nd.right = id + 1 + node_count(inside(count));
        node<M>(nd.left, start, split, dists);
        node<M>(nd.right, split, end, dists);
    }
};

VPTree VPTree::from_ndarray(const ArrayF64& points, std::size_t leaf_size, DistanceMetric metric,
                            VantageSelection selection) {
    check_points_shape(points.ndim());
    return build(points.data.data(), points.shape[0], points.shape[1], leaf_size, metric, selection);
}

VPTree VPTree::build(const double* points, std::size_t n_points, std::size_t dim, std::size_t leaf_size,
                     DistanceMetric metric, VantageSelection selection) {
    if (n_points == 0) {
        if (selection == VantageSelection::Random) throw Error(msg::kLowNotBelowHigh);
        throw_index_error(0, 0);
    }
    VPTree t;
    t.n_points_ = n_points;
    t.dim_ = dim;
    t.leaf_size_ = leaf_size;
    t.metric_ = metric;
    t.selection_ = selection;
    t.slack_ = triangle_slack(dim);
    RowStore rows(points, n_points, dim);
    std::vector<SubtreeTask> tasks;
    std::vector<std::size_t> vantage_rows;
    Builder b{t, rows, leaf_size < 1 ? 1 : leaf_size, subtree_task_grain(n_points), &tasks, vantage_rows};
    const std::size_t total = b.node_count(n_points);
    t.nodes_.resize(total);
    vantage_rows.resize(total);
    // The top of the tree on this thread, the subtrees below on the pool.
    with_metric(metric, [&](auto m) {
        using M = decltype(m);
        std::vector<double> dists;
        b.node<M>(0, 0, n_points, dists);
        b.tasks = nullptr;
        run_subtree_tasks(tasks, [](void* ctx, const SubtreeTask& task) {
            std::vector<double> task_dists;
            static_cast<Builder*>(ctx)->node<M>(task.id, task.start, task.end, task_dists);
        }, &b);
    });
    t.points_ = rows.take_rows();
    t.order_ = rows.take_order();
    // Where each vantage point ended up: later swaps in the subtrees may
    // have moved it within the node's range.
    std::vector<std::size_t> position(n_points);
    for (std::size_t p = 0; p < n_points; ++p) position[t.order_[p]] = p;
    for (std::size_t i = 0; i < total; ++i) t.nodes_[i].vantage = position[vantage_rows[i]];
    return t;
}

template <class M>
void VPTree::knn_visit(std::size_t id, std::size_t parent_vantage, double parent_d, const double* q,
                       KnnHeap& heap) const {
    const VPNode& nd = nodes_[id];
    const std::size_t dim = fixed_dim<M>(dim_);
    const double d = nd.vantage == parent_vantage ? parent_d : vantage_distance<M>(id, q);
    if (heap.full() && bound_from(id, d) > M::from_rdist(heap.worst())) return;
    if (nd.left == kNoNode) {
        const double* x = points_.data() + nd.start * dim;
        for (std::size_t p = nd.start; p < nd.end; ++p, x += dim) {
            heap.offer<M>(M::rdist(q, x, dim), order_[p]);
        }
        return;
    }
    if (d < nd.threshold) {
        knn_visit<M>(nd.left, nd.vantage, d, q, heap);
        knn_visit<M>(nd.right, nd.vantage, d, q, heap);
    } else {
        knn_visit<M>(nd.right, nd.vantage, d, q, heap);
        knn_visit<M>(nd.left, nd.vantage, d, q, heap);
    }
}

void VPTree::knn_search(const double* q, std::size_t query_len, std::size_t k, KnnHeap& heap) const {
    check_query_length(query_len, dim_);
    heap.reset(k, n_points_);
    if (k == 0 || n_points_ == 0) return;
    with_metric_dim(metric_, dim_, [&](auto m) {
        using M = decltype(m);
        knn_visit<M>(0, kNoNode, 0.0, q, heap);
        heap.finish<M>();
    });
}

template <class M>
void VPTree::radius_visit(std::size_t id, std::size_t parent_vantage, double parent_d, const double* q,
                          double radius, double rlimit, std::vector<std::size_t>& out) const {
    const VPNode& nd = nodes_[id];
    const std::size_t dim = fixed_dim<M>(dim_);
    const double d = nd.vantage == parent_vantage ? parent_d : vantage_distance<M>(id, q);
    if (bound_from(id, d) > radius) return;
    if (nd.left == kNoNode) {
        const double* x = points_.data() + nd.start * dim;
        for (std::size_t p = nd.start; p < nd.end; ++p, x += dim) {
            if (M::rdist(q, x, dim) <= rlimit) out.push_back(order_[p]);
        }
        return;
    }
    radius_visit<M>(nd.left, nd.vantage, d, q, radius, rlimit, out);
    radius_visit<M>(nd.right, nd.vantage, d, q, radius, rlimit, out);
}

void VPTree::radius_search(const double* q, std::size_t query_len, double radius,
                           std::vector<std::size_t>& out) const {
    check_query_length(query_len, dim_);
    if (!(radius >= 0.0) || n_points_ == 0) return;
    with_metric_dim(metric_, dim_, [&](auto m) {
        using M = decltype(m);
        radius_visit<M>(0, kNoNode, 0.0, q, radius, M::rdist_within(radius), out);
    });
}

}  // namespace lumi
