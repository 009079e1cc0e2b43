// AVX-512 product kernels: 8x24 register tiles (compiled with the AVX-512
// flags of CMakeLists.txt).
#include "linalg/matmul_kernels.hpp"

namespace lumi::mm {

namespace {
#define LUMI_W 8
#define LUMI_MR 8
#define LUMI_NV 3
#define LUMI_KC 1024
#define LUMI_NC 480
#define LUMI_EMBEDDED_BCAST 1
#include "linalg/matmul_kernels.inc"
}  // namespace

constinit const MatmulKernels kMatmulAvx512{gemm_rows, pack_b_block, gemm_block, vecmat, matvec,
                                            MR,        NR,           KC,         NC,     W};

}  // namespace lumi::mm
