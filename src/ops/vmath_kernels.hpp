// Kernel sets of the array exp and log, one per instruction-set level (see
// base/cpu.hpp).  vmath.cpp holds the baseline set (the scalar library calls)
// and decides which set is used; the vector sets are in vmath_avx2.cpp and
// vmath_avx512.cpp.
#pragma once

#include <cstddef>

#include "ops/vmath.hpp"

namespace lumi::vmath {

struct VmathKernels {
    // out[i] = exp(in[i]) / log(in[i]); `in` may equal `out`
    void (*exp_n)(const double* in, double* out, std::size_t n) noexcept;
    void (*log_n)(const double* in, double* out, std::size_t n) noexcept;
    // out[i] = exp((-0.5 * u) * u), u = sqrt(r[i]) / h (root) or r[i] / h
    void (*gaussian_n)(const double* r, double* out, std::size_t n, double h, bool root) noexcept;
    // see row_distances and gaussian_rows in vmath.hpp
    void (*row_distances)(const double* rows, std::size_t dim, std::size_t m, std::size_t avail, const double* q,
                          RowDistance kind, double* out) noexcept;
    void (*gaussian_rows)(const double* rows, std::size_t dim, std::size_t m, std::size_t avail, const double* q,
                          RowDistance kind, double h, double* out) noexcept;
    double (*gaussian_rows_sum)(const double* rows, std::size_t dim, std::size_t m, std::size_t avail,
                                const double* q, RowDistance kind, double h, double acc) noexcept;
    void (*gaussian_cols)(const double* cols, std::size_t stride, std::size_t dim, std::size_t m, const double* q,
                          RowDistance kind, double h, double* out) noexcept;
    void (*box_distances)(const double* lo, const double* hi, std::size_t stride, std::size_t k0, std::size_t k1,
                          std::size_t dim, const double* q, RowDistance kind, double* out) noexcept;
};

extern const VmathKernels kVmathBaseline, kVmathAvx2, kVmathAvx512;

// The baseline gaussian_rows_sum (the vector sets finish short arrays with it).
double gaussian_rows_sum_scalar(const double* rows, std::size_t dim, std::size_t m, std::size_t avail,
                                const double* q, RowDistance kind, double h, double acc) noexcept;

}  // namespace lumi::vmath
