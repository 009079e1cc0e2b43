// Leaf scans: the reduced distances from one query to consecutive stored
// points, two points at a time for the fixed dimensions 1 to 3.
//
// Each lane computes exactly what M::rdist computes for its point (the same
// operations in the same order, starting from 0.0), so the values are
// bit-identical to the scalar loop; only independent points share a
// register.  The pair helpers read the two points' coordinates with three
// unaligned loads (dimension 3), two (dimension 2) or one (dimension 1) and
// regroup them per coordinate.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "spatial/metrics.hpp"

namespace lumi {

#if defined(__SSE2__)

// Folds one per-coordinate difference of two points into their running
// reduced values, as M::add / M::rdist do for one.
template <class M>
inline __m128d pair_add(__m128d acc, __m128d diff) noexcept {
    if constexpr (M::id == DistanceMetric::Euclidean) {
        return _mm_add_pd(acc, _mm_mul_pd(diff, diff));
    } else {
        const __m128d abs = _mm_andnot_pd(_mm_set1_pd(-0.0), diff);
        if constexpr (M::id == DistanceMetric::Manhattan) {
            return _mm_add_pd(acc, abs);
        } else {
            // max_pd(a, b) is a > b ? a : b per lane: a NaN difference keeps acc.
            return _mm_max_pd(abs, acc);
        }
    }
}

// Reduced distances of the two points at x (dim = M::kDim coordinates each).
template <class M>
inline __m128d pair_rdist(const double* q, const double* x) noexcept {
    const __m128d zero = _mm_setzero_pd();
    if constexpr (M::kDim == 1) {
        return pair_add<M>(zero, _mm_sub_pd(_mm_set1_pd(q[0]), _mm_loadu_pd(x)));
    } else if constexpr (M::kDim == 2) {
        const __m128d a = _mm_loadu_pd(x);      // x0 y0
        const __m128d b = _mm_loadu_pd(x + 2);  // x1 y1
        __m128d acc = pair_add<M>(zero, _mm_sub_pd(_mm_set1_pd(q[0]), _mm_unpacklo_pd(a, b)));
        return pair_add<M>(acc, _mm_sub_pd(_mm_set1_pd(q[1]), _mm_unpackhi_pd(a, b)));
    } else {
        const __m128d a = _mm_loadu_pd(x);      // x0 y0
        const __m128d b = _mm_loadu_pd(x + 2);  // z0 x1
        const __m128d c = _mm_loadu_pd(x + 4);  // y1 z1
        __m128d acc = pair_add<M>(zero, _mm_sub_pd(_mm_set1_pd(q[0]), _mm_shuffle_pd(a, b, 2)));
        acc = pair_add<M>(acc, _mm_sub_pd(_mm_set1_pd(q[1]), _mm_shuffle_pd(a, c, 1)));
        return pair_add<M>(acc, _mm_sub_pd(_mm_set1_pd(q[2]), _mm_shuffle_pd(b, c, 2)));
    }
}

template <class M>
constexpr bool has_pair_scan() {
    return M::kDim >= 1 && M::kDim <= 3;
}

#else

template <class M>
constexpr bool has_pair_scan() {
    return false;
}

#endif

// Bit i set when point i of the `count` (at most 64) points at x lies within
// `limit` (reduced distance <= limit).
template <class M>
inline std::uint64_t within_mask(const double* q, const double* x, std::size_t count, std::size_t dim,
                                 double limit) noexcept {
    std::uint64_t mask = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    if constexpr (has_pair_scan<M>()) {
        const __m128d lim = _mm_set1_pd(limit);
        for (; i + 2 <= count; i += 2, x += 2 * M::kDim) {
            const auto hits = static_cast<std::uint64_t>(_mm_movemask_pd(_mm_cmple_pd(pair_rdist<M>(q, x), lim)));
            mask |= hits << i;
        }
    }
#endif
    for (; i < count; ++i, x += dim) mask |= static_cast<std::uint64_t>(M::rdist(q, x, dim) <= limit) << i;
    return mask;
}

// The reduced distances of the `count` (at most 64) points at x into rd[],
// and bit i set when rd[i] < limit.
template <class M>
inline std::uint64_t below_mask(const double* q, const double* x, std::size_t count, std::size_t dim, double limit,
                                double* rd) noexcept {
    std::uint64_t mask = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    if constexpr (has_pair_scan<M>()) {
        const __m128d lim = _mm_set1_pd(limit);
        for (; i + 2 <= count; i += 2, x += 2 * M::kDim) {
            const __m128d r = pair_rdist<M>(q, x);
            _mm_storeu_pd(rd + i, r);
            mask |= static_cast<std::uint64_t>(_mm_movemask_pd(_mm_cmplt_pd(r, lim))) << i;
        }
    }
#endif
    for (; i < count; ++i, x += dim) {
        rd[i] = M::rdist(q, x, dim);
        mask |= static_cast<std::uint64_t>(rd[i] < limit) << i;
    }
    return mask;
}

}  // namespace lumi
