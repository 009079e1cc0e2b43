// Array-with-number arithmetic: one flat loop per operation and side, split
// into chunks over the worker pool for large arrays.
#include "ops/scalar.hpp"

#include "base/parallel.hpp"
#include "ops/kernels.hpp"

namespace lumi {

ArrayF64 scalar_op_copy(const ArrayF64& a, double s, BinOp op) {
    ArrayF64 out = ArrayF64::uninit(a.shape);
    const double* pa = a.data.data();
    double* po = out.data.data();
    const auto f = kern::elementwise_kernels().vs[static_cast<std::size_t>(op)];
    parallel_for(out.size(), arithmetic_grain(), [&](std::size_t b, std::size_t e) { f(pa + b, s, po + b, e - b); });
    return out;
}

ArrayF64 scalar_op_copy_left(double s, const ArrayF64& a, BinOp op) {
    ArrayF64 out = ArrayF64::uninit(a.shape);
    const double* pa = a.data.data();
    double* po = out.data.data();
    const auto f = kern::elementwise_kernels().sv[static_cast<std::size_t>(op)];
    parallel_for(out.size(), arithmetic_grain(), [&](std::size_t b, std::size_t e) { f(s, pa + b, po + b, e - b); });
    return out;
}

}  // namespace lumi
