// Product kernels shared by the linear-algebra operations.
//
// Each output element is init + A(i,0)*B(0,j) + A(i,1)*B(1,j) + ... added
// strictly in increasing k, one rounded multiply and one rounded add per
// term: the result of the plain loop, bit for bit.  The kernels get their
// speed from computing many outputs at once (SIMD lanes across j, a register
// tile across i and j, packed panels, cache blocking along k that continues
// the running sums stored in C), never from reordering a sum.
//
// The kernels come in one set per instruction-set level (matmul_kernels.hpp,
// chosen by base/cpu.hpp: AVX-512, AVX2 or the portable baseline, capped by
// LUMIVANDER_ISA).  All of them agree bit for bit.
#pragma once

#include <cstddef>

namespace lumi::mm {

// C[i*ldc + j] = init + sum_k A(i,k) * B(k,j) for i < m, j < p, k < n, where
// A(i,k) = a[i*ars + k*acs] and B(k,j) = b[k*brs + j*bcs].  C must not
// overlap A or B.  Splits the rows over the worker pool when worthwhile.
void gemm(std::size_t m, std::size_t n, std::size_t p, const double* a, std::size_t ars, std::size_t acs,
          const double* b, std::size_t brs, std::size_t bcs, double* c, std::size_t ldc, double init);

// C[i*ldc + j] += sum_k A(i,k) * B(k,j), same operands as gemm: each element
// continues from its value in C, adding the terms in increasing k (C - A B
// is gemm_acc with A negated: x - y and x + (-y) round alike).
void gemm_acc(std::size_t m, std::size_t n, std::size_t p, const double* a, std::size_t ars, std::size_t acs,
              const double* b, std::size_t brs, std::size_t bcs, double* c, std::size_t ldc);

// y[j] = init + sum_k x[k] * B(k,j), B(k,j) = b[k*ldb + j].
void vecmat(std::size_t n, std::size_t p, const double* x, const double* b, std::size_t ldb, double* y,
            double init);

// y[i] = init + sum_k A(i,k) * x[k], A(i,k) = a[i*lda + k].
void matvec(std::size_t m, std::size_t n, const double* a, std::size_t lda, const double* x, double* y,
            double init);

}  // namespace lumi::mm
