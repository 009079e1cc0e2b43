// Solving linear systems: triangular and Cholesky solves, LU with partial
// pivoting (solve, inv, det, slogdet) and least squares through Householder
// QR.
//
// Every result has one fixed sequence of rounded operations, so it is the
// same bits on every instruction set and for any thread count; the blocked
// paths (which hand their large parts to the product kernels, and those to
// the worker pool) reproduce the plain loops below exactly.
//
// Substitution (solve_triangular, cho_solve, both sweeps of solve and inv,
// the back substitution of lstsq): the unknowns are found one after another,
// top down for a lower triangle T, bottom up for an upper one, and
//     x_i = (b_i - s_i) / T[i, i]     (unit diagonal: x_i = b_i - s_i)
// where s_i is the sum of T[i, k] * x_k over the unknowns already found,
// added in the order they were found (increasing k for a lower triangle,
// decreasing k for an upper one) starting from -0.0.  Every right-hand side
// column is solved on its own.
//
// LU (solve, inv, det, slogdet): Gaussian elimination with partial pivoting,
// column by column.  For column k the pivot row is the first row i >= k with
// the largest |A[i, k]| (a NaN counts as larger than any number, the first
// NaN wins); the whole rows k and pivot are swapped; the multipliers are
// l_ik = A[i, k] / A[k, k] (left as they are, all zeros, when the pivot is
// zero); then every A[i, j], i, j > k, becomes A[i, j] - l_ik * A[k, j].  So
// each element receives its updates in increasing k, one rounded multiply
// and one rounded subtraction each: the plain triple loop, bit for bit.
#pragma once

#include <utility>

#include "array/ndarray.hpp"

namespace lumi {

// x with a x = b for a triangular a (n, n); only the triangle named by
// `lower` is read, and its diagonal only when !unit_diagonal.  b is (n,) or
// (n, r); x has b's shape.
ArrayF64 solve_triangular(const ArrayF64& a, const ArrayF64& b, bool lower, bool unit_diagonal);

// x with (l l^T) x = b for the lower Cholesky factor l (only its lower
// triangle is read): l y = b, then l^T x = y.
ArrayF64 cho_solve(const ArrayF64& l, const ArrayF64& b);

// x with a x = b by LU with partial pivoting: P a = L U; L y = P b; U x = y.
ArrayF64 solve(const ArrayF64& a, const ArrayF64& b);

// The inverse by LU: solve(a, identity) bit for bit.
ArrayF64 inv(const ArrayF64& a);

// The determinant: the product of U's diagonal in increasing order starting
// from 1.0, negated after an odd number of row swaps.
double det(const ArrayF64& a);

// (sign, log|det|): the sign from the swaps and U's diagonal; the log is the
// sum of log|U[k, k]| in increasing k starting from 0.0.  A zero pivot gives
// (0.0, -inf); a NaN pivot (NaN, NaN).
std::pair<double, double> slogdet(const ArrayF64& a);

// Least squares for m >= n through a Householder QR of a (the reflections
// of qr, applied to b as extra columns), then back substitution with R.
// Raises on rank deficiency (see solve.cpp) and for m < n.
ArrayF64 lstsq(const ArrayF64& a, const ArrayF64& b);

}  // namespace lumi
