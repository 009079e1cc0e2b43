// Kernel sets of the Cholesky and QR factorisations, one per instruction-set
// level (see base/cpu.hpp).  The kernels are written once in
// factor_kernels.inc; factor_kernels.cpp (baseline), factor_kernels_avx2.cpp
// and factor_kernels_avx512.cpp compile them with their vector widths.  The
// drivers in linalg.cpp do the blocking and hand independent pieces to the
// worker pool.
#pragma once

#include <cstddef>

namespace lumi::fk {

struct FactorKernels {
    // Cholesky panel, rows below its diagonal block (column-major panel
    // lp[kk*ld + i]; see factor_kernels.inc).
    void (*chol_rows)(std::size_t jb, std::size_t cnt, double* lp, std::size_t ld, const double* s,
                      std::size_t lds, const double* at, std::size_t lda, const double* d);
    // The diagonal block of a Cholesky panel; false at a pivot that is not
    // positive.
    bool (*chol_diag)(std::size_t jb, double* lp, std::size_t ld, const double* s, std::size_t lds,
                      const double* at, std::size_t lda);
    // Householder reflections applied in order to a panel of `panel` columns.
    void (*house_cols)(std::size_t m, const std::size_t* js, std::size_t cnt, const double* vs,
                       const double* v2s, std::size_t vld, double* p, std::size_t ld);
    // `panel` rows of Q (transposed, starting from the identity) through all
    // reflections.
    void (*house_rows)(std::size_t m, std::size_t r0, const std::size_t* js, std::size_t cnt, const double* vs,
                       std::size_t vld, double* qb);
    // dst[c*dld + r] = src[r*sld + c] for r < rows, c < cols.
    void (*transpose)(const double* src, std::size_t sld, std::size_t rows, std::size_t cols, double* dst,
                      std::size_t dld);
    std::size_t panel;  // columns of R per house_cols call, rows of Q per house_rows call
    std::size_t lanes;  // doubles per vector
};

extern const FactorKernels kFactorBaseline, kFactorAvx2, kFactorAvx512;

// The set for the active level.
const FactorKernels& factor_kernels() noexcept;

}  // namespace lumi::fk
