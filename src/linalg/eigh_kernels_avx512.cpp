// AVX-512 kernels of the symmetric eigensolver: eight-lane vectors (compiled
// with the AVX-512 flags of CMakeLists.txt).
#include "linalg/eigh_kernels.hpp"

namespace lumi::ek {

namespace {
#define LUMI_W 8
#define LUMI_RNV 8
#include "linalg/eigh_kernels.inc"
}  // namespace

constinit const EighKernels kEighAvx512{symv_lower, rotate, RNV * W};

}  // namespace lumi::ek
