// Portable factorisation kernels (two-lane vectors), and the choice of set.
#include "linalg/factor_kernels.hpp"

#include <cmath>

#include "base/cpu.hpp"

namespace lumi::fk {

namespace {
#define LUMI_W 2
#define LUMI_CNV 2
#define LUMI_CCB 4
#define LUMI_HNV 4
#include "linalg/factor_kernels.inc"
}  // namespace

constinit const FactorKernels kFactorBaseline{chol_rows, chol_diag, house_cols, house_rows,
                                              transpose_block, HNV * W, W};

const FactorKernels& factor_kernels() noexcept {
    static const FactorKernels& k =
        cpu::select(kFactorBaseline, LUMI_X86_KERNELS_OF(kFactorAvx2), LUMI_X86_KERNELS_OF(kFactorAvx512));
    return k;
}

}  // namespace lumi::fk
