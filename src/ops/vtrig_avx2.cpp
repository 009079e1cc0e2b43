// AVX2 + FMA kernels of the array sin and cos (compiled with the AVX2 flags of
// CMakeLists.txt).
#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "ops/vtrig_kernels.hpp"

// GCC 12's 128-to-256-bit casts leave the upper half undefined and may warn
// about their own code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

namespace lumi::vtrig {

namespace {

#include "ops/vlanes_avx2.inc"

#include "ops/vtrig_kernels.inc"

}  // namespace

constinit const VtrigKernels kVtrigAvx2 = TrigLevel<Avx2>::set;

}  // namespace lumi::vtrig
