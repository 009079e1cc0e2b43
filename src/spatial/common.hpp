// The vocabulary shared by the three spatial indexes (KDTree, BallTree,
// VPTree): metrics and kernels with their name parsers, the distance policies,
// the candidate heap of k-nearest-neighbour searches and a few build helpers.
//
// Layout.  A tree is built once from an (n_points, dim) array and never
// changes.  Its nodes live in one flat vector in pre-order: node 0 is the
// root, a node comes before its left subtree, the left subtree before the
// right one.  Every node covers a contiguous range [start, end) of storage
// positions and has either two children (`left` covers the front of the
// range, `right` the rest) or none (kNoNode in both).  `order` is a
// permutation of the input rows: storage position p holds input row order[p],
// and `points` holds the coordinates in storage order (row p = input row
// order[p], row-major), so a leaf scans one contiguous block.  Results name
// points by input row, never by storage position.  Per-node floating data
// that has `dim` entries (boxes, centroids) sits in a separate flat vector
// indexed by node id, so nodes stay small and fixed-size.
//
// Queries.  A query is `dim` coordinates; any other length is refused before
// anything is read.  The metric is chosen once per query: the search code is
// a template over a policy (Euclidean, Manhattan, Chebyshev) and with_metric
// dispatches on the tree's metric at the top.  Searches work on "reduced"
// distances (the squared distance for Euclidean, the distance itself for the
// others), which order exactly like distances; a radius is converted once to
// the largest reduced value whose distance is still within it, so "distance
// <= radius" is decided exactly as if every square root were taken.
//
// - k nearest: a max-heap of (reduced distance, input row) with room for k
//   entries; while it holds fewer than k every point goes in, afterwards a
//   point replaces the worst only when strictly nearer.  A subtree is skipped
//   when the heap is full and the subtree's lower bound exceeds the worst.
//   The answer lists at most k rows in ascending distance; ties are in no
//   particular order.  A NaN distance ranks after every number.
// - radius: every point whose distance is <= radius, in traversal order
//   (left subtree before right, storage order inside a leaf); a subtree is
//   skipped when its lower bound exceeds the radius.
// - density (kernel sums) uses the per-node quantities each tree exposes:
//   a lower bound of the distance from the query to any point of the node
//   (sound: never above a true distance, so pruning never drops a point), an
//   estimation interval (lo, hi), a span and a count.
//
// All search entry points are const, keep their state in caller-owned
// objects (KnnHeap, result vectors) and can run on many threads at once.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "array/error.hpp"

namespace lumi {

enum class DistanceMetric : std::uint8_t { Euclidean = 0, Manhattan = 1, Chebyshev = 2 };
enum class KernelType : std::uint8_t { Gaussian = 0, Epanechnikov = 1, Uniform = 2, Triangular = 3 };

// When a whole node of the density recursion is replaced by an estimate.
struct ApproxCriterion {
    enum class Tag : std::uint8_t { None = 0, MinSamples = 1, MaxSpan = 2, Combined = 3 };
    Tag tag = Tag::None;
    std::size_t min_samples = 0;
    double max_span = 0.0;
};

inline constexpr std::size_t kNoNode = static_cast<std::size_t>(-1);

// ---------------------------------------------------------------------------
// Option names.  Matching is on the caller's lower-cased text; messages quote
// the text as passed.

struct OptionKind {
    const char* what;     // "distance metric"
    const char* choices;  // "'euclidean', 'manhattan', 'chebyshev'"
};
inline constexpr OptionKind kMetricOption{"distance metric", "'euclidean', 'manhattan', 'chebyshev'"};
inline constexpr OptionKind kKernelOption{"kernel type", "'gaussian', 'epanechnikov', 'uniform', 'triangular'"};

// "Unknown WHAT 'NAME'. Valid options: CHOICES"
std::string unknown_option_message(const OptionKind& kind, std::string_view name);

std::optional<DistanceMetric> metric_from_name(std::string_view lowered);
std::optional<KernelType> kernel_from_name(std::string_view lowered);
DistanceMetric parse_metric(std::string_view lowered, std::string_view as_passed);
KernelType parse_kernel(std::string_view lowered, std::string_view as_passed);

// ---------------------------------------------------------------------------
// Distances.

// The metric distance between two points of `dim` coordinates, summed from
// coordinate 0 upward; Chebyshev passes over NaN differences.
double distance(const double* a, const double* b, std::size_t dim, DistanceMetric metric) noexcept;

// K(u) with u = distance / bandwidth; no normalising factor.
double kernel_value(KernelType kernel, double u) noexcept;

// The Euclidean distance from q to the nearest / the farthest point of the box.
double box_min_distance(const double* q, const double* lo, const double* hi, std::size_t dim) noexcept;
double box_max_distance(const double* q, const double* lo, const double* hi, std::size_t dim) noexcept;

// How far q[i] lies outside [lo, hi]; 0 inside or when q[i] is NaN.
inline double box_gap(double q, double lo, double hi) noexcept {
    if (q < lo) return lo - q;
    if (q > hi) return q - hi;
    return 0.0;
}

// Distance policies.  rdist is the reduced distance, from_rdist turns it into
// the distance, rdist_within(r) is the largest reduced value whose distance is
// <= r (so `rdist <= rdist_within(r)` decides `distance <= r` exactly), and
// add folds one per-coordinate absolute difference into a running reduced
// value (also used for box bounds).
struct EuclideanMetric {
    static constexpr DistanceMetric id = DistanceMetric::Euclidean;
    static double add(double acc, double diff) noexcept { return acc + diff * diff; }
    static double rdist(const double* a, const double* b, std::size_t dim) noexcept {
        double s = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
            const double d = a[i] - b[i];
            s += d * d;
        }
        return s;
    }
    static double from_rdist(double r) noexcept { return std::sqrt(r); }
    static double rdist_within(double r) noexcept;
    // True when the distance of `r` is strictly below that of `worst`
    // (two reduced values can share a distance after the square root).
    static bool strictly_nearer(double r, double worst) noexcept {
        return r < worst && std::sqrt(r) < std::sqrt(worst);
    }
};

struct ManhattanMetric {
    static constexpr DistanceMetric id = DistanceMetric::Manhattan;
    static double add(double acc, double diff) noexcept { return acc + std::fabs(diff); }
    static double rdist(const double* a, const double* b, std::size_t dim) noexcept {
        double s = 0.0;
        for (std::size_t i = 0; i < dim; ++i) s += std::fabs(a[i] - b[i]);
        return s;
    }
    static double from_rdist(double r) noexcept { return r; }
    static double rdist_within(double r) noexcept { return r; }
    static bool strictly_nearer(double r, double worst) noexcept { return r < worst; }
};

struct ChebyshevMetric {
    static constexpr DistanceMetric id = DistanceMetric::Chebyshev;
    // A NaN difference never replaces the running value.
    static double add(double acc, double diff) noexcept {
        const double d = std::fabs(diff);
        return d > acc ? d : acc;
    }
    static double rdist(const double* a, const double* b, std::size_t dim) noexcept {
        double m = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
            const double d = std::fabs(a[i] - b[i]);
            if (d > m) m = d;
        }
        return m;
    }
    static double from_rdist(double r) noexcept { return r; }
    static double rdist_within(double r) noexcept { return r; }
    static bool strictly_nearer(double r, double worst) noexcept { return r < worst; }
};

// Calls f(Policy{}) with the policy of `metric`.
template <class F>
decltype(auto) with_metric(DistanceMetric metric, F&& f) {
    switch (metric) {
        case DistanceMetric::Manhattan:
            return f(ManhattanMetric{});
        case DistanceMetric::Chebyshev:
            return f(ChebyshevMetric{});
        case DistanceMetric::Euclidean:
        default:
            return f(EuclideanMetric{});
    }
}

// Reduced distance from q to the nearest point of the box [lo, hi] under M.
// Never above the reduced distance to any point inside the box: every step
// (subtraction, square, sum, maximum) is monotone under rounding.
template <class M>
double box_rdist(const double* q, const double* lo, const double* hi, std::size_t dim) noexcept {
    double acc = 0.0;
    for (std::size_t i = 0; i < dim; ++i) acc = M::add(acc, box_gap(q[i], lo[i], hi[i]));
    return acc;
}

// Reduced distance from q to the farthest corner of the box under M (the
// farther face per coordinate; an exact tie takes hi).
template <class M>
double box_far_rdist(const double* q, const double* lo, const double* hi, std::size_t dim) noexcept {
    double acc = 0.0;
    for (std::size_t i = 0; i < dim; ++i) {
        const double face = std::fabs(q[i] - hi[i]) < std::fabs(q[i] - lo[i]) ? lo[i] : hi[i];
        acc = M::add(acc, q[i] - face);
    }
    return acc;
}

// Slack for bounds derived from the triangle inequality (ball and VP trees):
// three rounded distances of `dim` terms each can break the inequality by a
// few units in the last place per term, so such a bound is lowered by
// triangle_slack(dim) * (the distances involved) to stay below every true
// computed distance.
inline double triangle_slack(std::size_t dim) noexcept {
    return 4.0 * (static_cast<double>(dim) + 4.0) * DBL_EPSILON;
}

// ---------------------------------------------------------------------------
// Queries.

// Refuses a query whose length differs from the tree's dimension.
void check_query_length(std::size_t query_len, std::size_t dim);

// One candidate of a k-nearest search: reduced distance (or, after finish(),
// the distance) and input row.
struct Neighbor {
    double dist;
    std::size_t row;
};

// The bounded max-heap of a k-nearest search.  Owned by the caller, reusable
// across queries (its storage is kept).
class KnnHeap {
public:
    // Starts a search for k > 0 neighbours among n points.
    void reset(std::size_t k, std::size_t n) {
        k_ = k;
        items_.clear();
        items_.reserve(std::min(k, n));
    }
    std::size_t size() const noexcept { return items_.size(); }
    std::size_t capacity() const noexcept { return items_.capacity(); }
    bool full() const noexcept { return items_.size() == k_; }
    // Largest reduced distance held; only meaningful when full().
    double worst() const noexcept { return items_.front().dist; }

    template <class M>
    void offer(double rd, std::size_t row) {
        if (items_.size() < k_) {
            if (rd != rd) rd = std::numeric_limits<double>::infinity();  // NaN ranks last
            items_.push_back({rd, row});
            std::push_heap(items_.begin(), items_.end(), less);
        } else if (M::strictly_nearer(rd, items_.front().dist)) {
            replace_top(rd, row);
        }
    }

    // Sorts the candidates by ascending distance and converts the reduced
    // distances into distances.
    template <class M>
    const std::vector<Neighbor>& finish() {
        std::sort_heap(items_.begin(), items_.end(), less);
        for (Neighbor& c : items_) c.dist = M::from_rdist(c.dist);
        return items_;
    }
    const std::vector<Neighbor>& items() const noexcept { return items_; }

private:
    static bool less(const Neighbor& a, const Neighbor& b) noexcept { return a.dist < b.dist; }
    void replace_top(double rd, std::size_t row) noexcept {
        // Sift the new entry down from the root.
        Neighbor* h = items_.data();
        const std::size_t n = items_.size();
        std::size_t i = 0;
        for (;;) {
            std::size_t c = 2 * i + 1;
            if (c >= n) break;
            if (c + 1 < n && h[c].dist < h[c + 1].dist) ++c;
            if (!(rd < h[c].dist)) break;
            h[i] = h[c];
            i = c;
        }
        h[i] = {rd, row};
    }

    std::vector<Neighbor> items_;
    std::size_t k_ = 0;
};

// ---------------------------------------------------------------------------
// Building.

// Fails a build whose input is not (n_points, dim).
void check_points_shape(std::size_t ndim);

// Node count of a tree that halves every range of more than `leaf` points
// (at least 2) at count / 2.
std::size_t halving_node_count(std::size_t n, std::size_t leaf);

// Working storage of a build: the points in current order next to `order`,
// and a selection that moves whole rows.
class RowSelector {
public:
    RowSelector(const double* input, std::size_t n, std::size_t dim);

    std::size_t dim() const noexcept { return dim_; }
    double* rows() noexcept { return rows_.data(); }
    const double* row(std::size_t p) const noexcept { return rows_.data() + p * dim_; }
    std::vector<std::size_t>& order() noexcept { return order_; }

    // Reorders positions [start, end) so that the one of rank m (0-based,
    // ascending key) stands at start + m, none with a larger key before it
    // and none with a smaller one after it.  keys[i] belongs to position
    // start + i and must hold no NaN.
    void select(std::size_t start, std::size_t end, std::size_t m, const double* keys);
    // After select: the key now at position start + j, for j <= m.
    double selected_key(std::size_t j) const noexcept { return pairs_[j].first; }
    // Exchanges two positions.
    void swap(std::size_t a, std::size_t b) noexcept {
        if (a == b) return;
        std::swap_ranges(rows_.data() + a * dim_, rows_.data() + (a + 1) * dim_, rows_.data() + b * dim_);
        std::swap(order_[a], order_[b]);
    }

    // Keys scratch of at least n entries.
    double* keys(std::size_t n) {
        if (keys_.size() < n) keys_.resize(n);
        return keys_.data();
    }

    // Moves the rows and order out.
    std::vector<double> take_rows() { return std::move(rows_); }
    std::vector<std::size_t> take_order() { return std::move(order_); }

private:
    std::size_t dim_;
    std::vector<double> rows_;
    std::vector<std::size_t> order_;
    std::vector<double> keys_;
    std::vector<std::pair<double, std::size_t>> pairs_;
    std::vector<double> scratch_rows_;
    std::vector<std::size_t> scratch_order_;
};

// The message of a NaN met while splitting a node.
[[noreturn]] void throw_nan_split();

// "index out of bounds: the len is LEN but the index is INDEX"
[[noreturn]] void throw_index_error(std::size_t len, std::size_t index);

}  // namespace lumi
