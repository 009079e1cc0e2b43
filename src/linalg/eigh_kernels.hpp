// Kernels of the symmetric eigensolver (eigh.cpp), one set per
// instruction-set level (see base/cpu.hpp).  Written once in
// eigh_kernels.inc; eigh_kernels.cpp (baseline, and the choice of set),
// eigh_kernels_avx2.cpp and eigh_kernels_avx512.cpp compile it with their
// vector widths.  Every output is one lane and sees its terms in a fixed
// order, so all sets agree bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumi::ek {

struct EighKernels {
    // y = A x for the m x m symmetric matrix whose lower triangle is stored
    // row-major at a (row stride lda; the upper triangle is never read):
    //   y[i] = -0.0 + sum_{k<i} A[i,k] x[k] + A[i,i] x[i] + sum_{k>i} A[k,i] x[k],
    // the terms added in increasing k.
    void (*symv_lower)(std::size_t m, const double* a, std::size_t lda, const double* x, double* y);
    // Applies count plane rotations in order to columns [c0, c0 + chunk) of
    // the rows at z (row r at z + r*ldz, column 0 at z): rotation k acts on
    // rows p = row[k] and q = p + 1 with cosine c[k] >= +0 and sine s[k],
    //   z[q] <- c z[q] - s z[p],  z[p] <- s z[q] + c z[p]  (old values on the right),
    // and is skipped where both rows are known to be zero: outside columns
    // [lo[k], hi[k]].  (With c >= +0 a rotation keeps two +0 at +0, so the
    // skip changes no bit.)
    void (*rotate)(std::size_t count, const std::uint32_t* row, const std::uint32_t* lo, const std::uint32_t* hi,
                   const double* c, const double* s, double* z, std::size_t ldz, std::size_t c0);
    std::size_t chunk;  // columns per rotate call
};

extern const EighKernels kEighBaseline, kEighAvx2, kEighAvx512;

// The set for the active level.
const EighKernels& eigh_kernels() noexcept;

}  // namespace lumi::ek
