// Element-wise arithmetic between two arrays under broadcasting.
#pragma once

#include "array/ndarray.hpp"

namespace lumi {

enum class BinOp { Add, Sub, Mul, Div };

// a op b element by element, shaped like the broadcast of the two shapes; the
// left operand's element is always on the left of the operator.  Throws
// Error("Shapes are not broadcast-compatible") when the shapes do not
// broadcast.
ArrayF64 binary_op_copy(const ArrayF64& a, const ArrayF64& b, BinOp op);

// Element count of binary_op_copy(a, b, op) (0 when the shapes do not
// broadcast).
std::size_t binary_result_size(const ArrayF64& a, const ArrayF64& b) noexcept;

// Smallest chunk of result elements worth handing to another thread for the
// arithmetic operators (array-array and array-number); smaller results are
// computed on the calling thread.
std::size_t arithmetic_grain() noexcept;

}  // namespace lumi
