// AVX-512 (F, DQ) kernels of the array sin and cos (compiled with the AVX-512
// flags of CMakeLists.txt).
#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "ops/vtrig_kernels.hpp"

// GCC 12's AVX-512 intrinsics start from an uninitialised vector and warn
// about their own code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace lumi::vtrig {

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
    static I seti(std::int64_t v) { return _mm512_set1_epi64(v); }
    static I zeroi() { return _mm512_setzero_si512(); }
    static D fma(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
    static D fnma(D a, D b, D c) { return _mm512_fnmadd_pd(a, b, c); }
    static D add(D a, D b) { return _mm512_add_pd(a, b); }
    static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
    static I sign() { return _mm512_set1_epi64(static_cast<long long>(0x8000000000000000ull)); }
    static D dbl(I a) { return _mm512_castsi512_pd(a); }
    static I bits(D a) { return _mm512_castpd_si512(a); }
    static D neg(D a) { return dbl(_mm512_xor_si512(bits(a), sign())); }
    static D abs(D a) { return dbl(_mm512_andnot_si512(sign(), bits(a))); }
    static D sign_bits(D a) { return dbl(_mm512_and_si512(bits(a), sign())); }
    // the magnitude of v with the sign of s
    static D copysign(D v, D s) { return dbl(_mm512_ternarylogic_epi64(sign(), bits(v), bits(s), 0xac)); }
    static D xor_bits(D a, D b) { return dbl(_mm512_xor_si512(bits(a), bits(b))); }
    static I inc(I a) { return _mm512_add_epi64(a, _mm512_set1_epi64(1)); }
    static M odd(I q) { return _mm512_test_epi64_mask(q, _mm512_set1_epi64(1)); }
    // the sign bit where bit 1 of q is set
    static D quadrant_sign(I q) { return dbl(_mm512_and_si512(_mm512_slli_epi64(q, 62), sign())); }
    static M ge(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    static M lt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static M le(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    static M both(M a, M b) { return static_cast<M>(a & b); }
    static unsigned maskbits(M m) { return static_cast<unsigned>(m); }
    static D select(M m, D a, D b) { return _mm512_mask_blend_pd(m, b, a); }
    static I select_i(M m, I a, I b) { return _mm512_mask_blend_epi64(m, b, a); }
    // The four doubles of entry (bits & 127) of t for each lane, as four
    // vectors: 16-byte loads gathered into 128-bit lanes, then unpacked.
    static void entries(const std::uint64_t* t, I bits, D& e0, D& e1, D& e2, D& e3) {
        alignas(64) std::uint64_t ix[8];
        _mm512_store_si512(ix, _mm512_and_si512(bits, _mm512_set1_epi64(127)));
        const double* p = reinterpret_cast<const double*>(t);
        auto pair = [&](int j, int half) { return _mm_load_pd(p + 4 * ix[j] + half); };
        auto two = [&](int a, int b, int half) {
            return _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(a, half)), pair(b, half), 1);
        };
        // 128-bit lanes (0, 2, 4, 6) and (1, 3, 5, 7): the unpacks then give lane order
        auto four = [&](int a, int half) {
            return _mm512_insertf64x4(_mm512_castpd256_pd512(two(a, a + 2, half)), two(a + 4, a + 6, half), 1);
        };
        const D lo_even = four(0, 0), lo_odd = four(1, 0), hi_even = four(0, 2), hi_odd = four(1, 2);
        e0 = _mm512_unpacklo_pd(lo_even, lo_odd);
        e1 = _mm512_unpackhi_pd(lo_even, lo_odd);
        e2 = _mm512_unpacklo_pd(hi_even, hi_odd);
        e3 = _mm512_unpackhi_pd(hi_even, hi_odd);
    }
};

#include "ops/vtrig_kernels.inc"

}  // namespace

constinit const VtrigKernels kVtrigAvx512 = TrigLevel<Avx512>::set;

}  // namespace lumi::vtrig
