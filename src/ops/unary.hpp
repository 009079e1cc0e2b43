// Element-wise functions of one array, each a tight loop over the data (the
// element functions are in kernels.inc).  Equivalent to NdArray::map with the
// matching element function, but compiled once per function and level, so the
// cheap ones (negation, abs, sqrt, sign, clip) are vectorised whatever the
// calling context.
#pragma once

#include "array/ndarray.hpp"

namespace lumi {

enum class UnaryOp { Neg, Abs, Sqrt, Exp, Log, Sin, Cos, Tan, Asin, Acos, Atan, Sign };

// Smallest chunk worth handing to another thread for op (see unary.cpp):
// arrays shorter than twice this run on the calling thread.
std::size_t unary_grain(UnaryOp op) noexcept;
std::size_t clip_grain() noexcept;

// f(a[i]) for every element, same shape as a.
ArrayF64 unary_op_copy(const ArrayF64& a, UnaryOp op);

// Every element clipped to [lo, hi]: lower bound tested first, then upper.
ArrayF64 clip_copy(const ArrayF64& a, double lo, double hi);

}  // namespace lumi
