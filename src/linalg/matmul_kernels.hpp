// Product kernel sets, one per instruction-set level (see base/cpu.hpp).
// The kernels are written once in matmul_kernels.inc; matmul_kernels.cpp
// (baseline), matmul_kernels_avx2.cpp and matmul_kernels_avx512.cpp compile
// them with their tile sizes.  matmul.cpp holds the drivers.
#pragma once

#include <cstddef>

#include "base/cancel.hpp"

namespace lumi::mm {

// C[i*ldc + j] = init + sum_k A(i,k) * B(k,j) with A(i,k) = a[i*ars + k*acs]
// and B(k,j) = b[k*brs + j*bcs]; with `accumulate`, the sums continue from
// the values in C instead of starting at init.
struct GemmJob {
    std::size_t m, n, p;
    const double* a;
    std::size_t ars, acs;
    const double* b;
    std::size_t brs, bcs;
    double* c;
    std::size_t ldc;
    double init;
    bool accumulate;
};

// The calling thread's packing buffer `slot` (0 to 2), 64-byte aligned, with
// room for at least `count` doubles; throws std::bad_alloc.
double* scratch(int slot, std::size_t count);

// Small B whose rows are whole vectors is read in place instead of packed.
inline bool b_read_in_place(const GemmJob& job, std::size_t lanes) {
    return job.bcs == 1 && job.p % lanes == 0 && job.n * job.p <= 96 * 96;
}

struct MatmulKernels {
    // Rows [i0, i1) of C for the whole product, packing B as it goes.
    void (*gemm_rows)(const GemmJob& job, std::size_t i0, std::size_t i1);
    // The same split by blocks of B (kc rows by nc columns, at most `kc` by
    // `nc` below) so that threads can share them: pack panels [jr0, jr1) of
    // a block, and rows [i0, i1) of C against a packed block (bpack null:
    // B read in place).
    void (*pack_b_block)(const GemmJob& job, std::size_t jc, std::size_t nc, std::size_t pc, std::size_t kc,
                         std::size_t jr0, std::size_t jr1, double* bpack);
    void (*gemm_block)(const GemmJob& job, const double* bpack, std::size_t jc, std::size_t nc, std::size_t pc,
                       std::size_t kc, std::size_t i0, std::size_t i1);
    // y[j] = init + sum_k x[k] * b[k*ldb + j].
    void (*vecmat)(std::size_t n, std::size_t p, const double* x, const double* b, std::size_t ldb, double* y,
                   double init);
    // y[i] = init + sum_k a[i*lda + k] * x[k].
    void (*matvec)(std::size_t m, std::size_t n, const double* a, std::size_t lda, const double* x, double* y,
                   double init);
    std::size_t mr;     // rows of C per register tile
    std::size_t nr;     // columns of C per register tile (a packed panel of B)
    std::size_t kc;     // rows of a block of B
    std::size_t nc;     // columns of a block of B
    std::size_t lanes;  // doubles per vector
};

extern const MatmulKernels kMatmulBaseline, kMatmulAvx2, kMatmulAvx512;

// The set for the active level.
const MatmulKernels& matmul_kernels() noexcept;

}  // namespace lumi::mm
