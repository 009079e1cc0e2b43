// Choice between the vector kernels and the scalar library calls, and the
// first-use comparison that decides it.
#include "ops/vmath.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "base/cpu.hpp"
#include "ops/vproof.hpp"
#include "ops/vmath_kernels.hpp"

namespace lumi::vmath {

namespace {

void exp_scalar(const double* in, double* out, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::exp(in[i]);
}
void log_scalar(const double* in, double* out, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::log(in[i]);
}

void gaussian_scalar(const double* r, double* out, std::size_t n, double h, bool root) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const double u = (root ? std::sqrt(r[i]) : r[i]) / h;
        out[i] = std::exp(-0.5 * u * u);
    }
}

template <RowDistance Kind>
void rows_scalar(const double* rows, std::size_t dim, std::size_t m, const double* q, double* out) noexcept {
    for (std::size_t j = 0; j < m; ++j) out[j] = 0.0;
    for (std::size_t i = 0; i < dim; ++i) {
        const double qi = q[i];
        const double* xi = rows + i;
        for (std::size_t j = 0; j < m; ++j) {
            const double d = qi - xi[j * dim];
            if constexpr (Kind == RowDistance::SumSquares) {
                out[j] = out[j] + d * d;
            } else if constexpr (Kind == RowDistance::SumAbs) {
                out[j] = out[j] + std::fabs(d);
            } else {
                const double a = std::fabs(d);
                out[j] = a > out[j] ? a : out[j];
            }
        }
    }
}

void row_distances_scalar(const double* rows, std::size_t dim, std::size_t m, std::size_t /*avail*/,
                          const double* q, RowDistance kind, double* out) noexcept {
    switch (kind) {
        case RowDistance::SumSquares: rows_scalar<RowDistance::SumSquares>(rows, dim, m, q, out); break;
        case RowDistance::SumAbs: rows_scalar<RowDistance::SumAbs>(rows, dim, m, q, out); break;
        case RowDistance::MaxAbs: rows_scalar<RowDistance::MaxAbs>(rows, dim, m, q, out); break;
    }
}

void gaussian_rows_scalar(const double* rows, std::size_t dim, std::size_t m, std::size_t avail, const double* q,
                          RowDistance kind, double h, double* out) noexcept {
    row_distances_scalar(rows, dim, m, avail, q, kind, out);
    gaussian_scalar(out, out, m, h, kind == RowDistance::SumSquares);
}

template <RowDistance Kind>
double gaussian_sum_scalar(const double* rows, std::size_t dim, std::size_t m, const double* q, double h,
                           double acc) noexcept {
    for (std::size_t j = 0; j < m; ++j, rows += dim) {
        double r = 0.0;
        rows_scalar<Kind>(rows, dim, 1, q, &r);
        const double u = (Kind == RowDistance::SumSquares ? std::sqrt(r) : r) / h;
        acc += std::exp(-0.5 * u * u);
    }
    return acc;
}

}  // namespace

// The baseline sum, also the remainder of the vector ones.
double gaussian_rows_sum_scalar(const double* rows, std::size_t dim, std::size_t m, std::size_t /*avail*/,
                                const double* q, RowDistance kind, double h, double acc) noexcept {
    switch (kind) {
        case RowDistance::SumSquares: return gaussian_sum_scalar<RowDistance::SumSquares>(rows, dim, m, q, h, acc);
        case RowDistance::SumAbs: return gaussian_sum_scalar<RowDistance::SumAbs>(rows, dim, m, q, h, acc);
        case RowDistance::MaxAbs: return gaussian_sum_scalar<RowDistance::MaxAbs>(rows, dim, m, q, h, acc);
    }
    return acc;
}

namespace {

template <RowDistance Kind>
void boxes_scalar(const double* lo, const double* hi, std::size_t stride, std::size_t k0, std::size_t k1,
                  std::size_t dim, const double* q, double* out) noexcept {
    for (std::size_t k = k0; k < k1; ++k) {
        double acc = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
            const double l = lo[i * stride + k], h = hi[i * stride + k], qi = q[i];
            const double g = qi < l ? l - qi : (qi > h ? qi - h : 0.0);
            if constexpr (Kind == RowDistance::SumSquares) {
                acc = acc + g * g;
            } else if constexpr (Kind == RowDistance::SumAbs) {
                acc = acc + std::fabs(g);
            } else {
                const double a = std::fabs(g);
                acc = a > acc ? a : acc;
            }
        }
        out[k] = acc;
    }
}

void gaussian_cols_scalar(const double* cols, std::size_t stride, std::size_t dim, std::size_t m, const double* q,
                          RowDistance kind, double h, double* out) noexcept {
    for (std::size_t j = 0; j < m; ++j) {
        double acc = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
            const double d = q[i] - cols[i * stride + j];
            if (kind == RowDistance::SumSquares) {
                acc = acc + d * d;
            } else if (kind == RowDistance::SumAbs) {
                acc = acc + std::fabs(d);
            } else {
                const double a = std::fabs(d);
                acc = a > acc ? a : acc;
            }
        }
        const double u = (kind == RowDistance::SumSquares ? std::sqrt(acc) : acc) / h;
        out[j] = std::exp(-0.5 * u * u);
    }
}

void box_distances_scalar(const double* lo, const double* hi, std::size_t stride, std::size_t k0, std::size_t k1,
                          std::size_t dim, const double* q, RowDistance kind, double* out) noexcept {
    switch (kind) {
        case RowDistance::SumSquares: boxes_scalar<RowDistance::SumSquares>(lo, hi, stride, k0, k1, dim, q, out); break;
        case RowDistance::SumAbs: boxes_scalar<RowDistance::SumAbs>(lo, hi, stride, k0, k1, dim, q, out); break;
        case RowDistance::MaxAbs: boxes_scalar<RowDistance::MaxAbs>(lo, hi, stride, k0, k1, dim, q, out); break;
    }
}

}  // namespace

constinit const VmathKernels kVmathBaseline{exp_scalar,           log_scalar,
                                            gaussian_scalar,      row_distances_scalar,
                                            gaussian_rows_scalar, gaussian_rows_sum_scalar,
                                            gaussian_cols_scalar, box_distances_scalar};

namespace {

using ArrayFn = void (*)(const double*, double*, std::size_t) noexcept;

using vproof::Bits;

using vproof::around;

void add_specials(std::vector<double>& v) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (double x : {0.0, -0.0, 1.0, -1.0, inf, -inf, std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
                     std::numeric_limits<double>::max(), -std::numeric_limits<double>::max()})
        v.push_back(x);
}

std::vector<double> exp_probe() {
    std::vector<double> v;
    add_specials(v);
    Bits r{0x6578705f70726f62ull};
    // every binade of the fast range and a little beyond, both signs
    for (int e = -60; e <= 10; ++e)
        for (int k = 0; k < 24; ++k) v.push_back(std::ldexp(1.0 + r.unit(), e) * (k % 2 ? -1.0 : 1.0));
    // Gaussian-kernel and general arguments
    for (int k = 0; k < 1024; ++k) v.push_back(-40.0 * r.unit() * r.unit());
    for (int k = 0; k < 512; ++k) v.push_back(1500.0 * r.unit() - 750.0);
    // the edges of the fast range and of overflow / underflow
    for (double b : {0x1p-54, 512.0, 1024.0, 709.782712893384, 708.0, 0x1p-53})
        for (double s : {1.0, -1.0}) around(v, b * s, 8);
    around(v, -708.3964185322641, 8);
    around(v, -745.1332191019411, 8);
    return v;
}

std::vector<double> log_probe() {
    std::vector<double> v;
    add_specials(v);
    Bits r{0x6c6f675f70726f62ull};
    for (int e = -1074; e <= 1023; e += 2) v.push_back(std::ldexp(1.0 + r.unit(), e));
    for (int k = 0; k < 512; ++k) v.push_back(0.9 + 0.2 * r.unit());          // around 1
    for (int k = 0; k < 256; ++k) v.push_back(1.0 + (r.unit() - 0.5) * 0x1p-30);
    for (int k = 0; k < 512; ++k) v.push_back(r.unit());                        // uniform draws
    for (int k = 0; k < 64; ++k) v.push_back(-1e3 * r.unit());
    for (double b : {1.0 - 0x1p-4, 1.0 + 0x1.09p-4, 1.0, 0x1.6p-1, 0x1.6p0, 0x1p-1022})
        around(v, b, 8);
    return v;
}

bool same_bits(const std::vector<double>& in, ArrayFn vec, double (*ref)(double), bool sabotage) {
    // Uneven lengths exercise the remainder path as well.
    for (std::size_t len : {in.size(), in.size() - 3}) {
        std::vector<double> out(len);
        vec(in.data(), out.data(), len);
        for (std::size_t i = 0; i < len; ++i) {
            std::uint64_t want = std::bit_cast<std::uint64_t>(ref(in[i]));
            if (sabotage && i == 0) want ^= 1;
            if (std::bit_cast<std::uint64_t>(out[i]) != want) return false;
        }
    }
    return true;
}

// The Gaussian kernels are exp after IEEE steps; a short check covers their lanes.
bool gaussian_matches(const VmathKernels& k) {
    std::vector<double> r = exp_probe(), want(r.size()), got(r.size());
    for (double& x : r) x = std::fabs(x);
    for (const double h : {0.057, 1.0}) {
        for (const bool root : {true, false}) {
            kVmathBaseline.gaussian_n(r.data(), want.data(), r.size(), h, root);
            k.gaussian_n(r.data(), got.data(), r.size(), h, root);
            for (std::size_t i = 0; i < r.size(); ++i)
                if (std::bit_cast<std::uint64_t>(got[i]) != std::bit_cast<std::uint64_t>(want[i])) return false;
        }
    }
    // rows of 1, 3 and 5 coordinates (gathered or transposed lanes, partial
    // last vectors), every distance kind
    Bits b{0x726f77735f70726full};
    std::vector<double> rows(61 * 5), q(5);
    for (double& x : rows) x = 2.0 * b.unit() - 1.0;
    for (double& x : q) x = 2.0 * b.unit() - 1.0;
    for (const std::size_t dim : {1, 3, 5}) {
        for (const RowDistance kind : {RowDistance::SumSquares, RowDistance::SumAbs, RowDistance::MaxAbs}) {
            for (const std::size_t m : {61, 58}) {
                kVmathBaseline.gaussian_rows(rows.data(), dim, m, m, q.data(), kind, 0.3, want.data());
                k.gaussian_rows(rows.data(), dim, m, 61, q.data(), kind, 0.3, got.data());
                for (std::size_t i = 0; i < m; ++i)
                    if (std::bit_cast<std::uint64_t>(got[i]) != std::bit_cast<std::uint64_t>(want[i])) return false;
                // the same rows stored by coordinate
                {
                    std::vector<double> cols(dim * 64, 0.0);
                    for (std::size_t j = 0; j < 61; ++j)
                        for (std::size_t i = 0; i < dim; ++i) cols[i * 64 + j] = rows[j * dim + i];
                    k.gaussian_cols(cols.data(), 64, dim, m, q.data(), kind, 0.3, got.data());
                    for (std::size_t i = 0; i < m; ++i)
                        if (std::bit_cast<std::uint64_t>(got[i]) != std::bit_cast<std::uint64_t>(want[i])) return false;
                }
                // the running sums, at ordinary and extreme bandwidths
                for (const double h : {0.3, 0x1p-420}) {
                    const double s0 = kVmathBaseline.gaussian_rows_sum(rows.data(), dim, m, m, q.data(), kind, h, 0.5);
                    const double s1 = k.gaussian_rows_sum(rows.data(), dim, m, 61, q.data(), kind, h, 0.5);
                    if (std::bit_cast<std::uint64_t>(s0) != std::bit_cast<std::uint64_t>(s1)) return false;
                }
            }
        }
    }
    return true;
}

double ref_exp(double x) { return std::exp(x); }
double ref_log(double x) { return std::log(x); }

const VmathKernels& choose() noexcept {
    return vproof::proven_or_baseline(
        kVmathBaseline,
        cpu::select(kVmathBaseline, LUMI_X86_KERNELS_OF(kVmathAvx2), LUMI_X86_KERNELS_OF(kVmathAvx512)),
        [](const VmathKernels& k, bool sabotage) {
            return same_bits(exp_probe(), k.exp_n, ref_exp, sabotage) &&
                   same_bits(log_probe(), k.log_n, ref_log, sabotage) && gaussian_matches(k);
        });
}

const VmathKernels& kernels() noexcept {
    static const VmathKernels& k = choose();
    return k;
}

}  // namespace

void exp_n(const double* in, double* out, std::size_t n) noexcept { kernels().exp_n(in, out, n); }
void log_n(const double* in, double* out, std::size_t n) noexcept { kernels().log_n(in, out, n); }
void gaussian_n(const double* r, double* out, std::size_t n, double h, bool root) noexcept {
    kernels().gaussian_n(r, out, n, h, root);
}

// The distances are plain arithmetic, the same at every level; only the exp
// of gaussian_rows depends on the self-test.
void row_distances(const double* rows, std::size_t dim, std::size_t m, std::size_t avail, const double* q,
                   RowDistance kind, double* out) noexcept {
    static const VmathKernels& k = cpu::select(kVmathBaseline, LUMI_X86_KERNELS_OF(kVmathAvx2),
                                               LUMI_X86_KERNELS_OF(kVmathAvx512));
    k.row_distances(rows, dim, m, avail, q, kind, out);
}
void gaussian_rows(const double* rows, std::size_t dim, std::size_t m, std::size_t avail, const double* q,
                   RowDistance kind, double h, double* out) noexcept {
    kernels().gaussian_rows(rows, dim, m, avail, q, kind, h, out);
}
double gaussian_rows_sum(const double* rows, std::size_t dim, std::size_t m, std::size_t avail, const double* q,
                         RowDistance kind, double h, double acc) noexcept {
    return kernels().gaussian_rows_sum(rows, dim, m, avail, q, kind, h, acc);
}
void gaussian_cols(const double* cols, std::size_t stride, std::size_t dim, std::size_t m, const double* q,
                   RowDistance kind, double h, double* out) noexcept {
    kernels().gaussian_cols(cols, stride, dim, m, q, kind, h, out);
}
void box_distances(const double* lo, const double* hi, std::size_t stride, std::size_t k0, std::size_t k1,
                   std::size_t dim, const double* q, RowDistance kind, double* out) noexcept {
    static const VmathKernels& k = cpu::select(kVmathBaseline, LUMI_X86_KERNELS_OF(kVmathAvx2),
                                               LUMI_X86_KERNELS_OF(kVmathAvx512));
    k.box_distances(lo, hi, stride, k0, k1, dim, q, kind, out);
}

}  // namespace lumi::vmath
