// Tight loops shared by the element-wise operations.  The operation is a
// template parameter, so each instantiation is one branch-free loop that gcc
// vectorises at -O3 with plain SSE2.  Outputs are always freshly allocated,
// hence __restrict: no runtime alias checks.
//
// Every output element is a single IEEE operation on its inputs, so the
// results do not depend on loop order or vector width.
#pragma once

#include <cstddef>

#include "ops/arithmetic.hpp"

// Whole-array loops are also compiled for AVX2 and picked at load time on
// CPUs that have it; the baseline build stays plain x86-64.  Each element is
// still one IEEE operation (no contraction), so both versions agree bit for
// bit.  Per-row loops of broadcasting stay inline: a dispatched call per
// short row would cost more than it saves.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
#define LUMI_SIMD_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define LUMI_SIMD_CLONES
#endif

namespace lumi::kern {

struct Add {
    static double apply(double x, double y) noexcept { return x + y; }
};
struct Sub {
    static double apply(double x, double y) noexcept { return x - y; }
};
struct Mul {
    static double apply(double x, double y) noexcept { return x * y; }
};
struct Div {
    static double apply(double x, double y) noexcept { return x / y; }
};

// Calls f(Op{}) with the functor type for op.
template <class F>
decltype(auto) with_op(BinOp op, F&& f) {
    switch (op) {
        case BinOp::Add: return f(Add{});
        case BinOp::Sub: return f(Sub{});
        case BinOp::Mul: return f(Mul{});
        case BinOp::Div: break;
    }
    return f(Div{});
}

// out[i] = a[i] op b[i]
template <class Op>
inline void vv(const double* __restrict a, const double* __restrict b, double* __restrict out,
               std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = Op::apply(a[i], b[i]);
}

// out[i] = a[i] op s
template <class Op>
inline void vs(const double* __restrict a, double s, double* __restrict out, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = Op::apply(a[i], s);
}

// out[i] = s op b[i]
template <class Op>
inline void sv(double s, const double* __restrict b, double* __restrict out, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = Op::apply(s, b[i]);
}

// out[i] = f(a[i])
template <class F>
inline void map(const double* __restrict a, double* __restrict out, std::size_t n, F f) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = f(a[i]);
}

// Dispatched whole-array versions; `static` keeps one private copy (and one
// resolver) per translation unit.
template <class Op>
LUMI_SIMD_CLONES static void vv_flat(const double* __restrict a, const double* __restrict b,
                                     double* __restrict out, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = Op::apply(a[i], b[i]);
}

template <class Op>
LUMI_SIMD_CLONES static void vs_flat(const double* __restrict a, double s, double* __restrict out,
                                     std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = Op::apply(a[i], s);
}

template <class Op>
LUMI_SIMD_CLONES static void sv_flat(double s, const double* __restrict b, double* __restrict out,
                                     std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = Op::apply(s, b[i]);
}

template <class F>
LUMI_SIMD_CLONES static void map_flat(const double* __restrict a, double* __restrict out, std::size_t n,
                                      F f) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = f(a[i]);
}

}  // namespace lumi::kern
