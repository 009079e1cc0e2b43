// One instantiated loop per element function.  The transcendental functions
// are plain per-element libm calls (no vector math library), so their results
// are exactly what calling them directly gives.
#include "ops/unary.hpp"

#include "ops/elementwise.hpp"
#include "ops/kernels.hpp"

namespace lumi {

namespace {

template <class F>
ArrayF64 apply(const ArrayF64& a, F f) {
    ArrayF64 out = ArrayF64::uninit(a.shape);
    kern::map_flat(a.data.data(), out.data.data(), out.size(), f);
    return out;
}

// Each element function as its own type, so apply() is instantiated per
// function rather than once for a function pointer.
template <double (*F)(double) noexcept>
struct Fn {
    double operator()(double x) const noexcept { return F(x); }
};

}  // namespace

ArrayF64 unary_op_copy(const ArrayF64& a, UnaryOp op) {
    switch (op) {
        case UnaryOp::Neg: return apply(a, Fn<elem::neg>{});
        case UnaryOp::Abs: return apply(a, Fn<elem::abs>{});
        case UnaryOp::Sqrt: return apply(a, Fn<elem::sqrt>{});
        case UnaryOp::Exp: return apply(a, Fn<elem::exp>{});
        case UnaryOp::Log: return apply(a, Fn<elem::log>{});
        case UnaryOp::Sin: return apply(a, Fn<elem::sin>{});
        case UnaryOp::Cos: return apply(a, Fn<elem::cos>{});
        case UnaryOp::Tan: return apply(a, Fn<elem::tan>{});
        case UnaryOp::Asin: return apply(a, Fn<elem::asin>{});
        case UnaryOp::Acos: return apply(a, Fn<elem::acos>{});
        case UnaryOp::Atan: return apply(a, Fn<elem::atan>{});
        case UnaryOp::Sign: break;
    }
    return apply(a, Fn<elem::sign>{});
}

ArrayF64 clip_copy(const ArrayF64& a, double lo, double hi) { return apply(a, elem::Clip{lo, hi}); }

}  // namespace lumi
