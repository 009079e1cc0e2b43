// AVX2 scanning loops of the order statistics (compiled with the AVX2 flags
// of CMakeLists.txt): the portable loops, plus a filter that counts in vector
// lanes and stores every group of four packed.
#include "stats/select_kernels.hpp"

#include <cstdint>

#include <immintrin.h>

namespace lumi::stats {

namespace {

#include "stats/select_kernels.inc"

// vpermps indices moving the lanes set in a 4-bit mask (two 32-bit halves
// per double) to the front, in lane order.
struct PackTable {
    alignas(32) std::int32_t idx[16][8];
    constexpr PackTable() : idx{} {
        for (int m = 0; m < 16; ++m) {
            int out = 0;
            for (int lane = 0; lane < 4; ++lane) {
                if (m & (1 << lane)) {
                    idx[m][2 * out] = 2 * lane;
                    idx[m][2 * out + 1] = 2 * lane + 1;
                    ++out;
                }
            }
        }
    }
};
constexpr PackTable kPack{};

// Every group of four is stored packed, unconditionally (hence the three
// elements of slack); the tail goes through the portable filter.
std::size_t filter_block_avx2(const double* __restrict x, std::size_t n, double lo, double hi,
                              double* __restrict b, Counts& c) noexcept {
    const __m256d vlo = _mm256_set1_pd(lo);
    const __m256d vhi = _mm256_set1_pd(hi);
    __m256i below = _mm256_setzero_si256(), eq_lo = below, eq_hi = below, nans = below;
    std::size_t j = 0, i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d v = _mm256_loadu_pd(x + i);
        // Each true lane is all ones, i.e. -1: subtracting counts it.
        below = _mm256_sub_epi64(below, _mm256_castpd_si256(_mm256_cmp_pd(v, vlo, _CMP_LT_OQ)));
        eq_lo = _mm256_sub_epi64(eq_lo, _mm256_castpd_si256(_mm256_cmp_pd(v, vlo, _CMP_EQ_OQ)));
        eq_hi = _mm256_sub_epi64(eq_hi, _mm256_castpd_si256(_mm256_cmp_pd(v, vhi, _CMP_EQ_OQ)));
        nans = _mm256_sub_epi64(nans, _mm256_castpd_si256(_mm256_cmp_pd(v, v, _CMP_UNORD_Q)));
        const __m256d in = _mm256_and_pd(_mm256_cmp_pd(v, vlo, _CMP_GT_OQ), _mm256_cmp_pd(v, vhi, _CMP_LT_OQ));
        const int m = _mm256_movemask_pd(in);
        const __m256i perm = _mm256_load_si256(reinterpret_cast<const __m256i*>(kPack.idx[m]));
        _mm256_storeu_pd(b + j, _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(v), perm)));
        j += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(m)));
    }
    alignas(32) std::uint64_t lanes[4][4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[0]), below);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[1]), eq_lo);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[2]), eq_hi);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[3]), nans);
    c.below += lanes[0][0] + lanes[0][1] + lanes[0][2] + lanes[0][3];
    c.eq_lo += lanes[1][0] + lanes[1][1] + lanes[1][2] + lanes[1][3];
    c.eq_hi += lanes[2][0] + lanes[2][1] + lanes[2][2] + lanes[2][3];
    c.nans += lanes[3][0] + lanes[3][1] + lanes[3][2] + lanes[3][3];
    return j + filter_block(x + i, n - i, lo, hi, b + j, c);
}

}  // namespace

constinit const SelectKernels kSelectAvx2{has_zero, has_nonzero, filter_block_avx2};

}  // namespace lumi::stats
