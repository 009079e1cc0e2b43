// AVX2 kernels of the symmetric eigensolver: four-lane vectors (compiled
// with the AVX2 flags of CMakeLists.txt).
#include "linalg/eigh_kernels.hpp"

namespace lumi::ek {

namespace {
#define LUMI_W 4
#define LUMI_RNV 4
#include "linalg/eigh_kernels.inc"
}  // namespace

constinit const EighKernels kEighAvx2{symv_lower, rotate, RNV * W};

}  // namespace lumi::ek
