// VPTree: a vantage-point tree.  Every node picks one of its points as
// vantage point (the first of its range, or a random one), measures the
// distances from it to the node's other points and splits them at the median
// distance into an inside half (which starts with the vantage point) and an
// outside half.  Layout and query conventions: common.hpp.
//
// A node records where its own vantage point ended up in storage order: with
// random selection a child's swap can move its parent's vantage point.
#pragma once

#include <cstddef>
#include <vector>

#include "array/ndarray.hpp"
#include "spatial/common.hpp"
#include "spatial/kd_tree.hpp"

namespace lumi {

enum class VantageSelection : std::uint8_t { First = 0, Random = 1 };

std::optional<VantageSelection> selection_from_name(std::string_view lowered);

struct VPNode {
    std::size_t start;
    std::size_t end;
    std::size_t left;     // inside child, kNoNode in a leaf
    std::size_t right;    // outside child, kNoNode in a leaf
    std::size_t vantage;  // storage position of this node's vantage point
    double threshold;     // median distance from the vantage point to the other points
    double min_dist;      // smallest of those distances (+inf when there are none)
    double max_dist;      // largest of those distances (-inf when there are none)
    bool no_bound;        // Chebyshev over NaN coordinates: distance bounds do not hold
};

class VPTree {
public:
    // Builds from an (n_points, dim) array.  A node of one point is always a
    // leaf.  An empty point set is refused.
    static VPTree from_ndarray(const ArrayF64& points, std::size_t leaf_size, DistanceMetric metric,
                               VantageSelection selection);
    static VPTree build(const double* points, std::size_t n_points, std::size_t dim, std::size_t leaf_size,
                        DistanceMetric metric, VantageSelection selection);

    // Same contracts as KDTree's searches.
    void knn_search(const double* q, std::size_t query_len, std::size_t k, KnnHeap& heap) const;
    void radius_search(const double* q, std::size_t query_len, double radius, std::vector<std::size_t>& out) const;

    std::size_t n_points() const noexcept { return n_points_; }
    std::size_t dim() const noexcept { return dim_; }
    std::size_t leaf_size() const noexcept { return leaf_size_; }
    DistanceMetric metric() const noexcept { return metric_; }
    VantageSelection selection() const noexcept { return selection_; }
    const std::vector<VPNode>& nodes() const noexcept { return nodes_; }
    const std::vector<std::size_t>& order() const noexcept { return order_; }
    const double* points() const noexcept { return points_.data(); }
    const double* vantage_point(std::size_t node) const noexcept {
        return points_.data() + nodes_[node].vantage * dim_;
    }

    // Distance from q to the node's vantage point under M.
    template <class M>
    double vantage_distance(std::size_t node, const double* q) const noexcept {
        return M::from_rdist(M::rdist(q, vantage_point(node), fixed_dim<M>(dim_)));
    }

    // Node quantities of the density recursion (see KDTree), from
    // d = distance(q, vantage point).  The lower bound covers the vantage
    // point itself: min(d, max(d - max_dist, min_dist - d, 0)), the second
    // part lowered by the rounding slack of the triangle inequality.
    template <class M>
    double lower_bound(std::size_t node, const double* q) const noexcept {
        return bound_from(node, vantage_distance<M>(node, q));
    }
    template <class M>
    Interval interval(std::size_t node, const double* q) const noexcept {
        const double d = vantage_distance<M>(node, q);
        const double m = nodes_[node].max_dist;
        const double lo = d - m;
        return {lo > 0.0 ? lo : 0.0, d + m};
    }
    double span(std::size_t node) const noexcept { return nodes_[node].max_dist - nodes_[node].min_dist; }
    // Points of the node, the vantage point included.
    std::size_t count(std::size_t node) const noexcept { return nodes_[node].end - nodes_[node].start; }

    double bound_from(std::size_t node, double d) const noexcept {
        const VPNode& nd = nodes_[node];
        if (nd.no_bound) return 0.0;
        // NaN candidates are passed over.
        double b = 0.0;
        const double outside = (d - nd.max_dist) - slack_ * (d + nd.max_dist);
        const double inside = (nd.min_dist - d) - slack_ * (nd.min_dist + d);
        if (outside > b) b = outside;
        if (inside > b) b = inside;
        if (d < b) b = d;  // the vantage point lies at distance d
        return b;
    }

private:
    friend struct TreeCodec;  // saving and loading (serialize.hpp)
    struct Builder;
    template <class M>
    void knn_visit(std::size_t id, std::size_t parent_vantage, double parent_d, const double* q,
                   KnnHeap& heap) const;
    template <class M>
    void radius_visit(std::size_t id, std::size_t parent_vantage, double parent_d, const double* q, double radius,
                      double rlimit, std::vector<std::size_t>& out) const;

    std::vector<VPNode> nodes_;
    std::vector<std::size_t> order_;
    std::vector<double> points_;
    std::size_t n_points_ = 0;
    std::size_t dim_ = 0;
    std::size_t leaf_size_ = 0;
    DistanceMetric metric_ = DistanceMetric::Euclidean;
    VantageSelection selection_ = VantageSelection::First;
    double slack_ = 0.0;
};

}  // namespace lumi
