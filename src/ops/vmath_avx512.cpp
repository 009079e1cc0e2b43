// AVX-512 (F, DQ) kernels of the array exp and log (compiled with the AVX-512
// flags of CMakeLists.txt).
#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ops/vmath_kernels.hpp"

// GCC 12's AVX-512 intrinsics start from an uninitialised vector and warn
// about their own code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace lumi::vmath {

namespace {

struct Avx512 {
    static constexpr int kWidth = 8;
    static constexpr unsigned kAll = 0xffu;
    using D = __m512d;
    using I = __m512i;
    using M = __mmask8;
    static D load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, D v) { _mm512_storeu_pd(p, v); }
    static D set(double v) { return _mm512_set1_pd(v); }
    static I seti(std::uint64_t v) { return _mm512_set1_epi64(static_cast<long long>(v)); }
    static D fma(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
    static D fnma(D a, D b, D c) { return _mm512_fnmadd_pd(a, b, c); }
    static D add(D a, D b) { return _mm512_add_pd(a, b); }
    static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
    static D div(D a, D b) { return _mm512_div_pd(a, b); }
    static D sqrt(D a) { return _mm512_sqrt_pd(a); }
    static D abs(D a) {
        return _mm512_castsi512_pd(_mm512_and_si512(_mm512_castpd_si512(a), _mm512_set1_epi64(0x7fffffffffffffffll)));
    }
    static I bits(D a) { return _mm512_castpd_si512(a); }
    static D dbl(I a) { return _mm512_castsi512_pd(a); }
    static I andi(I a, I b) { return _mm512_and_si512(a, b); }
    static I addi(I a, I b) { return _mm512_add_epi64(a, b); }
    static I subi(I a, I b) { return _mm512_sub_epi64(a, b); }
    template <int S> static I slli(I a) { return _mm512_slli_epi64(a, S); }
    template <int S> static I srli(I a) { return _mm512_srli_epi64(a, S); }
    // t[2 idx] and t[2 idx + 1]: one 16-byte load per lane, then two unpacks
    // (faster than two gather instructions on current AMD cores)
    static void gather_pairs(const std::uint64_t* t, I idx, I& first, I& second) {
        alignas(64) std::uint64_t ix[8];
        _mm512_store_si512(ix, idx);
        auto pair = [&](int j) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + 2 * ix[j])); };
        auto two = [&](int a, int b) { return _mm256_inserti128_si256(_mm256_castsi128_si256(pair(a)), pair(b), 1); };
        // 128-bit lanes (0, 2, 4, 6) and (1, 3, 5, 7): the unpacks then give lane order
        const __m512i even = _mm512_inserti64x4(_mm512_castsi256_si512(two(0, 2)), two(4, 6), 1);
        const __m512i odd = _mm512_inserti64x4(_mm512_castsi256_si512(two(1, 3)), two(5, 7), 1);
        first = _mm512_unpacklo_epi64(even, odd);
        second = _mm512_unpackhi_epi64(even, odd);
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
        auto two = [&](int a, int b) { return _mm256_inserti128_si256(_mm256_castsi128_si256(pair(a)), pair(b), 1); };
        const __m512i even = _mm512_inserti64x4(_mm512_castsi256_si512(two(0, 2)), two(4, 6), 1);
        const __m512i odd = _mm512_inserti64x4(_mm512_castsi256_si512(two(1, 3)), two(5, 7), 1);
        first = _mm512_unpacklo_epi64(even, odd);
        second = _mm512_unpackhi_epi64(even, odd);
    }
    // lanes that are not positive, normal and finite
    static unsigned special_log_lanes(D x) { return static_cast<unsigned>(_mm512_fpclass_pd_mask(x, 0xff)); }
    // p[pos[0]], ..., p[pos[7]]
    static D gather_at(const double* p, const std::uint8_t* pos) {
        const __m256i idx = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(pos)));
        return _mm512_i32gather_pd(idx, p, 8);
    }
    static M gt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    // l * dim for each lane l
    static I iota_times(std::size_t dim) {
        return _mm512_mullo_epi64(_mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7),
                                  _mm512_set1_epi64(static_cast<long long>(dim)));
    }
    static D gather(const double* p, I offsets) { return _mm512_i64gather_pd(offsets, p, 8); }
    // the three coordinates of the 8 rows of 3 at p
    static void rows3(const double* p, D& c0, D& c1, D& c2) {
        const D a = _mm512_loadu_pd(p), b = _mm512_loadu_pd(p + 8), c = _mm512_loadu_pd(p + 16);
        const auto ix = [](long long a0, long long a1, long long a2, long long a3, long long a4, long long a5,
                           long long a6, long long a7) { return _mm512_setr_epi64(a0, a1, a2, a3, a4, a5, a6, a7); };
        c0 = _mm512_permutex2var_pd(_mm512_permutex2var_pd(a, ix(0, 3, 6, 9, 12, 15, 0, 0), b),
                                    ix(0, 1, 2, 3, 4, 5, 10, 13), c);
        c1 = _mm512_permutex2var_pd(_mm512_permutex2var_pd(a, ix(1, 4, 7, 10, 13, 0, 0, 0), b),
                                    ix(0, 1, 2, 3, 4, 8, 11, 14), c);
        c2 = _mm512_permutex2var_pd(_mm512_permutex2var_pd(a, ix(2, 5, 8, 11, 14, 0, 0, 0), b),
                                    ix(0, 1, 2, 3, 4, 9, 12, 15), c);
    }
    static M ge(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    static M lt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static M both(M a, M b) { return static_cast<M>(a & b); }
    static unsigned maskbits(M m) { return static_cast<unsigned>(m); }
    static D select(M m, D a, D b) { return _mm512_mask_blend_pd(m, b, a); }
    // The zero-masked shift: the plain one starts from an undefined vector,
    // which gcc's sanitizer builds report as use of an uninitialised value.
    static D exponent_of(I a) {
        return _mm512_cvtepi64_pd(_mm512_maskz_srai_epi64(static_cast<__mmask8>(0xFF), a, 52));
    }
};

#include "ops/vmath_kernels.inc"

}  // namespace

constinit const VmathKernels kVmathAvx512 = LevelKernels<Avx512>::set;

}  // namespace lumi::vmath
