// AVX2 solver kernels (compiled with the AVX2 flags of CMakeLists.txt).
#include "linalg/solve_kernels.hpp"

namespace lumi::sk {

namespace {
#define LUMI_SW 4
#include "linalg/solve_kernels.inc"
}  // namespace

constinit const SolveKernels kSolveAvx2{lower_base, unit_lower_base, lu_panel,
                                        house_scale, house_dot, house_update};

}  // namespace lumi::sk
