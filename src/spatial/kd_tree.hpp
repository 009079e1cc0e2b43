// KDTree: an axis-aligned k-d tree.  Every node keeps the bounding box of its
// points; an internal node splits its range at the median along the
// coordinate of largest spread.  Layout and query conventions: common.hpp.
#pragma once

#include <cstddef>
#include <vector>

#include "array/ndarray.hpp"
#include "spatial/common.hpp"

namespace lumi {

struct KDNode {
    std::size_t start;
    std::size_t end;
    std::size_t left;   // kNoNode in a leaf
    std::size_t right;  // kNoNode in a leaf
    std::size_t split_dim;
    double split_value;  // coordinate of the median point along split_dim; 0.0 in a leaf
    bool has_nan;        // some point of the node has a NaN coordinate
};

struct Interval {
    double lo;
    double hi;
};

class KDTree {
public:
    // Builds from an (n_points, dim) array; leaf_size 0 behaves as 1.
    static KDTree from_ndarray(const ArrayF64& points, std::size_t leaf_size, DistanceMetric metric);
    static KDTree build(const double* points, std::size_t n_points, std::size_t dim, std::size_t leaf_size,
                        DistanceMetric metric);

    // k nearest neighbours of q (query_len coordinates) into `heap`, which
    // holds them sorted by distance (distances, not reduced) afterwards.
    void knn_search(const double* q, std::size_t query_len, std::size_t k, KnnHeap& heap) const;
    // Appends the input rows within `radius` of q, in traversal order.
    void radius_search(const double* q, std::size_t query_len, double radius, std::vector<std::size_t>& out) const;

    std::size_t n_points() const noexcept { return n_points_; }
    std::size_t dim() const noexcept { return dim_; }
    std::size_t leaf_size() const noexcept { return leaf_size_; }
    DistanceMetric metric() const noexcept { return metric_; }
    const std::vector<KDNode>& nodes() const noexcept { return nodes_; }
    const std::vector<std::size_t>& order() const noexcept { return order_; }
    // Coordinates in storage order, n_points * dim.
    const double* points() const noexcept { return points_.data(); }
    const double* min_bounds(std::size_t node) const noexcept { return bounds_.data() + 2 * dim_ * node; }
    const double* max_bounds(std::size_t node) const noexcept { return bounds_.data() + 2 * dim_ * node + dim_; }

    // Node quantities of the density recursion, for a query of dim
    // coordinates and the tree's metric M (with_metric or with_metric_dim).
    //
    // Lower bound of the distance from q to any point of the node: the
    // metric's distance to the nearest point of the box (Euclidean: the
    // Euclidean box distance; Manhattan: the sum of the gaps; Chebyshev: the
    // largest gap).  A Chebyshev distance passes over NaN coordinates, which
    // the box leaves out, so a node holding NaN coordinates gets 0 there.
    template <class M>
    double lower_bound(std::size_t node, const double* q) const noexcept {
        return M::from_rdist(lower_rdist<M>(node, q));
    }
    // Nearest and farthest possible distance, from the query clamped into the
    // box.  Throws when a coordinate's box is reversed or NaN (all of the
    // node's values there are NaN).
    template <class M>
    Interval interval(std::size_t node, const double* q) const {
        const double* lo = min_bounds(node);
        const double* hi = max_bounds(node);
        for (std::size_t i = 0; i < dim_; ++i) {
            if (!(lo[i] <= hi[i])) throw_reversed_box(lo[i], hi[i]);
        }
        const std::size_t dim = fixed_dim<M>(dim_);
        return {M::from_rdist(box_rdist<M>(q, lo, hi, dim)), M::from_rdist(box_far_rdist<M>(q, lo, hi, dim))};
    }
    // Euclidean length of the box diagonal.
    double span(std::size_t node) const noexcept {
        const double* lo = min_bounds(node);
        const double* hi = max_bounds(node);
        double s = 0.0;
        for (std::size_t i = 0; i < dim_; ++i) s += (hi[i] - lo[i]) * (hi[i] - lo[i]);
        return std::sqrt(s);
    }
    std::size_t count(std::size_t node) const noexcept { return nodes_[node].end - nodes_[node].start; }

    // Reduced lower bound (see lower_bound).
    template <class M>
    double lower_rdist(std::size_t node, const double* q) const noexcept {
        if (M::id == DistanceMetric::Chebyshev && nodes_[node].has_nan) return 0.0;
        return box_rdist<M>(q, min_bounds(node), max_bounds(node), fixed_dim<M>(dim_));
    }

private:
    friend struct TreeCodec;  // saving and loading (serialize.hpp)
    [[noreturn]] static void throw_reversed_box(double lo, double hi);

    struct Builder;
    template <class M>
    double region_rdist(std::size_t id, const double* gaps) const noexcept;
    void root_gaps(const double* q, double* gaps) const noexcept;
    template <class M>
    void knn_visit(std::size_t id, const double* q, double* gaps, KnnHeap& heap) const;
    template <class M>
    void radius_visit(std::size_t id, const double* q, double rlimit, double* gaps,
                      std::vector<std::size_t>& out) const;

    std::vector<KDNode> nodes_;
    std::vector<double> bounds_;  // per node: dim minima, then dim maxima
    std::vector<std::size_t> order_;
    std::vector<double> points_;
    std::size_t n_points_ = 0;
    std::size_t dim_ = 0;
    std::size_t leaf_size_ = 0;
    DistanceMetric metric_ = DistanceMetric::Euclidean;
};

}  // namespace lumi
