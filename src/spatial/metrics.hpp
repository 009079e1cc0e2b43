// The distance vocabulary of the spatial indexes: metrics and kernels with
// their name parsers, the distance policies and their dispatch, the box
// bounds and the query checks.
//
// A query is `dim` coordinates; any other length is refused before anything
// is read.  The metric is chosen once per query: the search code is a
// template over a policy (Euclidean, Manhattan, Chebyshev) and with_metric
// dispatches on the tree's metric at the top.  Searches work on "reduced"
// distances (the squared distance for Euclidean, the distance itself for the
// others), which order exactly like distances; a radius is converted once to
// the largest reduced value whose distance is still within it, so "distance
// <= radius" is decided exactly as if every square root were taken.
#pragma once

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

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
// Option names (matched on the caller's lower-cased text; the messages are
// msg::kMetricOption and msg::kKernelOption).

std::optional<DistanceMetric> metric_from_name(std::string_view lowered);
std::optional<KernelType> kernel_from_name(std::string_view lowered);

// ---------------------------------------------------------------------------
// Distances.

// How far q[i] lies outside [lo, hi]; 0 inside or when q[i] is NaN.
inline double box_gap(double q, double lo, double hi) noexcept {
    if (q < lo) return lo - q;
    if (q > hi) return q - hi;
    return 0.0;
}

// c ? a : b through the bits, for selects whose condition no branch
// predictor can guess.
inline double pick(bool c, double a, double b) noexcept {
    const std::uint64_t m = std::uint64_t{0} - static_cast<std::uint64_t>(c);
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & m) | (std::bit_cast<std::uint64_t>(b) & ~m));
}

// Distance policies.  rdist is the reduced distance, from_rdist turns it into
// the distance, rdist_within(r) is the largest reduced value whose distance is
// <= r (so `rdist <= rdist_within(r)` decides `distance <= r` exactly), and
// add folds one per-coordinate absolute difference into a running reduced
// value (also used for box bounds).
struct EuclideanMetric {
    static constexpr std::size_t kDim = 0;  // dimension not fixed at compile time
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
    // A value below which strictly_nearer(r, worst) holds without a square
    // root: 2^-48 below a normal worst, the square roots lie at least 2^-49
    // apart relatively, many units in the last place after rounding.
    // Subnormal (or zero) worst values get no shortcut.
    static double surely_nearer_below(double worst) noexcept {
        return worst >= DBL_MIN ? worst * (1.0 - 0x1p-48) : 0.0;
    }
};

struct ManhattanMetric {
    static constexpr std::size_t kDim = 0;  // dimension not fixed at compile time
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
    static double surely_nearer_below(double worst) noexcept { return worst; }
};

struct ChebyshevMetric {
    static constexpr std::size_t kDim = 0;  // dimension not fixed at compile time
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
    static double surely_nearer_below(double worst) noexcept { return worst; }
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

// A policy with the dimension fixed at compile time, so that the loops over
// coordinates unroll; callers pass fixed_dim<M>(dim) as the dimension.
template <class M, std::size_t D>
struct FixedDim : M {
    static constexpr std::size_t kDim = D;
};

template <class M>
constexpr std::size_t fixed_dim(std::size_t dim) noexcept {
    return M::kDim ? M::kDim : dim;
}

// Whether every query and density takes the reference route: the plain
// visit over the full nodes, point by point into the plain result sets
// (KnnHeap, one scalar kernel sum), with no compact or split nodes, no
// sorted small-k candidates, no policies of fixed dimension and none of the
// density's shortcuts.  LUMIVANDER_SPATIAL=reference (any case) asks for it;
// the variable is read once, at first use, and other values are ignored.
// Every route gives the same answers: the tests compare them.
bool reference_route() noexcept;

// Calls f(Policy{}) with the policy of `metric`, specialised for the small
// dimensions 1, 2 and 3 (except on the reference route).
template <class F>
void with_metric_dim(DistanceMetric metric, std::size_t dim, F&& f) {
    if (reference_route()) dim = 0;
    with_metric(metric, [&](auto m) {
        using M = decltype(m);
        switch (dim) {
            case 1:
                f(FixedDim<M, 1>{});
                break;
            case 2:
                f(FixedDim<M, 2>{});
                break;
            case 3:
                f(FixedDim<M, 3>{});
                break;
            default:
                f(m);
        }
    });
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


// Refuses a query whose length differs from the tree's dimension.
void check_query_length(std::size_t query_len, std::size_t dim);
// "index out of bounds: the len is LEN but the index is INDEX"
[[noreturn]] void throw_index_error(std::size_t len, std::size_t index);

}  // namespace lumi
