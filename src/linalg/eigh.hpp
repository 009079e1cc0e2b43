// Eigenvalues and eigenvectors of a real symmetric matrix.
//
// Only the lower triangle of the input is read.  Householder reduction to
// tridiagonal form by panels (the trailing updates go through the product
// kernels); for the values alone the implicit symmetric tridiagonal QR
// iteration with Wilkinson shifts and deflation; for the vectors divide and
// conquer (the QR iteration on its small blocks), then the Householder
// reflections applied to the tridiagonal eigenvectors in blocks.  Every sum
// has one fixed order, and the work is split only between independent
// outputs, so the results are the same bits for any thread count and
// instruction set.  The two routes to the values agree to rounding, not bit
// for bit.
#pragma once

#include <utility>

#include "array/ndarray.hpp"

namespace lumi {

inline constexpr const char* kEighNotFinite = "Eigendecomposition requires finite values";
inline constexpr const char* kEighNoConvergence = "Eigendecomposition did not converge";

// (values ascending, vectors as columns: a v_k = values[k] v_k).  Errors: the
// messages of eig for a matrix that is not 2-D or not square, kEighNotFinite
// for a NaN or infinity in the lower triangle.
std::pair<ArrayF64, ArrayF64> eigh(const ArrayF64& a);

// The eigenvalues alone (ascending), by the QR iteration.
ArrayF64 eigvalsh(const ArrayF64& a);

}  // namespace lumi
