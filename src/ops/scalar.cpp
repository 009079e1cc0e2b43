// Array-with-number arithmetic: one flat loop per operation and side.
#include "ops/scalar.hpp"

#include "ops/kernels.hpp"

namespace lumi {

ArrayF64 scalar_op_copy(const ArrayF64& a, double s, BinOp op) {
    ArrayF64 out = ArrayF64::uninit(a.shape);
    const double* pa = a.data.data();
    double* po = out.data.data();
    const std::size_t n = out.size();
    kern::with_op(op, [&](auto o) { kern::vs_flat<decltype(o)>(pa, s, po, n); });
    return out;
}

ArrayF64 scalar_op_copy_left(double s, const ArrayF64& a, BinOp op) {
    ArrayF64 out = ArrayF64::uninit(a.shape);
    const double* pa = a.data.data();
    double* po = out.data.data();
    const std::size_t n = out.size();
    kern::with_op(op, [&](auto o) { kern::sv_flat<decltype(o)>(s, pa, po, n); });
    return out;
}

}  // namespace lumi
