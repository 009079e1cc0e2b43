// AVX-512 (F, DQ) kernels of the array pow (compiled with the AVX-512
// flags of CMakeLists.txt).
#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "ops/vpow_kernels.hpp"

// GCC 12's AVX-512 intrinsics start from an uninitialised vector and warn
// about their own code (depending on what gets inlined where).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

namespace lumi::vpow {

namespace {

#include "ops/vlanes_avx512.inc"

#include "ops/vpow_kernels.inc"

}  // namespace

constinit const VpowKernels kVpowAvx512 = PowLevel<Avx512>::set;

}  // namespace lumi::vpow
