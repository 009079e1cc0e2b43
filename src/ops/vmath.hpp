// exp and log over arrays, with exactly the bits of the platform's scalar
// exp and log.
//
// On glibc with an AVX2+FMA or AVX-512 CPU the arrays go through vector
// kernels that repeat glibc's table-driven algorithms operation for operation
// (vmath_kernels.inc); lanes outside their fast range call the library.  Before
// the kernels are first used they are compared with std::exp / std::log on a
// fixed spread of a few thousand inputs (every binade, the edges of the fast
// ranges, specials); on any difference (another C library, a future glibc, a
// CPU without FMA) the whole process uses the scalar calls instead.  The
// kernels are also capped by LUMIVANDER_ISA like every other kernel set.
//
// LUMIVANDER_VMATH_SELFTEST=fail makes that comparison fail, as it would
// against a different library, so the scalar path can be exercised.
#pragma once

#include <cstddef>

namespace lumi::vmath {

// out[i] = std::exp(in[i]) for i < n, bit for bit.  `in` and `out` may be the
// same array (not otherwise overlapping).
void exp_n(const double* in, double* out, std::size_t n) noexcept;

// out[i] = std::log(in[i]) for i < n, bit for bit; same aliasing rule.
void log_n(const double* in, double* out, std::size_t n) noexcept;

// out[i] = std::exp((-0.5 * u) * u) with u = std::sqrt(r[i]) / h when `root`
// (r a squared distance), else u = r[i] / h: the Gaussian kernel, each step
// rounded as written, bit for bit.  Same aliasing rule.
void gaussian_n(const double* r, double* out, std::size_t n, double h, bool root) noexcept;

// How row_distances folds the coordinate differences q[i] - row[i] of a row,
// in coordinate order from +0.0: acc + d * d, acc + |d|, or |d| when it is
// greater than acc (a NaN difference never replaces acc).
enum class RowDistance { SumSquares, SumAbs, MaxAbs };

// out[j] = the folded differences between q and rows[j * dim .. j * dim + dim)
// for j < m, each rounded as written (the same bits as the scalar loop).
// `avail` >= m rows may be read (a last partial vector reads past row m when
// they are there, and discards those lanes).
void row_distances(const double* rows, std::size_t dim, std::size_t m, std::size_t avail, const double* q,
                   RowDistance kind, double* out) noexcept;

// out[j] = the Gaussian kernel of row j: gaussian_n of row_distances, with
// root = (kind == SumSquares).
void gaussian_rows(const double* rows, std::size_t dim, std::size_t m, std::size_t avail, const double* q,
                   RowDistance kind, double h, double* out) noexcept;

// acc + g[0] + g[1] + ... + g[m - 1], added one at a time in that order, where
// g[j] is the Gaussian kernel of row j as gaussian_rows gives it: the same
// bits as the scalar loop, without storing the kernel values.
double gaussian_rows_sum(const double* rows, std::size_t dim, std::size_t m, std::size_t avail, const double* q,
                         RowDistance kind, double h, double acc) noexcept;

// gaussian_rows of m points stored by coordinate: coordinate i of point j is
// cols[i * stride + j].  Whole vectors are read: entries up to m rounded up to
// a multiple of 8 must be there (their lanes are discarded).
void gaussian_cols(const double* cols, std::size_t stride, std::size_t dim, std::size_t m, const double* q,
                   RowDistance kind, double h, double* out) noexcept;

// out[k] for k0 <= k < k1: the folded gaps between q and box k, whose
// corners are lo[i * stride + k] and hi[i * stride + k] for coordinate i <
// dim: per coordinate lo - q when q < lo, else q - hi when q > hi, else 0.0,
// folded in coordinate order from +0.0 as row_distances folds differences,
// each step rounded as written.  The arrays hold whole vectors: entries up to
// k1 rounded up to a multiple of 8 may be read (and out written there).
void box_distances(const double* lo, const double* hi, std::size_t stride, std::size_t k0, std::size_t k1,
                   std::size_t dim, const double* q, RowDistance kind, double* out) noexcept;

}  // namespace lumi::vmath
