// Log-densities of the three trees.
//
// For one query q the value is log S, S = sum over every point p of
// K(d_p / h).  Gaussian terms are taken relative to the nearest point's:
// with t_p = -d_p^2 / (2 h^2) (computed as r_p * (-0.5 / h^2) from the
// squared distance r_p, or r_p * r_p * (-0.5 / h^2) under the other
// metrics) and T = t of the nearest point, S = exp(T) * S' with
// S' = sum exp(t_p - T), so log S = T + log S'.  Every term of S' is at most
// 1 and the nearest one is exactly 1, so S' >= 1 and nothing that matters
// underflows: a query a million bandwidths out still gets T, to the rounding
// of t.  The bounded kernels need no scaling (their nonzero terms are not
// tiny) and give log S directly; a sum of 0 (no point inside the support)
// gives -inf.
//
// The sum.  Two walks of the tree per query, both visiting the nearer child
// first (by the children's lower distance bounds; the left one on a tie):
//
// 1. The nearest reduced distance r0, pruning nodes whose lower bound
//    exceeds the best so far.  It fixes T (Gaussian) and the anchor A = the
//    nearest point's term (1 for the Gaussian, K(d0 / h) otherwise; A = 0
//    means every term is 0 and the answer is -inf without a second walk).
// 2. The sum, into one accumulator.  At every node (leaves too), with c
//    points and reduced distance bounds [lo, hi] that hold every point's
//    computed distance, every term lies in [e_min, e_max] = [e(hi), e(lo)]
//    (the terms are monotone in the reduced distance, rounding included).
//    The node may be replaced by c * (e_min + e_max) / 2, an error of at
//    most err = c * (e_max - e_min) / 2.  With L = max(A, low), low the sum
//    of the terms added so far plus c * e_min of each node estimated so far,
//    L <= S' at every step, and the budget tol * L is spent in two halves:
//      - a share: err <= (tol / 2) * L * c / n (n the tree's points), or
//      - the rest of a pool: used + err <= (tol / 2) * L, used += err.
//    The shares of all estimated nodes add up to at most (tol / 2) * S',
//    the pool to (tol / 2) * L_last <= (tol / 2) * S', so
//        |S'~ - S'| <= tol * S'.
//    The share lets far nodes go whatever came before them; the pool lets a
//    few large nodes go that their shares would not cover.  tol is rtol, or
//    2^-53 for rtol = 0: the sum is then exact to half a unit in its last
//    place, and the estimate is c * e_max / 2 (e_min taken as 0: only nodes
//    whose terms are all negligible qualify).
//    A node that is not estimated is visited (children nearer first), or its
//    points are added as they lie in storage order without the visits: a
//    leaf, a subtree of a few leaves, or (rtol = 0) a node none of whose
//    descendants can qualify (each has an e_max at least this node's e_min,
//    and L cannot grow past L + c * e_max meanwhile).  Adding exactly is
//    always sound.
//
// Bounds: the trees' lower bounds are sound as they stand (k-d boxes give
// reduced distances directly; other distances are squared and pulled down
// past the rounding); upper bounds hold up to rounding, so hi is widened by
// the tree's slack, and an upper bound that is not a number at least lo
// counts as none (e_min = 0).
//
// Determinism.  The walks depend only on the tree, the query and the
// arguments; terms are computed element by element with the library's
// bit-exact vector distances and exp, kSumBlock points at a time, each block
// summed into four accumulators by position (j mod 4) joined as (a0 + a1) +
// (a2 + a3) and added to the running sum.  Queries are independent, so the
// split over the worker pool changes nothing.
//
// Non-finite input (a coordinate of a point or of the query, or a bandwidth
// outside [1e-150, 1e150]) takes the plain route instead: every term in
// storage order, with u = d / h and t = (-0.5 u) u, twice for the Gaussian
// (the largest t first, then the sum), so NaN terms give NaN and the result
// is the log of the documented sum.
#include "spatial/log_density.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <type_traits>

#include "base/cancel.hpp"
#include "base/error.hpp"
#include "base/messages.hpp"
#include "base/parallel.hpp"
#include "ops/vmath.hpp"
#include "spatial/kde_recursion.hpp"
#include "spatial/kinds.hpp"

namespace lumi {

double log_kernel_volume(KernelType kernel, DistanceMetric metric, std::size_t dim) noexcept {
    const double d = static_cast<double>(dim);
    constexpr double kLn2 = std::numbers::ln2;
    constexpr double kLnPi = 1.1447298858494002;  // log(pi)
    double log_v = 0.0;                            // log of the unit ball's volume
    switch (metric) {
        case DistanceMetric::Manhattan: log_v = d * kLn2 - std::lgamma(d + 1.0); break;
        case DistanceMetric::Chebyshev: log_v = d * kLn2; break;
        case DistanceMetric::Euclidean:
        default: log_v = 0.5 * d * kLnPi - std::lgamma(0.5 * d + 1.0); break;
    }
    switch (kernel) {
        case KernelType::Epanechnikov: return std::log(1.5 / (d + 2.0)) + log_v;
        case KernelType::Uniform: return std::log(0.5) + log_v;
        case KernelType::Triangular: return log_v - std::log(d + 1.0);
        case KernelType::Gaussian:
        default:
            if (metric == DistanceMetric::Euclidean) return 0.5 * d * std::log(2.0 * std::numbers::pi);
            return log_v + 0.5 * d * kLn2 + std::lgamma(0.5 * d + 1.0);
    }
}

namespace {

using kde::kBlock;
using kde::row_distance_of;

// Points whose terms are computed together.
constexpr std::size_t kSumBlock = 256;
// What rtol = 0 allows: half a unit in the last place of the sum.
constexpr double kExactTol = 0x1p-53;
// Query rows per pool chunk (as the density sums split theirs).
using kde::density_grain;

// Distance bounds of a node as reduced distances (see metrics.hpp).
struct ReducedBounds {
    double lo, hi;
};

// One query's walks, on reduced distances throughout.  Kernel: the kernel
// policy; Gaussian t values are r * (-0.5 / h^2) (Euclidean, r the squared
// distance) or r * r * (-0.5 / h^2), monotone in r.
template <class M, class Kernel, class View>
class LogSum {
public:
    static constexpr bool kGauss = std::is_same_v<Kernel, kde::Gaussian>;
    static constexpr bool kSquared = M::id == DistanceMetric::Euclidean;

    LogSum(const View& t, const double* q, double h, double rtol) noexcept
        : t_(t), q_(q), h_(h), coef_(-0.5 / (h * h)), tol_(rtol > 0.0 ? rtol : kExactTol), midpoints_(rtol > 0.0),
          // (1 + s)^2 < 1 + 2s + 2^-50 for the tree's small slack s
          widen_(kSquared ? 1.0 + 2.0 * t.tree.slack() + 0x1p-50 : 1.0 + t.tree.slack()),
          n_(static_cast<double>(t.n_points())),
          few_leaves_(4.0 * static_cast<double>(std::max<std::size_t>(t.tree.leaf_size(), 1))) {}

    // log S (see the top of the file).
    double run() {
        if (t_.n_points() == 0) return -std::numeric_limits<double>::infinity();
        const ReducedBounds root = bounds(0);
        nearest(0, root.lo);
        if constexpr (kGauss) {
            shift_ = log_term(best_r_);
            if (!(shift_ > -std::numeric_limits<double>::infinity())) return shift_;  // every t is -inf
            anchor_ = 1.0;
        } else {
            anchor_ = term(best_r_);
            if (!(anchor_ > 0.0)) return -std::numeric_limits<double>::infinity();
        }
        sum(0, root);
        const double s = std::log(acc_);
        if constexpr (kGauss) return shift_ + s;
        return s;
    }

private:
    double log_term(double r) const noexcept {
        if constexpr (kSquared) return r * coef_;
        return (r * r) * coef_;
    }
    // The term of a point at reduced distance r (scaled for the Gaussian).
    double term(double r) const noexcept {
        if constexpr (kGauss) return std::exp(log_term(r) - shift_);
        return Kernel::value(M::from_rdist(r) / h_);
    }
    // A distance bound as a reduced one; squares are pulled down (lower) or
    // up (upper) past their rounding.
    static double reduce_lower(double d) noexcept {
        if (!(d >= 0.0)) return std::numeric_limits<double>::quiet_NaN();
        if constexpr (kSquared) return d * d * (1.0 - 0x1p-50);
        return d;
    }
    static double reduce_upper(double d) noexcept {
        if constexpr (kSquared) return d * d;
        return d;
    }
    ReducedBounds bounds(std::size_t node) const noexcept {
        if constexpr (View::kReducedBounds) {
            const DensityBounds b = t_.template node_bounds<true>(node, q_);
            return {b.lower, b.upper * widen_};
        } else {
            const DensityBounds b = t_.bounds(node, q_);
            return {reduce_lower(b.lower), reduce_upper(b.upper) * widen_};
        }
    }
    double lower(std::size_t node) const noexcept {
        if constexpr (View::kReducedBounds) return t_.template lower<true>(node, q_);
        return reduce_lower(t_.lower_bound(node, q_));
    }

    void nearest(std::size_t node, double lo) {
        for (;;) {
            if (lo > best_r_) return;
            if (t_.is_leaf(node)) {
                cancel_tick();
                const std::size_t dim = t_.dim();
                for (std::size_t b = t_.start(node), e = t_.end(node); b < e;) {
                    const std::size_t m = std::min(e - b, kSumBlock);
                    vmath::row_distances(t_.stored_rows() + b * dim, dim, m, t_.n_points() - b, q_,
                                         row_distance_of<M>(), buf_);
                    for (std::size_t j = 0; j < m; ++j) best_r_ = std::min(best_r_, buf_[j]);
                    b += m;
                }
                return;
            }
            const std::size_t l = t_.left(node), r = t_.right(node);
            const double bl = lower(l), br = lower(r);
            if (br < bl) {
                nearest(r, br);
                node = l;
                lo = bl;
            } else {
                nearest(l, bl);
                node = r;
                lo = br;
            }
        }
    }

    void sum(std::size_t node, ReducedBounds bd) {
        for (;;) {
            const Decision d = decide(node, bd);
            if (d == Decision::Estimated) return;
            if (d == Decision::AddAll || t_.is_leaf(node)) {
                add_points(t_.start(node), t_.end(node));
                return;
            }
            const std::size_t l = t_.left(node), r = t_.right(node);
            const ReducedBounds bl = bounds(l), br = bounds(r);
            if (br.lo < bl.lo) {
                sum(r, br);
                node = l;
                bd = bl;
            } else {
                sum(l, bl);
                node = r;
                bd = br;
            }
        }
    }

    enum class Decision { Estimated, AddAll, Visit };

    // Replaces the node by an estimate when its error fits the budget (see
    // the top of the file), or says that no node below it can be estimated
    // (then its points are added as they lie in storage order, without the
    // visits: the same terms, summed in other blocks).
    //
    // The budget tol * L is spent in two halves: a node may take its share
    // of the first, (tol / 2) * L * c / n_points (so far nodes qualify
    // whatever came before them), or what is left of the second, of which
    // `used_` is spent.  Estimates within the shares add up to at most
    // (tol / 2) * S', those from the second half to (tol / 2) * L <=
    // (tol / 2) * S'.  With rtol = 0 the estimate is c * e_max / 2 (e_min
    // taken as 0: only nodes whose terms are all negligible qualify).
    Decision decide(std::size_t node, const ReducedBounds& bd) {
        const double lo = bd.lo;
        if (!(lo >= 0.0)) return Decision::Visit;  // no bound
        const double e_max = term(lo);
        if (!(e_max <= std::numeric_limits<double>::max())) return Decision::Visit;
        const double c = static_cast<double>(t_.count(node));
        const double half = 0.5 * tol_ * std::max(anchor_, low_);
        const double share = half * (c / n_);
        const double left = half - used_;
        // An upper bound below the lower one bounds nothing (a vantage-point
        // leaf of one point reports -inf).
        const double hi = bd.hi;
        const bool has_hi = hi >= lo && hi <= std::numeric_limits<double>::max();
        if (!midpoints_) {
            const double err = c * e_max * 0.5;
            if (err <= share || err <= left) {
                if (!(err <= share)) used_ += err;
                acc_ += err;
                return Decision::Estimated;
            }
            // A node below has an e_max of at least this node's e_min and a
            // point or more, while L cannot grow past L + c * e_max here.
            if (c <= few_leaves_) return Decision::AddAll;  // as below
            if (!has_hi) return Decision::Visit;
            const double e_min = term(hi);
            const double limit = 0.5 * tol_ * (std::max(anchor_, low_) + c * e_max);
            return e_min * 0.5 > limit ? Decision::AddAll : Decision::Visit;
        }
        const double e_min = has_hi ? term(hi) : 0.0;
        const double err = c * (e_max - e_min) * 0.5;
        if (!(err <= share || err <= left)) {
            // Adding the points exactly is always sound; it saves the visits
            // of a subtree of a few leaves, most of the nodes of a tree.
            return c <= few_leaves_ ? Decision::AddAll : Decision::Visit;
        }
        if (!(err <= share)) used_ += err;
        acc_ += c * (e_min + e_max) * 0.5;
        low_ += c * e_min;
        return Decision::Estimated;
    }

    void add_points(std::size_t begin, std::size_t end) {
        cancel_tick();
        const std::size_t dim = t_.dim();
        for (std::size_t b = begin; b < end;) {
            if (b != begin) cancel_tick();
            const std::size_t m = std::min(end - b, kSumBlock);
            vmath::row_distances(t_.stored_rows() + b * dim, dim, m, t_.n_points() - b, q_, row_distance_of<M>(),
                                 buf_);
            if constexpr (kGauss) {
                for (std::size_t j = 0; j < m; ++j) buf_[j] = log_term(buf_[j]) - shift_;
                vmath::exp_n(buf_, buf_, m);
            } else {
                for (std::size_t j = 0; j < m; ++j) buf_[j] = Kernel::value(M::from_rdist(buf_[j]) / h_);
            }
            double a[4] = {0.0, 0.0, 0.0, 0.0};
            std::size_t j = 0;
            for (; j + 4 <= m; j += 4) {
                a[0] += buf_[j];
                a[1] += buf_[j + 1];
                a[2] += buf_[j + 2];
                a[3] += buf_[j + 3];
            }
            for (std::size_t k = 0; j < m; ++j, ++k) a[k] += buf_[j];
            const double s = (a[0] + a[1]) + (a[2] + a[3]);
            acc_ += s;
            low_ += s;
            b += m;
        }
    }

    const View& t_;
    const double* q_;
    double h_, coef_, tol_;
    bool midpoints_;
    double widen_, n_, few_leaves_;
    double best_r_ = std::numeric_limits<double>::infinity();
    double shift_ = 0.0, anchor_ = 0.0;
    double acc_ = 0.0, low_ = 0.0, used_ = 0.0;
    alignas(64) double buf_[kSumBlock];
};

// log S over every point in storage order, with no bound used: for
// non-finite input (see the top of the file).
template <class M, class Kernel>
double plain_log_sum(const double* rows, std::size_t n, std::size_t dim, const double* q, double h) {
    constexpr bool kGauss = std::is_same_v<Kernel, kde::Gaussian>;
    alignas(64) double buf[kBlock];
    auto each_block = [&](auto&& f) {
        for (std::size_t b = 0; b < n;) {
            if ((b & 0xfff) == 0) cancel_tick();
            const std::size_t m = std::min(n - b, kBlock);
            vmath::row_distances(rows + b * dim, dim, m, n - b, q, row_distance_of<M>(), buf);
            f(m);
            b += m;
        }
    };
    if constexpr (kGauss) {
        double top = -std::numeric_limits<double>::infinity();
        bool nan = false;
        each_block([&](std::size_t m) {
            for (std::size_t j = 0; j < m; ++j) {
                const double u = M::from_rdist(buf[j]) / h;
                const double t = (-0.5 * u) * u;
                nan |= t != t;
                if (t > top) top = t;
            }
        });
        if (nan) return std::numeric_limits<double>::quiet_NaN();
        if (top == -std::numeric_limits<double>::infinity()) return top;
        double acc = 0.0;
        each_block([&](std::size_t m) {
            for (std::size_t j = 0; j < m; ++j) {
                const double u = M::from_rdist(buf[j]) / h;
                buf[j] = (-0.5 * u) * u - top;
            }
            vmath::exp_n(buf, buf, m);
            for (std::size_t j = 0; j < m; ++j) acc += buf[j];
        });
        return top + std::log(acc);
    } else {
        double acc = 0.0;
        each_block([&](std::size_t m) {
            for (std::size_t j = 0; j < m; ++j) acc += Kernel::value(M::from_rdist(buf[j]) / h);
        });
        return std::log(acc);
    }
}

bool all_finite(const double* v, std::size_t n) noexcept {
    bool ok = true;
    for (std::size_t i = 0; i < n; ++i) ok &= std::isfinite(v[i]);
    return ok;
}

template <class Kind>
void dispatch_log_density(const SpatialTree<Kind>& tree, const double* queries, std::size_t n_queries,
                          KernelType kernel, double h, double rtol, bool normalize, double* out,
                          const std::size_t* scatter) {
    const std::size_t dim = tree.dim(), n = tree.n_points();
    // Checked once per call: a non-finite point sends every query the plain way.
    // (and a bandwidth whose square is a normal number, for the Gaussian's
    // coefficient)
    const bool finite_tree = h >= 1e-150 && h <= 1e150 && all_finite(tree.points(), n * dim);
    double offset = 0.0;
    if (normalize) {
        offset = std::log(static_cast<double>(n)) + (dim == 0 ? 0.0 : static_cast<double>(dim) * std::log(h)) +
                 log_kernel_volume(kernel, tree.metric(), dim);
    }
    with_metric(tree.metric(), [&](auto metric) {
        using M = decltype(metric);
        const kde::TreeView<Kind, M> view{tree};
        auto go = [&](auto kernel_policy) {
            using K = decltype(kernel_policy);
            parallel_for(n_queries, kde::density_grain(n), [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    const double* q = queries + i * dim;
                    double v;
                    if (finite_tree && all_finite(q, dim)) {
                        const auto qv = view.for_query(q);
                        v = LogSum<M, K, decltype(qv)>(qv, q, h, rtol).run();
                    } else {
                        v = plain_log_sum<M, K>(tree.points(), n, dim, q, h);
                    }
                    out[scatter ? scatter[i] : i] = normalize ? v - offset : v;
                }
            });
        };
        switch (kernel) {
            case KernelType::Epanechnikov: go(kde::Epanechnikov{}); break;
            case KernelType::Uniform: go(kde::Uniform{}); break;
            case KernelType::Triangular: go(kde::Triangular{}); break;
            case KernelType::Gaussian:
            default: go(kde::Gaussian{}); break;
        }
    });
}

}  // namespace

template <class Tree>
void log_density_rows(const Tree& tree, const double* queries, std::size_t n_queries, std::size_t width,
                      KernelType kernel, double h, double rtol, bool normalize, double* out) {
    if (width != tree.dim()) throw Error(msg::kQueryWidth);
    dispatch_log_density(tree, queries, n_queries, kernel, h, rtol, normalize, out, nullptr);
}

template <class Tree>
void log_density_at_points(const Tree& tree, KernelType kernel, double h, double rtol, bool normalize, double* out) {
    dispatch_log_density(tree, tree.points(), tree.n_points(), kernel, h, rtol, normalize, out, tree.order().data());
}

#define LUMI_LOG_DENSITY_INSTANTIATE(A, Kind, ...)                                                          \
    template void log_density_rows(const SpatialTree<Kind>&, const double*, std::size_t, std::size_t,       \
                                   KernelType, double, double, bool, double*);                              \
    template void log_density_at_points(const SpatialTree<Kind>&, KernelType, double, double, bool, double*);
LUMI_SPATIAL_KINDS(LUMI_LOG_DENSITY_INSTANTIATE, )

#undef LUMI_LOG_DENSITY_INSTANTIATE

}  // namespace lumi
