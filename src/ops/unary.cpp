// One instantiated loop per element function.  The transcendental functions
// are plain per-element libm calls (no vector math library), so their results
// are exactly what calling them directly gives.
#include "ops/unary.hpp"

#include "base/parallel.hpp"

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

// Chunk sizes for the worker pool.  A chunk should take about 50 us on one
// core, so that handing it over (queueing, waking a pool thread, joining)
// costs a few percent at most, and the caller simply runs every chunk itself
// when the other cores are busy.  Arrays shorter than two chunks never leave
// the calling thread.  Single-thread costs on a 2-core AVX-512 machine, ns
// per element at 1e5-1e6 elements (slowly varying inputs; glibc's arcsin,
// sin and cos take several times longer on scattered ones): exp 4.1, log 3.9,
// arcsin 3.8, arccos 4.2; sin 7.9, cos 8.7, tan 10.1, arctan 8.0.
//
// sqrt (0.6 ns) and the bit operations (0.23 ns) are bound by memory and by
// the page faults of the fresh result.  On an idle machine two threads take
// 0.6-0.7x the time at 1e6 elements, but with the cores shared with other
// processes a 1e6 split ran 1.2-4x slower than one thread (the caller waits
// for a preempted helper's chunk), so they split only from 2 Mi elements,
// where each chunk is a millisecond or more.
constexpr std::size_t kGrainFastLibm = 12288;   // exp log arcsin arccos
constexpr std::size_t kGrainSlowLibm = 6144;    // sin cos tan arctan
constexpr std::size_t kGrainSqrt = std::size_t{1} << 20;
constexpr std::size_t kGrainBitwise = std::size_t{1} << 20;  // neg abs sign clip

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
        case UnaryOp::Asin:
        case UnaryOp::Acos: return kGrainFastLibm;
        case UnaryOp::Sin:
        case UnaryOp::Cos:
        case UnaryOp::Tan:
        case UnaryOp::Atan: return kGrainSlowLibm;
        case UnaryOp::Sqrt: return kGrainSqrt;
        case UnaryOp::Neg:
        case UnaryOp::Abs:
        case UnaryOp::Sign: break;
    }
    return kGrainBitwise;
}

std::size_t clip_grain() noexcept { return kGrainBitwise; }

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
