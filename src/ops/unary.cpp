// One instantiated loop per element function.  The transcendental functions
// are plain per-element libm calls (no vector math library), so their results
// are exactly what calling them directly gives.
#include "ops/unary.hpp"

#include "array/parallel.hpp"

#include "ops/elementwise.hpp"
#include "ops/kernels.hpp"

namespace lumi {

namespace {

template <class F>
ArrayF64 apply(const ArrayF64& a, F f, std::size_t grain) {
    ArrayF64 out = ArrayF64::uninit(a.shape);
    const double* src = a.data.data();
    double* dst = out.data.data();
    parallel_for(out.size(), grain,
                 [&](std::size_t b, std::size_t e) { kern::map_flat(src + b, dst + b, e - b, f); });
    return out;
}

// Chunk sizes, from timing each method against its single-thread loop on a
// two-core machine: a chunk must take long enough (tens of microseconds) to
// cover waking a pool thread and joining it.
constexpr std::size_t kGrainTranscendental = 4096;
constexpr std::size_t kGrainCheap = std::size_t{1} << 62;  // memory-bound: never split

// Each element function as its own type, so apply() is instantiated per
// function rather than once for a function pointer.
template <double (*F)(double) noexcept>
struct Fn {
    double operator()(double x) const noexcept { return F(x); }
};

}  // namespace

std::size_t unary_grain(UnaryOp op) noexcept {
    switch (op) {
        case UnaryOp::Exp:
        case UnaryOp::Log:
        case UnaryOp::Sin:
        case UnaryOp::Cos:
        case UnaryOp::Tan:
        case UnaryOp::Asin:
        case UnaryOp::Acos:
        case UnaryOp::Atan: return kGrainTranscendental;
        default: return kGrainCheap;
    }
}

std::size_t clip_grain() noexcept { return kGrainCheap; }

ArrayF64 unary_op_copy(const ArrayF64& a, UnaryOp op) {
    const std::size_t g = unary_grain(op);
    switch (op) {
        case UnaryOp::Neg: return apply(a, Fn<elem::neg>{}, g);
        case UnaryOp::Abs: return apply(a, Fn<elem::abs>{}, g);
        case UnaryOp::Sqrt: return apply(a, Fn<elem::sqrt>{}, g);
        case UnaryOp::Exp: return apply(a, Fn<elem::exp>{}, g);
        case UnaryOp::Log: return apply(a, Fn<elem::log>{}, g);
        case UnaryOp::Sin: return apply(a, Fn<elem::sin>{}, g);
        case UnaryOp::Cos: return apply(a, Fn<elem::cos>{}, g);
        case UnaryOp::Tan: return apply(a, Fn<elem::tan>{}, g);
        case UnaryOp::Asin: return apply(a, Fn<elem::asin>{}, g);
        case UnaryOp::Acos: return apply(a, Fn<elem::acos>{}, g);
        case UnaryOp::Atan: return apply(a, Fn<elem::atan>{}, g);
        case UnaryOp::Sign: break;
    }
    return apply(a, Fn<elem::sign>{}, g);
}

ArrayF64 clip_copy(const ArrayF64& a, double lo, double hi) { return apply(a, elem::Clip{lo, hi}, clip_grain()); }

}  // namespace lumi
