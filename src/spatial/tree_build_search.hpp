// The engine's build and search (tree.hpp), included by the file of each kind,
// which instantiates SpatialTree<Kind> once.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <vector>

#include "base/cancel.hpp"
#include "base/parallel.hpp"
#include "spatial/tree.hpp"

namespace lumi {

template <class Kind>
struct SpatialTree<Kind>::Builder {
    SpatialTree& t;
    RowStore& rows;
    std::size_t leaf;   // effective leaf size, at least 1
    std::size_t grain;  // see node
    typename Kind::BuildState state;

    std::size_t node_count(std::size_t count) const {
        if (Kind::kNoCoordinatesOneLeaf && t.dim_ == 0) return 1;
        return subtree_node_count(count, leaf, Kind::left_count);
    }

    // The subtree over [start, end) with root id.  With `tasks` set, ranges
    // of up to grain points are left there instead, to be built later.
    template <class M>
    void node(std::size_t id, std::size_t start, std::size_t end, std::vector<double>& scratch,
              std::vector<SubtreeTask>* tasks = nullptr) {
        if (end - start >= 4096) check_cancel();
        if (tasks && end - start <= grain) {
            tasks->push_back({id, start, end});
            return;
        }
        Node& nd = t.nodes_[id];
        if (!Kind::template make_node<M>(*this, nd, id, start, end, scratch)) return;
        const std::size_t mid = start + Kind::left_count(end - start);
        nd.right = id + 1 + node_count(mid - start);
        node<M>(id + 1, start, mid, scratch, tasks);
        node<M>(nd.right, mid, end, scratch, tasks);
    }

    // The top of the tree down to the subtrees of up to grain points, which
    // are left in `tasks`.  The root is made on this thread; when both of its
    // halves are larger than the grain, their tops are made side by side on
    // the pool (disjoint ranges and node ids, so the tree is the same).
    template <class M>
    void top(std::size_t n, std::vector<SubtreeTask>& tasks) {
        std::vector<double> scratch;
        if (n <= grain) {
            node<M>(0, 0, n, scratch, &tasks);
            return;
        }
        if (n >= 4096) check_cancel();
        Node& root = t.nodes_[0];
        if (!Kind::template make_node<M>(*this, root, 0, 0, n, scratch)) return;
        const std::size_t mid = Kind::left_count(n);
        root.right = 1 + node_count(mid);
        std::vector<SubtreeTask> side[2];
        const SubtreeTask halves[2] = {{1, 0, mid}, {root.right, mid, n}};
        auto half = [&](std::size_t i, std::vector<double>& s) {
            node<M>(halves[i].id, halves[i].start, halves[i].end, s, &side[i]);
        };
        if (mid > grain && n - mid > grain && worker_count() > 1) {
            parallel_for(2, 1, [&](std::size_t b, std::size_t e) {
                std::vector<double> own;
                for (std::size_t i = b; i < e; ++i) half(i, own);
            });
        } else {
            half(0, scratch);
            half(1, scratch);
        }
        tasks = std::move(side[0]);
        tasks.insert(tasks.end(), side[1].begin(), side[1].end());
    }
};

// Whether prepare_search keeps the compact copy of a tree's nodes (a copy
// that may take as much memory as the tree's points, no more: trees of very
// small leaves search their full nodes), and the split copy.
template <class Kind>
bool keeps_compact_nodes(std::size_t n_points, std::size_t dim, std::size_t n_nodes) noexcept {
    if constexpr (kind_has_compact_nodes<Kind>()) {
        constexpr std::size_t kLimit = std::numeric_limits<std::uint32_t>::max();
        const bool fits = n_nodes * sizeof(typename Kind::CompactNode) <= n_points * dim * sizeof(double);
        return dim >= 1 && dim <= kCompactMaxDim && n_points < kLimit && n_nodes < kLimit && fits;
    } else {
        return false;
    }
}

template <class Kind>
bool keeps_split_nodes(std::size_t n_points, std::size_t dim, std::size_t n_nodes) noexcept {
    if constexpr (kind_has_split_nodes<Kind>()) {
        constexpr std::size_t kLimit = std::numeric_limits<std::uint32_t>::max();
        return n_points < kLimit && n_nodes < kLimit && dim < SplitNode::kSplitNan;
    } else {
        return false;
    }
}

template <class Kind>
SpatialTree<Kind> SpatialTree<Kind>::from_ndarray(const ArrayF64& points, std::size_t leaf_size, DistanceMetric metric,
                                                  Options options) {
    check_points_shape(points.ndim());
    return build(points.data.data(), points.shape[0], points.shape[1], leaf_size, metric, options);
}

template <class Kind>
SpatialTree<Kind> SpatialTree<Kind>::build(const double* points, std::size_t n_points, std::size_t dim,
                                           std::size_t leaf_size, DistanceMetric metric, Options options) {
    Kind::check_build(n_points, options);
    SpatialTree t;
    t.n_points_ = n_points;
    t.dim_ = dim;
    t.leaf_size_ = leaf_size;
    t.metric_ = metric;
    t.options_ = options;
    t.slack_ = triangle_slack(dim);
    RowStore rows(n_points, dim);
    std::vector<SubtreeTask> tasks;
    Builder b{t, rows, leaf_size < 1 ? 1 : leaf_size, subtree_task_grain(n_points), {}};
    const std::size_t total = b.node_count(n_points);
    // Everything the tree will hold is reserved first and its pages mapped
    // on the pool, then written.
    t.nodes_.reserve(total);
    t.values_.reserve(total * Kind::kValuesPerDim * dim);
    if (keeps_compact_nodes<Kind>(n_points, dim, total)) t.compact_.reserve(total);
    if (keeps_split_nodes<Kind>(n_points, dim, total)) t.split_nodes_.reserve(total);
    const MemorySpan fresh[] = {rows.rows_span(), rows.order_span(), capacity_span(t.nodes_),
                                capacity_span(t.values_), capacity_span(t.compact_), capacity_span(t.split_nodes_)};
    populate_pages(fresh, std::size(fresh));
    rows.fill(points);
    t.nodes_.resize(total);
    t.values_.resize(total * Kind::kValuesPerDim * dim);
    Kind::start_build(b.state, total);
    // The top of the tree first, then the subtrees below on the pool.
    with_metric(metric, [&](auto m) {
        using M = decltype(m);
        b.template top<M>(n_points, tasks);
        run_subtree_tasks(tasks, [](void* ctx, const SubtreeTask& task) {
            std::vector<double> task_scratch;
            static_cast<Builder*>(ctx)->template node<M>(task.id, task.start, task.end, task_scratch);
        }, &b);
    });
    t.points_ = rows.take_rows();
    t.order_ = rows.take_order();
    Kind::finish_build(t, b.state);
    t.prepare_search();
    return t;
}

template <class Kind>
void SpatialTree<Kind>::prepare_search() {
    split_nodes_.clear();
    compact_.clear();
    if constexpr (kind_has_compact_nodes<Kind>()) {
        if (keeps_compact_nodes<Kind>(n_points_, dim_, nodes_.size())) {
            compact_.resize(nodes_.size());
            for (std::size_t i = 0; i < nodes_.size(); ++i) {
                if ((i & 0xffff) == 0) cancel_tick();
                const Node& nd = nodes_[i];
                CompactNode& c = compact_[i];
                c.start = static_cast<std::uint32_t>(nd.start);
                c.end = static_cast<std::uint32_t>(nd.end);
                c.right = nd.leaf() ? 0u : static_cast<std::uint32_t>(nd.right);
                Kind::fill_compact(*this, i, c);
            }
        }
    }
    if constexpr (kind_has_split_nodes<Kind>()) {
        if (!keeps_split_nodes<Kind>(n_points_, dim_, nodes_.size())) return;
        split_nodes_.resize(nodes_.size());
        for (std::size_t i = 0; i < nodes_.size(); ++i) {
            if ((i & 0xffff) == 0) cancel_tick();
            const Node& nd = nodes_[i];
            SplitNode& s = split_nodes_[i];
            s.dim_and_nan = (nd.has_nan ? SplitNode::kSplitNan : 0u);
            if (nd.leaf()) {
                s.range[0] = static_cast<std::uint32_t>(nd.start);
                s.range[1] = static_cast<std::uint32_t>(nd.end);
                s.right = 0;
            } else {
                s.split_value = nd.split_value;
                s.right = static_cast<std::uint32_t>(nd.right);
                s.dim_and_nan |= static_cast<std::uint32_t>(nd.split_dim);
            }
        }
    }
}

// Whether the result set skips a node of lower bound b (reduced or not, as
// the walk measures it).
template <class W, class R>
inline bool prunes(const R& res, double b) noexcept {
    return res.template prunes<W::kReducedBound>(b);
}

// Radius searches scan a node whose children are two small leaves in one go,
// without the children's bounds: their points are listed in storage order,
// the order the two visits would give, and a bound only ever spares points
// that are not within the radius.  Deciding about each leaf costs more than
// its few distances.
inline constexpr std::size_t kTwigPoints = 64;

// One node whose bound did not prune it.  A leaf hands its points to the
// result set in storage order; an internal node visits its children in the
// walk's order, testing each child's bound just before its visit (so the
// second child is tested against the results the first one left).
//
// `nodes` is the full node array, or the compact copy (with the kind's
// CompactWalk): the same fields under the same names.
template <class Kind>
template <class M, class W, class R, class N>
void SpatialTree<Kind>::visit(const N* nodes, W& walk, std::size_t id, typename W::State st, R& res) const {
    const N& nd = nodes[id];
    if (nd.leaf()) {
        cancel_tick();
        const std::size_t dim = fixed_dim<M>(dim_);
        const std::size_t start = nd.start;
        scan_leaf<M>(res, walk.q, points_.data() + start * dim, start, nd.end, dim, order_.data());
        return;
    }
    if constexpr (!R::kOrdered) {
        if (nodes[id + 1].leaf() && nodes[nd.right].leaf() && nd.end - nd.start <= kTwigPoints) {
            cancel_tick();
            const std::size_t dim = fixed_dim<M>(dim_);
            const std::size_t start = nd.start;
            scan_leaf<M>(res, walk.q, points_.data() + start * dim, start, nd.end, dim, order_.data());
            return;
        }
    }
    // The right child's record lies past the whole left subtree.
    __builtin_prefetch(nodes + nd.right);
    auto split = walk.template split<R::kOrdered>(id, nd, st);
    // The near child of a kNN step may share its parent's tested bound.
    const typename W::State first = walk.enter(split, 0, st);
    if ((R::kOrdered && W::kNearChildShared) || !prunes<W>(res, walk.bound(split.child[0], first))) {
        visit<M>(nodes, walk, split.child[0], first, res);
    }
    const typename W::State second = walk.enter(split, 1, st);
    if (!prunes<W>(res, walk.bound(split.child[1], second))) visit<M>(nodes, walk, split.child[1], second, res);
    walk.leave(split);
}

// visit over the split nodes: the same visits in the same order, reading
// 16 bytes per node instead of the full record.
template <class Kind>
template <class M, class W, class R>
void SpatialTree<Kind>::visit_split(W& walk, std::uint32_t id, R& res) const {
    const SplitNode* nodes = split_nodes_.data();
    const SplitNode& nd = nodes[id];
    if (nd.leaf()) {
        cancel_tick();
        const std::size_t dim = fixed_dim<M>(dim_);
        const std::size_t start = nd.range[0];
        scan_leaf<M>(res, walk.q, points_.data() + start * dim, start, nd.range[1], dim, order_.data());
        return;
    }
    if constexpr (!R::kOrdered) {
        const SplitNode& c0 = nodes[id + 1];
        const SplitNode& c1 = nodes[nd.right];
        if (c0.leaf() && c1.leaf() && c1.range[1] - c0.range[0] <= kTwigPoints) {
            cancel_tick();
            const std::size_t dim = fixed_dim<M>(dim_);
            const std::size_t start = c0.range[0];
            scan_leaf<M>(res, walk.q, points_.data() + start * dim, start, c1.range[1], dim, order_.data());
            return;
        }
    }
    if constexpr (R::kOrdered && W::kNearChildShared) {
        // kNN over two small leaves: the nearer one, then the other without
        // its bound (a leaf the bound would skip offers no point that the
        // heap takes).
        const SplitNode& c0 = nodes[id + 1];
        const SplitNode& c1 = nodes[nd.right];
        if (c0.leaf() && c1.leaf() && c1.range[1] - c0.range[0] <= kTwigPoints) {
            cancel_tick();
            const std::size_t dim = fixed_dim<M>(dim_);
            const bool swap = !(nd.split_value >= walk.q[nd.split_dim()]);
            const SplitNode& a = swap ? c1 : c0;
            const SplitNode& b = swap ? c0 : c1;
            scan_leaf<M>(res, walk.q, points_.data() + std::size_t{a.range[0]} * dim, a.range[0], a.range[1], dim,
                         order_.data());
            scan_leaf<M>(res, walk.q, points_.data() + std::size_t{b.range[0]} * dim, b.range[0], b.range[1], dim,
                         order_.data());
            return;
        }
    }
    if constexpr (R::kOrdered && W::kNearChildShared) {
        // kNN: the near child keeps the parent's gaps (and bound); the far
        // child's gap along the split coordinate is worked out only once the
        // near side is done.
        const std::size_t sd = nd.split_dim();
        const double sv = nd.split_value;
        const bool swap = !(sv >= walk.q[sd]);
        const std::uint32_t left = id + 1;
        const std::uint32_t right = nd.right;
        __builtin_prefetch(nodes + right);
        visit_split<M>(walk, swap ? right : left, res);
        const std::uint32_t far = swap ? left : right;
        const double old = walk.far_gap_enter(sd, sv);
        if (!prunes<W>(res, walk.gap_bound(nodes[far].has_nan()))) visit_split<M>(walk, far, res);
        walk.gap_leave(sd, old);
        return;
    }
    __builtin_prefetch(nodes + nd.right);
    auto split = walk.template split_at<R::kOrdered>(id, nd.right, nd.split_dim(), nd.split_value);
    walk.enter(split, 0, {});
    if ((R::kOrdered && W::kNearChildShared) ||
        !prunes<W>(res, walk.gap_bound(nodes[split.child[0]].has_nan()))) {
        visit_split<M>(walk, static_cast<std::uint32_t>(split.child[0]), res);
    }
    walk.enter(split, 1, {});
    if (!prunes<W>(res, walk.gap_bound(nodes[split.child[1]].has_nan()))) {
        visit_split<M>(walk, static_cast<std::uint32_t>(split.child[1]), res);
    }
    walk.leave(split);
}

// The reference route's visit: over the full nodes, every child's bound
// tested, the points of a leaf one by one into the result set.
template <class Kind>
template <class M, class W, class R>
void SpatialTree<Kind>::visit_plain(W& walk, std::size_t id, typename W::State st, R& res) const {
    const Node& nd = nodes_[id];
    if (nd.leaf()) {
        cancel_tick();
        for (std::size_t p = nd.start; p < nd.end; ++p) res.add(M::rdist(walk.q, row(p), dim_), p, order_.data());
        return;
    }
    auto split = walk.template split<R::kOrdered>(id, nd, st);
    for (int i = 0; i < 2; ++i) {
        const typename W::State child = walk.enter(split, i, st);
        if (!prunes<W>(res, walk.bound(split.child[i], child))) visit_plain<M>(walk, split.child[i], child, res);
    }
    walk.leave(split);
}

template <class Kind>
template <class M, class R>
void SpatialTree<Kind>::search(const double* q, R& res) const {
    if (reference_route()) {
        using W = typename Kind::template Walk<M>;
        W walk(*this, q);
        const auto st = walk.root();
        if (!prunes<W>(res, walk.bound(0, st))) visit_plain<M>(walk, 0, st, res);
        return;
    }
    if constexpr (kind_has_compact_nodes<Kind>() && M::kDim != 0) {
        if (!compact_.empty()) {
            using CW = typename Kind::template CompactWalk<M>;
            CW cwalk(*this, q);
            const auto cst = cwalk.root();
            if (!prunes<CW>(res, cwalk.bound(0, cst))) visit<M>(compact_.data(), cwalk, 0, cst, res);
            return;
        }
    }
    using W = typename Kind::template Walk<M>;
    W walk(*this, q);
    const auto st = walk.root();
    if constexpr (kind_has_split_nodes<Kind>()) {
        if (!split_nodes_.empty()) {
            if (!prunes<W>(res, walk.gap_bound(split_nodes_[0].has_nan()))) visit_split<M>(walk, 0, res);
            return;
        }
    }
    if (!prunes<W>(res, walk.bound(0, st))) visit<M>(nodes_.data(), walk, 0, st, res);
}

// The k <= SortedKnn::kMax nearest neighbours of q kept sorted: on success
// size(n) and then put(j, distance, input row) for j < n; false (nothing
// handed over) for an answer the heap could give otherwise (SortedKnn).
template <class Kind>
template <class M, class Size, class Put>
bool SpatialTree<Kind>::knn_sorted(const double* q, std::size_t k, SortedKnn& sorted, Size&& size, Put&& put) const {
    sorted.reset(k);
    KnnResults<M, SortedKnn> res{sorted};
    search<M>(q, res);
    return sorted.template finish<M>(order_.data(), size, put);
}

template <class Kind>
void SpatialTree<Kind>::knn_search(const double* q, std::size_t query_len, std::size_t k, KnnHeap& heap) const {
    check_query_length(query_len, dim_);
    heap.reset(k, n_points_);
    if (k == 0 || n_points_ == 0) return;
    with_metric_dim(metric_, dim_, [&](auto m) {
        using M = decltype(m);
        if (k <= SortedKnn::kMax && !reference_route()) {  // the heap again only for an answer with ties
            SortedKnn sorted;
            std::span<Neighbor> out;
            if (knn_sorted<M>(q, k, sorted, [&](std::size_t n) { out = heap.finished(n); },
                              [&](std::size_t j, double dj, std::size_t rj) { out[j] = {dj, rj}; })) {
                return;
            }
            heap.reset(k, n_points_);
        }
        KnnResults<M> res{heap};
        search<M>(q, res);
        heap.finish<M>(order_.data());
    });
}

template <class Kind>
void SpatialTree<Kind>::radius_search(const double* q, std::size_t query_len, double radius,
                                      std::vector<std::size_t>& out) const {
    check_query_length(query_len, dim_);
    if (!(radius >= 0.0) || n_points_ == 0) return;
    with_metric_dim(metric_, dim_, [&](auto m) {
        using M = decltype(m);
        RadiusRows<M> res{{radius, M::rdist_within(radius)}, out};
        search<M>(q, res);
    });
}

template <class Kind>
std::size_t SpatialTree<Kind>::radius_count(const double* q, std::size_t query_len, double radius) const {
    check_query_length(query_len, dim_);
    if (!(radius >= 0.0) || n_points_ == 0) return 0;
    std::size_t n = 0;
    with_metric_dim(metric_, dim_, [&](auto m) {
        using M = decltype(m);
        RadiusCount<M> res{{radius, M::rdist_within(radius)}};
        search<M>(q, res);
        n = res.count;
    });
    return n;
}

// How many rows ahead the batch pieces prefetch their query row.
inline constexpr std::size_t kRowsAhead = 4;

// Calls f(policy, i, row i, ahead) for the rows ids[begin..end) (begin..end
// when ids is null), with the metric and dimension dispatched once; `ahead`
// is a row that comes a few later (kNoNode near the end), whose query row is
// fetched already: rows come in curve order, scattered over the set.
template <class Kind>
template <class F>
void SpatialTree<Kind>::each_row(const double* queries, const std::size_t* ids, std::size_t begin, std::size_t end,
                                 F&& f) const {
    with_metric_dim(metric_, dim_, [&](auto m) {
        for (std::size_t p = begin; p < end; ++p) {
            const std::size_t i = ids ? ids[p] : p;
            std::size_t ahead = kNoNode;
            if (ids && p + kRowsAhead < end) {
                ahead = ids[p + kRowsAhead];
                __builtin_prefetch(queries + ahead * dim_);
            }
            f(m, i, queries + i * dim_, ahead);
        }
    });
}

template <class Kind>
void SpatialTree<Kind>::knn_rows(const double* queries, const std::size_t* ids, std::size_t begin, std::size_t end,
                                 std::size_t k, KnnHeap& heap, double* dist, std::int64_t* rows) const {
    const auto pad_row = static_cast<std::int64_t>(n_points_);
    // A small k searches with SortedKnn first, and again with the heap when
    // the answer has ties; a run of rows where that happens often (data
    // full of equal distances) goes straight to the heap.
    SortedKnn sorted;
    std::size_t tried = 0, refused = 0;
    each_row(queries, ids, begin, end, [&](auto m, std::size_t i, const double* q, std::size_t ahead) {
        using M = decltype(m);
        if (ahead != kNoNode && k != 0) {  // the ends of the answer rows, for writing
            __builtin_prefetch(dist + ahead * k, 1);
            __builtin_prefetch(dist + ahead * k + k - 1, 1);
            __builtin_prefetch(rows + ahead * k, 1);
            __builtin_prefetch(rows + ahead * k + k - 1, 1);
        }
        double* d = dist + i * k;
        std::int64_t* r = rows + i * k;
        std::size_t found_count = 0;
        bool done = false;
        if (k != 0 && n_points_ != 0 && k <= SortedKnn::kMax && refused * 4 <= tried + 16 && !reference_route()) {
            ++tried;
            done = knn_sorted<M>(q, k, sorted, [&](std::size_t n) { found_count = n; },
                                 [&](std::size_t j, double dj, std::size_t rj) {
                                     d[j] = dj;
                                     r[j] = static_cast<std::int64_t>(rj);
                                 });
            if (!done) ++refused;
        }
        if (!done && k != 0 && n_points_ != 0) {
            heap.reset(k, n_points_);
            KnnResults<M> res{heap};
            search<M>(q, res);
            const auto& found = heap.template finish<M>(order_.data());
            found_count = found.size();
            for (std::size_t j = 0; j < found_count; ++j) {
                d[j] = found[j].dist;
                r[j] = static_cast<std::int64_t>(found[j].row);
            }
        }
        for (std::size_t j = found_count; j < k; ++j) {
            d[j] = std::numeric_limits<double>::infinity();
            r[j] = pad_row;
        }
    });
}

template <class Kind>
void SpatialTree<Kind>::radius_count_rows(const double* queries, const std::size_t* ids, std::size_t begin,
                                          std::size_t end, double radius, std::int64_t* counts) const {
    const bool none = !(radius >= 0.0) || n_points_ == 0;
    const double rlimit = with_metric(metric_, [&](auto m) { return decltype(m)::rdist_within(radius); });
    each_row(queries, ids, begin, end, [&](auto m, std::size_t i, const double* q, std::size_t) {
        RadiusCount<decltype(m)> res{{radius, rlimit}};
        if (!none) search<decltype(m)>(q, res);
        counts[i] = static_cast<std::int64_t>(res.count);
    });
}

template <class Kind>
void SpatialTree<Kind>::radius_rows(const double* queries, const std::size_t* ids, std::size_t begin,
                                    std::size_t end, double radius, std::vector<std::size_t>& found,
                                    std::size_t* first, std::size_t* count) const {
    const bool none = !(radius >= 0.0) || n_points_ == 0;
    const double rlimit = with_metric(metric_, [&](auto m) { return decltype(m)::rdist_within(radius); });
    each_row(queries, ids, begin, end, [&](auto m, std::size_t i, const double* q, std::size_t) {
        first[i] = found.size();
        if (!none) {
            RadiusRows<decltype(m)> res{{radius, rlimit}, found};
            search<decltype(m)>(q, res);
        }
        count[i] = found.size() - first[i];
    });
}

}  // namespace lumi
