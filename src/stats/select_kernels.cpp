// Portable scanning loops of the order statistics, and the choice of set.
#include "stats/select_kernels.hpp"

#include <cstdint>

#include "base/cpu.hpp"

namespace lumi::stats {

namespace {
#include "stats/select_kernels.inc"
}  // namespace

constinit const SelectKernels kSelectBaseline{has_zero, has_nonzero, filter_block};

const SelectKernels& select_kernels() noexcept {
    static const SelectKernels& k = cpu::select(kSelectBaseline, LUMI_X86_KERNELS_OF(kSelectAvx2), nullptr);
    return k;
}

}  // namespace lumi::stats
