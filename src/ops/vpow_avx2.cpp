// AVX2 + FMA kernels of the array pow (compiled with the AVX2 flags of
// CMakeLists.txt).
#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "ops/vpow_kernels.hpp"

// GCC 12's 128-to-256-bit casts leave the upper half undefined and may warn
// about their own code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

namespace lumi::vpow {

namespace {

#include "ops/vlanes_avx2.inc"

#include "ops/vpow_kernels.inc"

}  // namespace

constinit const VpowKernels kVpowAvx2 = PowLevel<Avx2>::set;

}  // namespace lumi::vpow
