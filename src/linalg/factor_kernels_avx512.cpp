// AVX-512 factorisation kernels: eight-lane vectors (compiled with the
// AVX-512 flags of CMakeLists.txt).
#include "linalg/factor_kernels.hpp"

#include <cmath>

namespace lumi::fk {

namespace {
#define LUMI_W 8
#define LUMI_CNV 2
#define LUMI_CCB 4
#define LUMI_HNV 2
#include "linalg/factor_kernels.inc"
}  // namespace

constinit const FactorKernels kFactorAvx512{chol_rows, chol_diag, house_cols, house_rows,
                                            transpose_block, HNV * W, W};

}  // namespace lumi::fk
