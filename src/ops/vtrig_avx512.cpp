// AVX-512 (F, DQ) kernels of the array sin and cos (compiled with the AVX-512
// flags of CMakeLists.txt).
#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "ops/vtrig_kernels.hpp"

// GCC 12's AVX-512 intrinsics start from an uninitialised vector and warn
// about their own code (depending on what gets inlined where).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

namespace lumi::vtrig {

namespace {

#include "ops/vlanes_avx512.inc"

#include "ops/vtrig_kernels.inc"

}  // namespace

constinit const VtrigKernels kVtrigAvx512 = TrigLevel<Avx512>::set;

}  // namespace lumi::vtrig
