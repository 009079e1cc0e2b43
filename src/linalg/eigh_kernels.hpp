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

// One sweep of plane rotations of the tridiagonal QR iteration, as applied
// to the rows of the transposed eigenvector matrix: rotation t (t < count-1)
// acts on rows lo+t and lo+t+1 with cosine c[first+t] and sine s[first+t];
// a backward sweep applies t = count-2 down to 0, a forward one t = 0 up.
struct Sweep {
    std::uint32_t lo;
    std::uint32_t count;
    std::uint32_t forward;
    std::uint32_t pad;
    std::size_t first;
};

struct EighKernels {
    // y = A x for the m x m symmetric matrix whose lower triangle is stored
    // row-major at a (row stride lda; the upper triangle is never read):
    //   y[i] = -0.0 + sum_{k<i} A[i,k] x[k] + A[i,i] x[i] + sum_{k>i} A[k,i] x[k],
    // the terms added in increasing k.
    void (*symv_lower)(std::size_t m, const double* a, std::size_t lda, const double* x, double* y);
    // Applies sweeps[0..count) in order to `chunk` columns of the rows at z
    // (row r at z + r*ldz):  for rotation (c, s) on rows (p, q = p+1),
    //   z[q] <- c z[q] - s z[p],  z[p] <- s z[q] + c z[p]  (old values on the right).
    void (*rotate)(const Sweep* sweeps, std::size_t count, const double* c, const double* s, double* z,
                   std::size_t ldz);
    std::size_t chunk;  // columns per rotate call
};

extern const EighKernels kEighBaseline, kEighAvx2, kEighAvx512;

// The set for the active level.
const EighKernels& eigh_kernels() noexcept;

}  // namespace lumi::ek
