// Product drivers: per-thread packing buffers, and the splitting of a
// product into independent pieces for the kernels of matmul_kernels.hpp.
#include "linalg/matmul.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <new>

#include "base/cancel.hpp"
#include "base/parallel.hpp"
#include "linalg/matmul_kernels.hpp"

namespace lumi::mm {

namespace {

// Per-thread scratch buffers (64-byte aligned), grown on demand and kept for
// the thread's lifetime.
struct PackBuffers {
    double* ptr[3] = {nullptr, nullptr, nullptr};
    std::size_t cap[3] = {0, 0, 0};
    ~PackBuffers() {
        for (double* p : ptr) std::free(p);
    }
};

}  // namespace

double* scratch(int slot, std::size_t count) {
    PackBuffers& s = thread_cache<PackBuffers>();
    if (s.cap[slot] < count) {
        std::free(s.ptr[slot]);
        s.ptr[slot] = nullptr;
        s.cap[slot] = 0;
        const std::size_t bytes = (count * sizeof(double) + 63) & ~std::size_t{63};
        void* p = std::aligned_alloc(64, bytes);
        if (!p) throw std::bad_alloc();
        // Zero once so padded lanes never hold stray NaNs or subnormals.
        std::memset(p, 0, bytes);
        s.ptr[slot] = static_cast<double*>(p);
        s.cap[slot] = count;
    }
    return s.ptr[slot];
}

namespace {

// Multiply-adds worth handing to another thread.
constexpr std::size_t kParallelWork = std::size_t{1} << 19;

// Below this many multiply-adds the plain loop beats packing.
constexpr std::size_t kSmallProduct = 16 * 16 * 16;

void gemm_plain(const GemmJob& j) {
    for (std::size_t i = 0; i < j.m; ++i) {
        for (std::size_t q = 0; q < j.p; ++q) {
            double s = j.init;
            const double* a = j.a + i * j.ars;
            const double* b = j.b + q * j.bcs;
            for (std::size_t k = 0; k < j.n; ++k) s = s + a[k * j.acs] * b[k * j.brs];
            j.c[i * j.ldc + q] = s;
        }
    }
}

}  // namespace

void gemm(std::size_t m, std::size_t n, std::size_t p, const double* a, std::size_t ars, std::size_t acs,
          const double* b, std::size_t brs, std::size_t bcs, double* c, std::size_t ldc, double init) {
    if (m == 0 || p == 0) return;
    const GemmJob job{m, n, p, a, ars, acs, b, brs, bcs, c, ldc, init};
    if (n == 0) {
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t q = 0; q < p; ++q) c[i * ldc + q] = init;
        return;
    }
    // m * n * p without overflow: compare step by step.
    if (n <= kSmallProduct / m && m * n <= kSmallProduct / p) {
        gemm_plain(job);
        return;
    }
    // Row panels are independent outputs.
    const MatmulKernels& k = matmul_kernels();
    const std::size_t panels = (m + k.mr - 1) / k.mr;
    // n * p is the element count of B, so this cannot overflow.
    const std::size_t per_panel = k.mr * n * p;
    const std::size_t grain = std::max<std::size_t>(1, kParallelWork / per_panel);
    if (!splits(panels, grain)) {
        k.gemm_rows(job, 0, m);
        return;
    }
    // Several threads: each block of B is packed once, by all of them, and
    // shared, however many chunks the rows are cut into; blocks along k go
    // in order, so every sum still takes its terms in increasing k.
    const bool in_place = b_read_in_place(job, k.lanes);
    double* bpack = in_place ? nullptr : scratch(0, k.kc * k.nc);
    for (std::size_t jc = 0; jc < p; jc += k.nc) {
        const std::size_t nc = std::min(k.nc, p - jc);
        for (std::size_t pc = 0; pc < n; pc += k.kc) {
            const std::size_t kc = std::min(k.kc, n - pc);
            if (!in_place) {
                const std::size_t bpanels = (nc + k.nr - 1) / k.nr;
                const std::size_t bgrain = std::max<std::size_t>(1, kParallelWork / 8 / (kc * k.nr));
                parallel_for(bpanels, bgrain, [&](std::size_t b, std::size_t e) {
                    k.pack_b_block(job, jc, nc, pc, kc, b * k.nr, std::min(nc, e * k.nr), bpack);
                });
            }
            const std::size_t block_grain = std::max<std::size_t>(1, kParallelWork / (k.mr * kc * nc));
            parallel_for(panels, block_grain, [&](std::size_t b, std::size_t e) {
                k.gemm_block(job, bpack, jc, nc, pc, kc, b * k.mr, std::min(m, e * k.mr));
            });
        }
    }
}

void vecmat(std::size_t n, std::size_t p, const double* x, const double* b, std::size_t ldb, double* y,
            double init) {
    // Column blocks are independent; 64 columns is a whole number of vector
    // blocks on every instruction set.
    constexpr std::size_t kCols = 64;
    const auto& kv = matmul_kernels().vecmat;
    const std::size_t blocks = (p + kCols - 1) / kCols;
    const std::size_t grain = std::max<std::size_t>(1, kParallelWork / kCols / std::max<std::size_t>(n, 1));
    parallel_for(blocks, grain, [&](std::size_t bb, std::size_t be) {
        const std::size_t j0 = bb * kCols, j1 = std::min(p, be * kCols);
        kv(n, j1 - j0, x, b + j0, ldb, y + j0, init);
    });
}

void matvec(std::size_t m, std::size_t n, const double* a, std::size_t lda, const double* x, double* y,
            double init) {
    // Blocks of rows are independent; twelve rows are what the kernels keep
    // in flight.
    constexpr std::size_t kRows = 12;
    const auto& kv = matmul_kernels().matvec;
    const std::size_t blocks = (m + kRows - 1) / kRows;
    const std::size_t grain = std::max<std::size_t>(1, kParallelWork / kRows / std::max<std::size_t>(n, 1));
    parallel_for(blocks, grain, [&](std::size_t b, std::size_t e) {
        const std::size_t i0 = b * kRows, i1 = std::min(m, e * kRows);
        kv(i1 - i0, n, a + i0 * lda, lda, x, y + i0, init);
    });
}

}  // namespace lumi::mm
