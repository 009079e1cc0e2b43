// Linear algebra on NdArray<double>: products, transpose, diagonal, Cholesky,
// Householder QR and the unshifted QR-iteration eigen-decomposition.
//
// Every sum has a fixed order: a product element is the sum over k in
// increasing order starting from -0.0, one rounded multiply and one rounded
// add per term, exactly as the plain triple loop computes it.  The kernels
// behind these functions block, vectorise and parallelise across independent
// outputs only, so results are bit-identical on every code path and for any
// thread count.
#pragma once

#include <cstdint>
#include <utility>

#include "array/ndarray.hpp"

namespace lumi {

// Matrix product of 1-D / 2-D operands:
//   1-D . 1-D -> shape [1];  1-D . 2-D -> [p];  2-D . 1-D -> [m];  2-D . 2-D -> [m, p].
// Shape errors: "Vectors must have same length", "Inner dimensions must
// match", "Inner dimensions must match: X vs Y", "matmul requires 1D or 2D
// arrays".
ArrayF64 matmul(const ArrayF64& a, const ArrayF64& b);

// a[i] * b[j] as an (m, n) matrix; "First input must be 1D" / "Second input
// must be 1D".
ArrayF64 outer(const ArrayF64& a, const ArrayF64& b);

// (m, n) -> (n, m); "transpose requires 2D array".
ArrayF64 transpose(const ArrayF64& a);

// Diagonal k of a 2-D array (k > 0 above the main diagonal, k < 0 below);
// empty when the offset lies outside the matrix.  "Input must be 2D".
ArrayF64 diagonal(const ArrayF64& a, std::int64_t k);

// Lower-triangular L with L L^T = a, reading only the lower triangle of a
// (Cholesky-Banachiewicz sums).  "Cholesky decomposition requires a 2D
// matrix", "... a square matrix", "Matrix is not positive definite".
ArrayF64 cholesky(const ArrayF64& a);

// Complete Householder QR: Q (m, m) orthogonal, R (m, n) with exact zeros
// below the diagonal.  "QR decomposition requires a 2D matrix".
std::pair<ArrayF64, ArrayF64> qr(const ArrayF64& a);

// The reduced factorisation: Q (m, p) and R (p, n), p = min(m, n), the first
// p columns of qr's Q and its first p rows of R, bit for bit (the same
// reflections, applied in the same order; the columns of Q past p are worked
// out along the way, as every column of a row takes part in the sums, but
// never stored).  "QR decomposition requires a 2D matrix".
std::pair<ArrayF64, ArrayF64> qr_reduced(const ArrayF64& a);

// The Householder reduction behind qr: a is m x n, row-major.  Reflections
// are found for the columns j < min(reflect, m, n) and applied to all n
// columns.  r (r_rows x n, r_rows <= m) gets the first rows of R, exact zeros
// below the diagonal; q (m x q_cols, q_cols <= m) the first columns of the
// accumulated Q (untouched when q_cols is 0).  Returns how many of those
// columns were skipped (norm below 1e-14, no reflection).
std::size_t householder(const double* a, std::size_t m, std::size_t n, std::size_t reflect, double* q,
                        std::size_t q_cols, double* r, std::size_t r_rows);

// Unshifted QR iteration: (values, vectors) ordered by decreasing |value|
// (stable), the columns of the accumulated transform permuted alongside.
// "Eigendecomposition requires a 2D matrix", "... a square matrix".
// How the iteration ended.  `converged` is false when the limit was reached
// with the off-diagonal part still at or above the tolerance (and not
// exactly zero); the values are then only the diagonal of the last iterate.
struct EigReport {
    bool converged = true;
    std::uint64_t iterations = 0;
    double max_off_diagonal = 0.0;  // largest |A[i, j]|, i != j, of the last iterate
};

std::pair<ArrayF64, ArrayF64> eig_with_params(const ArrayF64& a, std::uint64_t max_iter, double tol,
                                              EigReport* report = nullptr);

// The values of eig_with_params(a, 1000, 1e-10).
ArrayF64 eigvals(const ArrayF64& a);

inline constexpr std::uint64_t kEigDefaultMaxIter = 1000;
inline constexpr double kEigDefaultTol = 1e-10;

}  // namespace lumi
