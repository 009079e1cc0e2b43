// AVX2 element-wise kernels (compiled with the AVX2 flags of CMakeLists.txt).
#include "ops/kernels.hpp"

#include <cmath>
#include <cstdint>

namespace lumi::kern {

namespace {
#include "ops/kernels.inc"
}  // namespace

constinit const ElementwiseKernels kElementwiseAvx2 = kLevelSet;

}  // namespace lumi::kern
