// Log-densities of the three trees (KDTree, BallTree, VPTree): the natural
// log of the kernel sum over every point, with no cut-off, optionally within a
// guaranteed relative error and optionally normalised to a probability
// density.  The algorithm and its error bound are described in
// log_density.cpp.
#pragma once

#include <cstddef>

#include "spatial/metrics.hpp"

namespace lumi {

// log of c(kernel, metric, dim): the integral of the kernel profile K(|x|)
// over dim-space under the metric's norm.  With the unit ball's volume V,
// c = dim * V * integral_0^inf K(r) r^(dim-1) dr, which gives
//   Gaussian      V * 2^(dim/2) * Gamma(dim/2 + 1)   (Euclidean: (2 pi)^(dim/2))
//   Epanechnikov  1.5 * V / (dim + 2)
//   Uniform       0.5 * V
//   Triangular    V / (dim + 1)
// with V = pi^(dim/2) / Gamma(dim/2 + 1) (Euclidean), 2^dim / dim!
// (Manhattan) and 2^dim (Chebyshev).  dim = 0 gives log K(0).
double log_kernel_volume(KernelType kernel, DistanceMetric metric, std::size_t dim) noexcept;

// log-densities of `n_queries` query rows of `width` coordinates (row-major
// at `queries`) into out[0 .. n_queries).  rtol >= 0 (0: exact); normalize
// subtracts log(n_points * h^dim * c).  Fails with "Query dimension must
// match tree dimension" when width differs from the tree's dim.  Large jobs
// run on the worker pool; the bits do not depend on the number of threads or
// the instruction set.
template <class Tree>
void log_density_rows(const Tree& tree, const double* queries, std::size_t n_queries, std::size_t width,
                      KernelType kernel, double h, double rtol, bool normalize, double* out);

// The same at the tree's own points: out[r] is the value at input row r.
template <class Tree>
void log_density_at_points(const Tree& tree, KernelType kernel, double h, double rtol, bool normalize, double* out);

}  // namespace lumi
