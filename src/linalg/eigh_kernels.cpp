// Portable kernels of the symmetric eigensolver (two-lane vectors), and the
// choice of set.
#include "linalg/eigh_kernels.hpp"

#include "base/cpu.hpp"

namespace lumi::ek {

namespace {
#define LUMI_W 2
#define LUMI_RNV 4
#include "linalg/eigh_kernels.inc"
}  // namespace

constinit const EighKernels kEighBaseline{symv_lower, rotate, RNV * W};

const EighKernels& eigh_kernels() noexcept {
    static const EighKernels& k =
        cpu::select(kEighBaseline, LUMI_X86_KERNELS_OF(kEighAvx2), LUMI_X86_KERNELS_OF(kEighAvx512));
    return k;
}

}  // namespace lumi::ek
