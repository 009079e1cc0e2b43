// AVX2 + FMA kernels of the array sin and cos (compiled with the AVX2 flags of
// CMakeLists.txt).
#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "ops/vtrig_kernels.hpp"

namespace lumi::vtrig {

namespace {

struct Avx2 {
    static constexpr int kWidth = 4;
    static constexpr unsigned kAll = 0xfu;
    using D = __m256d;
    using I = __m256i;
    using M = __m256d;  // all-ones lanes; blends read the top bit
    static D load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, D v) { _mm256_storeu_pd(p, v); }
    static D set(double v) { return _mm256_set1_pd(v); }
    static I seti(std::int64_t v) { return _mm256_set1_epi64x(v); }
    static I zeroi() { return _mm256_setzero_si256(); }
    static D fma(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
    static D fnma(D a, D b, D c) { return _mm256_fnmadd_pd(a, b, c); }
    static D add(D a, D b) { return _mm256_add_pd(a, b); }
    static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
    static D neg(D a) { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
    static D abs(D a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
    static D sign_bits(D a) { return _mm256_and_pd(a, _mm256_set1_pd(-0.0)); }
    static D copysign(D v, D s) { return _mm256_or_pd(abs(v), sign_bits(s)); }
    static D xor_bits(D a, D b) { return _mm256_xor_pd(a, b); }
    static I bits(D a) { return _mm256_castpd_si256(a); }
    static I inc(I a) { return _mm256_add_epi64(a, _mm256_set1_epi64x(1)); }
    // lanes whose integer is odd (bit 0 moved to the top)
    static M odd(I q) { return _mm256_castsi256_pd(_mm256_slli_epi64(q, 63)); }
    // the sign bit where bit 1 of q is set
    static D quadrant_sign(I q) { return sign_bits(_mm256_castsi256_pd(_mm256_slli_epi64(q, 62))); }
    static M ge(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    static M lt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static M le(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static M both(M a, M b) { return _mm256_and_pd(a, b); }
    static unsigned maskbits(M m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
    static D select(M m, D a, D b) { return _mm256_blendv_pd(b, a, m); }
    static I select_i(M m, I a, I b) {
        return _mm256_castpd_si256(_mm256_blendv_pd(_mm256_castsi256_pd(b), _mm256_castsi256_pd(a), m));
    }
    // The four doubles of entry (bits & 127) of t for each lane, as four
    // vectors: 16-byte loads paired across 128-bit halves, then unpacked.
    static void entries(const std::uint64_t* t, I bits, D& e0, D& e1, D& e2, D& e3) {
        alignas(32) std::uint64_t ix[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(ix), _mm256_and_si256(bits, _mm256_set1_epi64x(127)));
        const double* p = reinterpret_cast<const double*>(t);
        auto two = [&](int a, int b, int half) {
            return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(p + 4 * ix[a] + half)),
                                        _mm_load_pd(p + 4 * ix[b] + half), 1);
        };
        const D lo02 = two(0, 2, 0), lo13 = two(1, 3, 0), hi02 = two(0, 2, 2), hi13 = two(1, 3, 2);
        e0 = _mm256_unpacklo_pd(lo02, lo13);
        e1 = _mm256_unpackhi_pd(lo02, lo13);
        e2 = _mm256_unpacklo_pd(hi02, hi13);
        e3 = _mm256_unpackhi_pd(hi02, hi13);
    }
};

#include "ops/vtrig_kernels.inc"

}  // namespace

constinit const VtrigKernels kVtrigAvx2 = TrigLevel<Avx2>::set;

}  // namespace lumi::vtrig
