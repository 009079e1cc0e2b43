// AVX2 + FMA kernels of the array exp and log (compiled with the AVX2 flags of
// CMakeLists.txt).
#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ops/vmath_kernels.hpp"

// GCC 12's gather intrinsics start from an uninitialised vector and warn
// about their own code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace lumi::vmath {

namespace {

struct Avx2 {
    static constexpr int kWidth = 4;
    static constexpr unsigned kAll = 0xfu;
    using D = __m256d;
    using I = __m256i;
    using M = __m256d;
    static D load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, D v) { _mm256_storeu_pd(p, v); }
    static D set(double v) { return _mm256_set1_pd(v); }
    static I seti(std::uint64_t v) { return _mm256_set1_epi64x(static_cast<long long>(v)); }
    static D fma(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
    static D fnma(D a, D b, D c) { return _mm256_fnmadd_pd(a, b, c); }
    static D add(D a, D b) { return _mm256_add_pd(a, b); }
    static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
    static D div(D a, D b) { return _mm256_div_pd(a, b); }
    static D sqrt(D a) { return _mm256_sqrt_pd(a); }
    static D abs(D a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
    static I bits(D a) { return _mm256_castpd_si256(a); }
    static D dbl(I a) { return _mm256_castsi256_pd(a); }
    static I andi(I a, I b) { return _mm256_and_si256(a, b); }
    static I addi(I a, I b) { return _mm256_add_epi64(a, b); }
    static I subi(I a, I b) { return _mm256_sub_epi64(a, b); }
    template <int S> static I slli(I a) { return _mm256_slli_epi64(a, S); }
    template <int S> static I srli(I a) { return _mm256_srli_epi64(a, S); }
    // t[2 idx] and t[2 idx + 1]
    static void gather_pairs(const std::uint64_t* t, I idx, I& first, I& second) {
        const I twice = _mm256_add_epi64(idx, idx);
        const auto* p = reinterpret_cast<const long long*>(t);
        first = _mm256_i64gather_epi64(p, twice, 8);
        second = _mm256_i64gather_epi64(p + 1, twice, 8);
    }
    // t[2 i] and t[2 i + 1] for each lane, where off(bits of p[lane]) is
    // 16 i: the offsets are computed in general registers
    template <class Off>
    static void pairs_at(const std::uint64_t* t, const double* p, Off off, I& first, I& second) {
        const char* base = reinterpret_cast<const char*>(t);
        auto pair = [&](int j) {
            std::uint64_t b;
            std::memcpy(&b, p + j, sizeof b);
            return _mm_load_si128(reinterpret_cast<const __m128i*>(base + off(b)));
        };
        const __m256i even = _mm256_inserti128_si256(_mm256_castsi128_si256(pair(0)), pair(2), 1);
        const __m256i odd = _mm256_inserti128_si256(_mm256_castsi128_si256(pair(1)), pair(3), 1);
        first = _mm256_unpacklo_epi64(even, odd);
        second = _mm256_unpackhi_epi64(even, odd);
    }
    // lanes that are not positive, normal and finite (NaN fails both tests)
    static unsigned special_log_lanes(D x) {
        return ~maskbits(both(ge(x, set(0x1p-1022)), lt(x, set(INFINITY)))) & kAll;
    }
    // p[pos[0]], ..., p[pos[3]]
    static D gather_at(const double* p, const std::uint8_t* pos) {
        std::uint32_t four;
        std::memcpy(&four, pos, sizeof four);
        const __m128i idx = _mm_cvtepu8_epi32(_mm_cvtsi32_si128(static_cast<int>(four)));
        return _mm256_i32gather_pd(p, idx, 8);
    }
    static M gt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    // l * dim for each lane l
    static I iota_times(std::size_t dim) {
        const auto d = static_cast<long long>(dim);
        return _mm256_setr_epi64x(0, d, 2 * d, 3 * d);
    }
    static D gather(const double* p, I offsets) { return _mm256_i64gather_pd(p, offsets, 8); }
    // the three coordinates of the 4 rows of 3 at p
    static void rows3(const double* p, D& c0, D& c1, D& c2) {
        const D a = _mm256_loadu_pd(p), b = _mm256_loadu_pd(p + 4), c = _mm256_loadu_pd(p + 8);
        // a = x0 y0 z0 x1, b = y1 z1 x2 y2, c = z2 x3 y3 z3
        c0 = _mm256_permute4x64_pd(_mm256_blend_pd(_mm256_blend_pd(a, b, 0b0100), c, 0b0010), 0b01101100);
        c1 = _mm256_permute4x64_pd(_mm256_blend_pd(_mm256_blend_pd(a, b, 0b1001), c, 0b0100), 0b10110001);
        c2 = _mm256_permute4x64_pd(_mm256_blend_pd(_mm256_blend_pd(a, b, 0b0010), c, 0b1001), 0b11000110);
    }
    static M ge(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    static M lt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static M both(M a, M b) { return _mm256_and_pd(a, b); }
    static unsigned maskbits(M m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
    static D select(M m, D a, D b) { return _mm256_blendv_pd(b, a, m); }
    // (double)(int64 >> 52, arithmetic); the value fits the high 32 bits
    static D exponent_of(I a) {
        const __m256i hi = _mm256_permutevar8x32_epi32(a, _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7));
        return _mm256_cvtepi32_pd(_mm_srai_epi32(_mm256_castsi256_si128(hi), 20));
    }
};

#include "ops/vmath_kernels.inc"

}  // namespace

constinit const VmathKernels kVmathAvx2 = LevelKernels<Avx2>::set;

}  // namespace lumi::vmath
