// Portable solver kernels, and the choice of set.
#include "linalg/solve_kernels.hpp"

#include "base/cpu.hpp"

namespace lumi::sk {

namespace {
#define LUMI_SW 2
#include "linalg/solve_kernels.inc"
}  // namespace

constinit const SolveKernels kSolveBaseline{lower_base, unit_lower_base, lu_panel,
                                            house_scale, house_dot, house_update};

const SolveKernels& solve_kernels() noexcept {
    static const SolveKernels& k =
        cpu::select(kSolveBaseline, LUMI_X86_KERNELS_OF(kSolveAvx2), LUMI_X86_KERNELS_OF(kSolveAvx512));
    return k;
}

}  // namespace lumi::sk
