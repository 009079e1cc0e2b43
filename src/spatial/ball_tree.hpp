// BallTree: nested balls.  Every node keeps the mean of its points (centroid)
// and the largest metric distance from it to one of them (radius); an
// internal node splits its range at the median along the coordinate of
// largest spread.  Layout and query conventions: common.hpp.
#pragma once

#include <cstddef>
#include <vector>

#include "array/ndarray.hpp"
#include "spatial/common.hpp"
#include "spatial/kd_tree.hpp"

namespace lumi {

struct BallNode {
    std::size_t start;
    std::size_t end;
    std::size_t left;   // kNoNode in a leaf
    std::size_t right;  // kNoNode in a leaf
    double radius;      // largest distance from the centroid to a node point; 0.0 when empty
};

class BallTree {
public:
    // Builds from an (n_points, dim) array; leaf_size 0 behaves as 1.
    static BallTree from_ndarray(const ArrayF64& points, std::size_t leaf_size, DistanceMetric metric);
    static BallTree build(const double* points, std::size_t n_points, std::size_t dim, std::size_t leaf_size,
                          DistanceMetric metric);

    // Same contracts as KDTree's searches.
    void knn_search(const double* q, std::size_t query_len, std::size_t k, KnnHeap& heap) const;
    void radius_search(const double* q, std::size_t query_len, double radius, std::vector<std::size_t>& out) const;

    std::size_t n_points() const noexcept { return n_points_; }
    std::size_t dim() const noexcept { return dim_; }
    std::size_t leaf_size() const noexcept { return leaf_size_; }
    DistanceMetric metric() const noexcept { return metric_; }
    const std::vector<BallNode>& nodes() const noexcept { return nodes_; }
    const std::vector<std::size_t>& order() const noexcept { return order_; }
    const double* points() const noexcept { return points_.data(); }
    const double* centroid(std::size_t node) const noexcept { return centroids_.data() + dim_ * node; }

    // Distance from q to the node's centroid under M.
    template <class M>
    double centroid_distance(std::size_t node, const double* q) const noexcept {
        return M::from_rdist(M::rdist(q, centroid(node), fixed_dim<M>(dim_)));
    }

    // Node quantities of the density recursion (see KDTree), from
    // d = distance(q, centroid).  The lower bound is max(d - radius, 0),
    // lowered by the rounding slack of the triangle inequality.
    template <class M>
    double lower_bound(std::size_t node, const double* q) const noexcept {
        return bound_from(centroid_distance<M>(node, q), nodes_[node].radius);
    }
    template <class M>
    Interval interval(std::size_t node, const double* q) const noexcept {
        const double d = centroid_distance<M>(node, q);
        const double r = nodes_[node].radius;
        const double lo = d - r;
        return {lo > 0.0 ? lo : 0.0, d + r};
    }
    double span(std::size_t node) const noexcept { return 2.0 * nodes_[node].radius; }
    std::size_t count(std::size_t node) const noexcept { return nodes_[node].end - nodes_[node].start; }

    // max(d - radius - slack, 0) (NaN when d is NaN: such a bound prunes nothing).
    double bound_from(double d, double radius) const noexcept {
        const double b = (d - radius) - slack_ * (d + radius);
        return b > 0.0 ? b : (b != b ? b : 0.0);
    }

private:
    friend struct TreeCodec;  // saving and loading (serialize.hpp)
    struct Builder;
    template <class M>
    void knn_visit(std::size_t id, double d, const double* q, KnnHeap& heap) const;
    template <class M>
    void radius_visit(std::size_t id, const double* q, double radius, double rlimit,
                      std::vector<std::size_t>& out) const;

    std::vector<BallNode> nodes_;
    std::vector<double> centroids_;  // dim per node
    std::vector<std::size_t> order_;
    std::vector<double> points_;
    std::size_t n_points_ = 0;
    std::size_t dim_ = 0;
    std::size_t leaf_size_ = 0;
    DistanceMetric metric_ = DistanceMetric::Euclidean;
    double slack_ = 0.0;
};

}  // namespace lumi
