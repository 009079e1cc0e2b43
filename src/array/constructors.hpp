// Arrays built from sizes and values: filled arrays, eye, diagonal matrices
// and column stacking.  (zeros is NdArray::zeros.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "array/ndarray.hpp"

namespace lumi {

// Every element 1.0.
ArrayF64 ones(Shape shape);

// Every element a bit-for-bit copy of value (-0.0 and NaN payloads included).
ArrayF64 full(Shape shape, double value);

// n x m (m defaults to n) with 1.0 on diagonal k (k > 0 above the main
// diagonal, k < 0 below); a diagonal outside the matrix leaves all zeros.
ArrayF64 eye(std::size_t n, std::optional<std::size_t> m = std::nullopt, std::int64_t k = 0);

// Square matrix of side len(v) + |k| holding v on diagonal k.
// Throws Error("Input must be 1D") unless v is one-dimensional.
ArrayF64 from_diag(const ArrayF64& v, std::int64_t k = 0);

// Joins 1-D arrays (as columns) and 2-D arrays side by side into one 2-D
// array.  Throws Error with "Need at least one array", "column_stack only
// supports 1D and 2D arrays" or "All arrays must have the same number of
// rows"; every check happens before anything is built.
ArrayF64 column_stack(const std::vector<ArrayF64>& arrays);
ArrayF64 column_stack(const std::vector<const ArrayF64*>& arrays);

}  // namespace lumi
