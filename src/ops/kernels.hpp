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

}  // namespace lumi::kern
