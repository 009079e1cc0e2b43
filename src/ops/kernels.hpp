// Element-wise kernel sets, one per instruction-set level (see base/cpu.hpp).
// The loops are written once in kernels.inc; kernels.cpp (baseline),
// kernels_avx2.cpp and kernels_avx512.cpp compile them.
//
// Every output element is a single IEEE operation on its inputs (or one call
// of the platform's math library), so every set gives the same bits.  Outputs
// must not overlap the inputs.
#pragma once

#include <cstddef>

namespace lumi::kern {

// Table sizes: BinOp and UnaryOp values index the tables.
inline constexpr std::size_t kBinOps = 4;
inline constexpr std::size_t kUnaryOps = 12;

struct ElementwiseKernels {
    // out[i] = a[i] op b[i];  out[i] = a[i] op s;  out[i] = s op b[i]
    void (*vv[kBinOps])(const double* a, const double* b, double* out, std::size_t n) noexcept;
    void (*vs[kBinOps])(const double* a, double s, double* out, std::size_t n) noexcept;
    void (*sv[kBinOps])(double s, const double* b, double* out, std::size_t n) noexcept;
    // out[i] = f(a[i])
    void (*unary[kUnaryOps])(const double* a, double* out, std::size_t n) noexcept;
    // out[i] = lo > a[i] ? lo : (a[i] > hi ? hi : a[i])
    void (*clip)(const double* a, double* out, std::size_t n, double lo, double hi) noexcept;
};

extern const ElementwiseKernels kElementwiseBaseline, kElementwiseAvx2, kElementwiseAvx512;

// The set for the active level.
const ElementwiseKernels& elementwise_kernels() noexcept;

}  // namespace lumi::kern
