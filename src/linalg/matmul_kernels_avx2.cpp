// AVX2 product kernels: 6x8 register tiles (compiled with the AVX2 flags of
// CMakeLists.txt).
#include "linalg/matmul_kernels.hpp"

namespace lumi::mm {

namespace {
#define LUMI_W 4
#define LUMI_MR 6
#define LUMI_NV 2
#define LUMI_KC 256
#define LUMI_NC 240
#define LUMI_BCAST_ASM 1
#include "linalg/matmul_kernels.inc"
}  // namespace

constinit const MatmulKernels kMatmulAvx2{gemm_rows, pack_b_block, gemm_block, vecmat, matvec,
                                          MR,        NR,           KC,         NC,     W};

}  // namespace lumi::mm
