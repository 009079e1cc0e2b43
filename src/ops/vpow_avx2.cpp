// AVX2 + FMA kernels of the array pow (compiled with the AVX2 flags of
// CMakeLists.txt).
#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "ops/vpow_kernels.hpp"

namespace lumi::vpow {

namespace {

#include "ops/vlanes_avx2.inc"

#include "ops/vpow_kernels.inc"

}  // namespace

constinit const VpowKernels kVpowAvx2 = PowLevel<Avx2>::set;

}  // namespace lumi::vpow
