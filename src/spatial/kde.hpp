// Kernel density sums of the three trees (KDTree, BallTree, VPTree): the
// approximation criterion's names and parameters, and the entry points.  The
// recursion itself is in kde_recursion.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/messages.hpp"
#include "spatial/metrics.hpp"

namespace lumi {

// Criterion names: "none", "min_samples", "max_span", "combined", matched on
// the caller's lower-cased text (msg::kCriterionOption for unknown ones).
std::optional<ApproxCriterion::Tag> criterion_from_name(std::string_view lowered);

// The criterion of `tag` with its parameters; fails when one it needs is
// absent ("min_samples parameter required for 'combined' criterion").
ApproxCriterion make_criterion(ApproxCriterion::Tag tag, std::optional<std::uint64_t> min_samples,
                               std::optional<double> max_span);

// Densities of `n_queries` query rows of `width` coordinates each (row-major
// at `queries`), one per row into out[0 .. n_queries).  Criterion None gives
// the exact sums.  Fails with "Query dimension must match tree dimension"
// when width differs from the tree's dim.  Large jobs run on the worker
// pool; the results do not depend on the number of threads.  Defined for
// KDTree, BallTree and VPTree.
template <class Tree>
void kernel_density_rows(const Tree& tree, const double* queries, std::size_t n_queries, std::size_t width,
                         KernelType kernel, double h, const ApproxCriterion& criterion, double* out);

// Densities at the tree's own points: out[r] is the density at input row r.
template <class Tree>
void kernel_density_at_points(const Tree& tree, KernelType kernel, double h, const ApproxCriterion& criterion,
                              double* out);

// Whether a job of n_queries queries over n_points points is large enough to
// be worth running without the interpreter lock.
inline bool density_job_is_large(std::size_t n_queries, std::size_t n_points) noexcept {
    const std::size_t per_query = n_points > 0 ? n_points : 1;
    return n_queries >= (std::size_t{1} << 14) / per_query + 1;
}

}  // namespace lumi
