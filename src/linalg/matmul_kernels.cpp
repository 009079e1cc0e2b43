// Portable product kernels (two-lane vectors), and the choice of set.
#include "linalg/matmul_kernels.hpp"

#include "base/cpu.hpp"

namespace lumi::mm {

namespace {
#define LUMI_W 2
#define LUMI_MR 4
#define LUMI_NV 2
#define LUMI_KC 256
#define LUMI_NC 240
#include "linalg/matmul_kernels.inc"
}  // namespace

constinit const MatmulKernels kMatmulBaseline{gemm_rows, pack_b_block, gemm_block, vecmat, matvec,
                                              MR,        NR,           KC,         NC,     W};

const MatmulKernels& matmul_kernels() noexcept {
    static const MatmulKernels& k =
        cpu::select(kMatmulBaseline, LUMI_X86_KERNELS_OF(kMatmulAvx2), LUMI_X86_KERNELS_OF(kMatmulAvx512));
    return k;
}

}  // namespace lumi::mm
