// AVX2 factorisation kernels: four-lane vectors (compiled with the AVX2 flags
// of CMakeLists.txt).
#include "linalg/factor_kernels.hpp"

#include <cmath>

namespace lumi::fk {

namespace {
#define LUMI_W 4
#define LUMI_CNV 2
#define LUMI_CCB 4
#define LUMI_HNV 4
#include "linalg/factor_kernels.inc"
}  // namespace

constinit const FactorKernels kFactorAvx2{chol_rows, chol_diag, house_cols, house_rows,
                                          transpose_block, HNV * W, W};

}  // namespace lumi::fk
