// Portable element-wise kernels, and the choice of set.
#include "ops/kernels.hpp"

#include <cmath>
#include <cstdint>

#include "base/cpu.hpp"
#include "ops/arithmetic.hpp"
#include "ops/unary.hpp"

namespace lumi::kern {

namespace {
#include "ops/kernels.inc"
}  // namespace

static_assert(static_cast<std::size_t>(BinOp::Div) + 1 == kBinOps);
static_assert(static_cast<std::size_t>(UnaryOp::Sign) + 1 == kUnaryOps);

constinit const ElementwiseKernels kElementwiseBaseline = kLevelSet;

const ElementwiseKernels& elementwise_kernels() noexcept {
    static const ElementwiseKernels& k = cpu::select(kElementwiseBaseline, LUMI_X86_KERNELS_OF(kElementwiseAvx2),
                                                     LUMI_X86_KERNELS_OF(kElementwiseAvx512));
    return k;
}

}  // namespace lumi::kern
