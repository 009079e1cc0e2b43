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

}  // namespace lumi
