// The element functions as loops of the element-wise kernels, split into
// chunks over the worker pool.  exp and log go through the array functions of
// ops/vmath.hpp, sin and cos through those of ops/vtrig.hpp, the other
// transcendental functions are per-element libm calls; either way the results are exactly what calling the platform's
// functions directly gives.
#include "ops/unary.hpp"

#include "base/parallel.hpp"
#include "ops/kernels.hpp"
#include "ops/vmath.hpp"
#include "ops/vtrig.hpp"

namespace lumi {

namespace {

template <class Loop>
ArrayF64 apply(const ArrayF64& a, std::size_t grain, Loop loop) {
    ArrayF64 out = ArrayF64::uninit(a.shape);
    const double* src = a.data.data();
    double* dst = out.data.data();
    parallel_for(out.size(), grain, [&](std::size_t b, std::size_t e) { loop(src + b, dst + b, e - b); });
    return out;
}

// Chunk sizes for the worker pool.  A chunk should take about 50 us on one
// core, so that handing it over (queueing, waking a pool thread, joining)
// costs a few percent at most, and the caller simply runs every chunk itself
// when the other cores are busy.  Arrays shorter than two chunks never leave
// the calling thread.  Single-thread costs on a 2-core AVX-512 machine, ns
// per element at 1e5-1e6 elements (slowly varying inputs; glibc's arcsin,
// sin and cos take several times longer on scattered ones): exp and log 1-1.5
// with the vector kernels (4 as scalar calls), sin and cos about 4 with theirs
// (8-9 as scalar calls), arcsin 3.8, arccos 4.2; tan 10.1, arctan 8.0.
//
// sqrt (0.6 ns) and the bit operations (0.23 ns) are bound by memory and by
// the page faults of the fresh result.  On an idle machine two threads take
// 0.6-0.7x the time at 1e6 elements, but with the cores shared with other
// processes a 1e6 split ran 1.2-4x slower than one thread (the caller waits
// for a preempted helper's chunk), so they split only from 2 Mi elements,
// where each chunk is a millisecond or more.
constexpr std::size_t kGrainVmath = std::size_t{1} << 15;  // exp log
constexpr std::size_t kGrainFastLibm = 12288;   // arcsin arccos sin cos
constexpr std::size_t kGrainSlowLibm = 6144;    // tan arctan
constexpr std::size_t kGrainSqrt = std::size_t{1} << 20;
constexpr std::size_t kGrainBitwise = std::size_t{1} << 20;  // neg abs sign clip

}  // namespace

std::size_t unary_grain(UnaryOp op) noexcept {
    switch (op) {
        case UnaryOp::Exp:
        case UnaryOp::Log: return kGrainVmath;
        case UnaryOp::Asin:
        case UnaryOp::Acos:
        case UnaryOp::Sin:
        case UnaryOp::Cos: return kGrainFastLibm;
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
    if (op == UnaryOp::Exp) return apply(a, unary_grain(op), vmath::exp_n);
    if (op == UnaryOp::Log) return apply(a, unary_grain(op), vmath::log_n);
    if (op == UnaryOp::Sin) return apply(a, unary_grain(op), vtrig::sin_n);
    if (op == UnaryOp::Cos) return apply(a, unary_grain(op), vtrig::cos_n);
    const auto f = kern::elementwise_kernels().unary[static_cast<std::size_t>(op)];
    return apply(a, unary_grain(op), f);
}

ArrayF64 clip_copy(const ArrayF64& a, double lo, double hi) {
    const auto f = kern::elementwise_kernels().clip;
    return apply(a, clip_grain(),
                 [f, lo, hi](const double* src, double* dst, std::size_t n) { f(src, dst, n, lo, hi); });
}

}  // namespace lumi
