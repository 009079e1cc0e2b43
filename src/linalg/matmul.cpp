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

// Multiply-adds of a matrix-vector product worth handing to another thread:
// fewer than for a matrix product, as these stream their matrix from memory
// or the outer caches rather than compute.
constexpr std::size_t kVectorWork = std::size_t{1} << 16;

// Largest packed slab of B shared by the threads (16 MiB), kept by the
// calling thread for later products.
constexpr std::size_t kSlabDoubles = std::size_t{1} << 21;

// Below this many multiply-adds the plain loop beats packing.
constexpr std::size_t kSmallProduct = 16 * 16 * 16;

void gemm_plain(const GemmJob& j) {
    for (std::size_t i = 0; i < j.m; ++i) {
        for (std::size_t q = 0; q < j.p; ++q) {
            double s = j.accumulate ? j.c[i * j.ldc + q] : j.init;
            const double* a = j.a + i * j.ars;
            const double* b = j.b + q * j.bcs;
            for (std::size_t k = 0; k < j.n; ++k) s = s + a[k * j.acs] * b[k * j.brs];
            j.c[i * j.ldc + q] = s;
        }
    }
}

// Products too deep for a packed slab: each block of B is packed once, by
// all threads, and shared; blocks along k go in order.
void gemm_deep(const GemmJob& job, const MatmulKernels& k, std::size_t panels) {
    const std::size_t m = job.m, n = job.n, p = job.p;
    double* bpack = scratch(0, k.kc * k.nc);
    for (std::size_t jc = 0; jc < p; jc += k.nc) {
        const std::size_t nc = std::min(k.nc, p - jc);
        for (std::size_t pc = 0; pc < n; pc += k.kc) {
            const std::size_t kc = std::min(k.kc, n - pc);
            const std::size_t bpanels = (nc + k.nr - 1) / k.nr;
            const std::size_t bgrain = std::max<std::size_t>(1, kParallelWork / 8 / (kc * k.nr));
            parallel_for(bpanels, bgrain, [&](std::size_t b, std::size_t e) {
                k.pack_b_block(job, jc, nc, pc, kc, b * k.nr, std::min(nc, e * k.nr), bpack);
            });
            const std::size_t block_grain = std::max<std::size_t>(1, kParallelWork / (k.mr * kc * nc));
            parallel_for(panels, block_grain, [&](std::size_t b, std::size_t e) {
                k.gemm_block(job, bpack, jc, nc, pc, kc, b * k.mr, std::min(m, e * k.mr));
            });
        }
    }
}

// The product of `job`, on the pool when worthwhile.
void gemm_job(const GemmJob& job) {
    const std::size_t m = job.m, n = job.n, p = job.p;
    double* c = job.c;
    const std::size_t ldc = job.ldc;
    const double init = job.init;
    if (m == 0 || p == 0) return;
    if (n == 0) {
        if (job.accumulate) return;
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
    // The threads wake up while B is being packed.
    wake_workers(std::min(worker_count(), panels / grain) - 1);
    // Several threads.  B is packed once, by all of them, for a slab of
    // columns at a time; then each piece of work (rows against a column
    // block) runs through the slab's blocks along k in order, so that every
    // sum still takes its terms in increasing k.  One pass over the pool per
    // slab keeps the threads from meeting at a barrier after every block (a
    // thread slowed down by another process would hold all the others up
    // each time).
    const bool in_place = b_read_in_place(job, k.lanes);
    // Columns per slab: whole blocks, and a packed slab of at most
    // kSlabDoubles (but at least one block).
    const std::size_t slab_cols =
        std::max<std::size_t>(k.nc, kSlabDoubles / std::max<std::size_t>(n, 1) / k.nc * k.nc);
    if (!in_place && n > kSlabDoubles / std::min(k.nc, (p + k.nr - 1) / k.nr * k.nr)) {
        gemm_deep(job, k, panels);
        return;
    }
    double* bpack = nullptr;
    if (!in_place) {
        const std::size_t width = std::min(slab_cols, (p + k.nr - 1) / k.nr * k.nr);
        bpack = scratch(0, n * width);
    }
    for (std::size_t s0 = 0; s0 < p; s0 += slab_cols) {
        const std::size_t s1 = std::min(p, s0 + slab_cols);
        // Block (jc, pc) of the slab sits at bpack + n * (jc - s0) + pc * (its
        // width rounded up to whole panels), panel by panel.
        auto block_at = [&](std::size_t jc, std::size_t nc, std::size_t pc) {
            return bpack + n * (jc - s0) + pc * ((nc + k.nr - 1) / k.nr * k.nr);
        };
        if (!in_place) {
            // Panels of the slab, numbered block by block.
            const std::size_t kblocks = (n + k.kc - 1) / k.kc;
            const std::size_t cpanels = (s1 - s0 + k.nr - 1) / k.nr;
            const std::size_t bgrain = std::max<std::size_t>(1, kParallelWork / 64 / (std::min(n, k.kc) * k.nr));
            parallel_for(cpanels * kblocks, bgrain, [&](std::size_t b, std::size_t e) {
                for (std::size_t t = b; t < e; ++t) {
                    const std::size_t cp = t / kblocks, pc = t % kblocks * k.kc;
                    const std::size_t jc = s0 + cp * k.nr / k.nc * k.nc;
                    const std::size_t nc = std::min(k.nc, s1 - jc);
                    const std::size_t jr = s0 + cp * k.nr - jc;
                    k.pack_b_block(job, jc, nc, pc, std::min(k.kc, n - pc), jr, jr + k.nr, block_at(jc, nc, pc));
                }
            });
        }
        // Work items: one panel of rows against one column block of the
        // slab, numbered block by block, so that the threads work on the
        // same block of B at the same time; each item runs its blocks along
        // k in order.
        const std::size_t jblocks = (s1 - s0 + k.nc - 1) / k.nc;
        const std::size_t item_grain = std::max<std::size_t>(1, kParallelWork / (k.mr * n * std::min(k.nc, s1 - s0)));
        parallel_for(jblocks * panels, item_grain, [&](std::size_t b, std::size_t e) {
            while (b < e) {
                const std::size_t jb = b / panels, r0 = b % panels;
                const std::size_t r1 = std::min(panels, r0 + (e - b));
                const std::size_t jc = s0 + jb * k.nc, nc = std::min(k.nc, s1 - jc);
                const std::size_t i0 = r0 * k.mr, i1 = std::min(m, r1 * k.mr);
                for (std::size_t pc = 0; pc < n; pc += k.kc) {
                    check_cancel();
                    k.gemm_block(job, in_place ? nullptr : block_at(jc, nc, pc), jc, nc, pc,
                                 std::min(k.kc, n - pc), i0, i1);
                }
                b += r1 - r0;
            }
        });
    }
}

}  // namespace

void gemm(std::size_t m, std::size_t n, std::size_t p, const double* a, std::size_t ars, std::size_t acs,
          const double* b, std::size_t brs, std::size_t bcs, double* c, std::size_t ldc, double init) {
    gemm_job(GemmJob{m, n, p, a, ars, acs, b, brs, bcs, c, ldc, init, false});
}

void gemm_acc(std::size_t m, std::size_t n, std::size_t p, const double* a, std::size_t ars, std::size_t acs,
              const double* b, std::size_t brs, std::size_t bcs, double* c, std::size_t ldc) {
    gemm_job(GemmJob{m, n, p, a, ars, acs, b, brs, bcs, c, ldc, -0.0, true});
}

void vecmat(std::size_t n, std::size_t p, const double* x, const double* b, std::size_t ldb, double* y,
            double init) {
    // Column blocks are independent; 512 columns (4 KiB of every row, read
    // contiguously) is a whole number of vector blocks on every instruction
    // set.  Narrower blocks cost more than they gain: the rows of B are read
    // in short pieces far apart, which the hardware prefetchers follow
    // badly (256 columns run about a third slower per element).
    constexpr std::size_t kCols = 512;
    const auto& kv = matmul_kernels().vecmat;
    const std::size_t blocks = (p + kCols - 1) / kCols;
    std::size_t grain = std::max<std::size_t>(1, kVectorWork / kCols / std::max<std::size_t>(n, 1));
    // On one thread, pieces (between checks for cancellation) of at least
    // sixteen times that much work: every piece reads its rows in shorter
    // runs than the whole product would.
    if (!splits(blocks, grain)) grain = std::max<std::size_t>(1, 16 * kVectorWork / kCols / std::max<std::size_t>(n, 1));
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
    const std::size_t grain = std::max<std::size_t>(1, kVectorWork / kRows / std::max<std::size_t>(n, 1));
    parallel_for(blocks, grain, [&](std::size_t b, std::size_t e) {
        const std::size_t i0 = b * kRows, i1 = std::min(m, e * kRows);
        kv(i1 - i0, n, a + i0 * lda, lda, x, y + i0, init);
    });
}

}  // namespace lumi::mm
