// Kernel sets of the order statistics' scanning loops, one per
// instruction-set level (see base/cpu.hpp): the zero tests of `all`/`any`
// and the filtering pass of selection.  The portable loops are in
// select_kernels.inc; select_kernels_avx2.cpp adds a vector filter.  The
// avx512 level uses the avx2 set.
#pragma once

#include <cstddef>

namespace lumi::stats {

// Elements below the low pivot, equal to each pivot, and NaN.
struct Counts {
    std::size_t below = 0, eq_lo = 0, eq_hi = 0, nans = 0;
};

struct SelectKernels {
    // Whether some x[i] == 0.0, or some x[i] != 0.0 (NaN counts), i < n.
    bool (*has_zero)(const double* x, std::size_t n) noexcept;
    bool (*has_nonzero)(const double* x, std::size_t n) noexcept;
    // Adds the block's counts to c and appends its elements strictly between
    // lo and hi to b, in any order; returns how many it appended.  b must
    // have room for n + 3 elements (vector stores may write past the kept
    // ones).
    std::size_t (*filter_block)(const double* x, std::size_t n, double lo, double hi, double* b,
                                Counts& c) noexcept;
};

extern const SelectKernels kSelectBaseline, kSelectAvx2;

// The set for the active level.
const SelectKernels& select_kernels() noexcept;

}  // namespace lumi::stats
