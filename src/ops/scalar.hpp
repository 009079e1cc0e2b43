// Element-wise arithmetic between an array and a single number.
#pragma once

#include "array/ndarray.hpp"
#include "ops/arithmetic.hpp"

namespace lumi {

// a[i] op s for every element, same shape as a.
ArrayF64 scalar_op_copy(const ArrayF64& a, double s, BinOp op);

// s op a[i] for every element, same shape as a (the reflected operators).
ArrayF64 scalar_op_copy_left(double s, const ArrayF64& a, BinOp op);

}  // namespace lumi
