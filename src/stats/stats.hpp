// Whole-array reductions and order statistics.  Every operation reads the
// elements in row-major order whatever the shape and never modifies its input.
//
// Sums accumulate strictly left to right from -0.0, one rounded addition per
// element, so they agree bit for bit with the plain loop; `var` is the
// two-pass population variance.
//
// Order statistics are defined by a stable ascending sort under `<`, with NaN
// placed after every number (NaNs among themselves in input order).  Equal
// numbers are bitwise identical except for the two zeros, which keep their
// input order; median and quantiles find their values by selection and then
// pick the zero (or NaN) the stable sort would have put at that rank.
#pragma once

#include <cstddef>

#include "array/ndarray.hpp"

namespace lumi::stats {

double sum(const ArrayF64& a);
double mean(const ArrayF64& a);  // NaN when empty
double var(const ArrayF64& a);   // population variance; NaN when empty
double std(const ArrayF64& a);   // sqrt(var)
bool all(const ArrayF64& a);     // no element equals zero
bool any(const ArrayF64& a);     // some element differs from zero (NaN does)

// Raw-pointer forms of the sum, shared with the correlation code.
double sum(const double* x, std::size_t n);

double median(const ArrayF64& a);
// Fails with "Quantile must be between 0 and 1" unless 0 <= q <= 1.
double quantile(const ArrayF64& a, double q);
// One value per level, in level order; every level is checked before any work.
ArrayF64 quantiles(const ArrayF64& a, const double* q, std::size_t m);

}  // namespace lumi::stats
