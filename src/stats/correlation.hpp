// Correlation of one-dimensional arrays: average ranks for ties, Pearson's
// product-moment coefficient and Spearman's rank coefficient.
#pragma once

#include "array/ndarray.hpp"

namespace lumi::stats {

// 1-based ranks; tied values share the average of the ranks they occupy
// (-0.0 ties with 0.0).  NaNs rank after every number, each on its own, in
// input order.  Fails with "Array must be 1d".
ArrayF64 ranks(const ArrayF64& x);

// Checks the lengths first ("Arrays must have same length"), then that both
// are 1-D.  0.0 for empty or constant input.
double pearson(const ArrayF64& a, const ArrayF64& b);

// Checks a, then b, for being 1-D, then the lengths.
double spearman(const ArrayF64& a, const ArrayF64& b);

}  // namespace lumi::stats
