// Kernel sets of the solvers (solve.cpp), one per instruction-set level (see
// base/cpu.hpp).  The kernels are written once in solve_kernels.inc as plain
// loops whose iterations are independent outputs; solve_kernels.cpp
// (baseline), solve_kernels_avx2.cpp and solve_kernels_avx512.cpp compile
// them with their vector widths, so every level does the same operations on
// every element.
#pragma once

#include <cstddef>

namespace lumi::sk {

struct SolveKernels {
    // Rows [0, nb) of a lower-triangular block against columns [c0, c1):
    // x[i, j] holds a running sum; it receives t[i, k] * x[k, j] for k < i in
    // increasing k, then becomes (b[i, j] - sum) / t[i, i] (b - sum when unit).
    void (*lower_base)(std::size_t nb, std::size_t c0, std::size_t c1, const double* t, std::size_t ldt,
                       bool unit, const double* b, std::size_t ldb, double* x, std::size_t ldx);
    // b[i, j] - l[i, k] * b[k, j] for k < i in increasing k (a unit-lower
    // solve in update form) for rows i < nr, columns j < p.
    void (*unit_lower_base)(std::size_t nr, std::size_t p, const double* l, std::size_t ldl, double* b,
                            std::size_t ldb);
    // Gaussian elimination with partial pivoting of a column-major panel
    // (pc[j*rows + i], wb columns): pivot[kk] gets the panel row swapped
    // with row kk; returns the first column without a nonzero pivot, or wb.
    std::size_t (*lu_panel)(std::size_t rows, std::size_t wb, double* pc, std::size_t* pivot);
    // v[i] / nv into v, and v[i] + v[i] into v2, for i < len.
    void (*house_scale)(std::size_t len, double* v, double nv, double* v2);
    // w[k] + v[i] * a[i*lda + k] for i < len in increasing i, k < cols.  w
    // has room for max(cols, 32) values, and 32 values from the start of
    // every row can be read.
    void (*house_dot)(std::size_t len, std::size_t cols, const double* v, const double* a, std::size_t lda,
                      double* w);
    // a[i*lda + k] - v2[i] * w[k] for i < len, k < cols.  With `next`, the
    // new values of column 1 in rows 1 .. len-1 also go to next[0 ..
    // len-2], and the sum of their squares (from -0.0, in order) is
    // returned.
    double (*house_update)(std::size_t len, std::size_t cols, const double* v2, double* a, std::size_t lda,
                           const double* w, double* next);
};

extern const SolveKernels kSolveBaseline, kSolveAvx2, kSolveAvx512;

// The set for the active level.
const SolveKernels& solve_kernels() noexcept;

}  // namespace lumi::sk
