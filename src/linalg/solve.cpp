// Triangular and Cholesky solves, LU with partial pivoting and least
// squares; the operation orders are described in solve.hpp.
//
// The large parts go to the product kernels: a triangular solve with many
// right-hand sides splits its rows in two, solves the top half, adds the top
// half's terms to the running sums of the bottom half with one product
// (mm::gemm_acc continues each sum where it stands, adding the terms in
// increasing k), and solves the bottom half; one right-hand side goes by
// blocks of rows, each block's sums started by a matrix-vector product.  The
// LU is the recursive form of the same elimination: factor the left half of
// the columns, bring the right half's top rows up to date (a unit-lower
// solve in update form), subtract the left half's contribution from the rest
// with one product, factor the right half.  Every element still receives its
// terms one at a time in the order of the plain loops.
//
// An upper triangle is solved as a lower one with rows and columns reversed
// (a copy), so that the product kernels, which add in increasing k, take the
// terms in the order the unknowns were found.
#include "linalg/solve.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "base/cancel.hpp"
#include "base/error.hpp"
#include "base/parallel.hpp"
#include "linalg/linalg.hpp"
#include "linalg/matmul.hpp"
#include "linalg/solve_kernels.hpp"

namespace lumi {

namespace {

// Rows below which the recursive solves and the LU work element by element.
constexpr std::size_t kBase = 16;
// Columns below which the LU factors a panel element by element.
constexpr std::size_t kLuBase = 32;
// Rows per block of the one-right-hand-side solve.
constexpr std::size_t kVecBlock = 64;

std::string number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

[[noreturn]] void fail(const std::string& m) { throw Error(m); }

void require_square(const char* name, const ArrayF64& a) {
    if (a.ndim() != 2) fail(std::string(name) + " requires a 2D matrix");
    if (a.shape[0] != a.shape[1]) fail(std::string(name) + " requires a square matrix");
}

// Right-hand sides b of n rows: their count (1 for a vector).
std::size_t rhs_columns(const char* name, const ArrayF64& b, std::size_t n) {
    if (b.ndim() != 1 && b.ndim() != 2) fail(std::string(name) + ": b must be 1D or 2D");
    if (b.shape[0] != n)
        fail(std::string(name) + ": b has " + std::to_string(b.shape[0]) + " rows, expected " + std::to_string(n));
    return b.ndim() == 1 ? 1 : b.shape[1];
}

[[noreturn]] void singular_diagonal(const char* name, std::size_t row) {
    fail(std::string(name) + ": matrix is singular (zero on the diagonal at row " + std::to_string(row) + ")");
}

[[noreturn]] void singular_pivot(const char* name, std::size_t col) {
    fail(std::string(name) + ": matrix is singular (no nonzero pivot in column " + std::to_string(col) + ")");
}

// Split point of a recursive solve: about half, in whole base blocks.
std::size_t half(std::size_t n) { return std::max(kBase, n / 2 / kBase * kBase); }

// The lower solve of n rows and r columns, x holding the running sums on
// entry.  `first_row` is the row of this block in the whole system; with
// `identity_rhs` (b the identity, t finite) the columns right of a block's
// last row hold exact zeros above it, whose terms (finite times +0) change
// no sum that matters: products skip them.
void lower_rec(std::size_t n, std::size_t r, const double* t, std::size_t ldt, bool unit, const double* b,
               std::size_t ldb, double* x, std::size_t ldx, std::size_t first_row, bool identity_rhs) {
    if (n <= kBase) {
        check_cancel();
        sk::solve_kernels().lower_base(n, 0, r, t, ldt, unit, b, ldb, x, ldx);
        return;
    }
    const std::size_t h = half(n);
    lower_rec(h, r, t, ldt, unit, b, ldb, x, ldx, first_row, identity_rhs);
    const std::size_t cols = identity_rhs ? std::min(r, first_row + h) : r;
    mm::gemm_acc(n - h, h, cols, t + h * ldt, ldt, 1, x, ldx, 1, x + h * ldx, ldx);
    lower_rec(n - h, r, t + h * ldt + h, ldt, unit, b + h * ldb, ldb, x + h * ldx, ldx, first_row + h,
              identity_rhs);
}

// One right-hand side: blocks of rows, each block's sums over the earlier
// unknowns from a matrix-vector product (from -0.0, increasing k), then the
// block's own terms.
void lower_vec(std::size_t n, const double* t, std::size_t ldt, bool unit, const double* b, double* x) {
    for (std::size_t i0 = 0; i0 < n; i0 += kVecBlock) {
        check_cancel();
        const std::size_t nb = std::min(kVecBlock, n - i0);
        mm::matvec(nb, i0, t + i0 * ldt, ldt, x, x + i0, -0.0);
        sk::solve_kernels().lower_base(nb, 0, 1, t + i0 * ldt + i0, ldt, unit, b + i0, 1, x + i0, 1);
    }
}

// x (n x r, row-major) solving t x = b for lower-triangular t.
void lower_solve(std::size_t n, std::size_t r, const double* t, std::size_t ldt, bool unit, const double* b,
                 double* x, bool identity_rhs = false) {
    if (n == 0 || r == 0) return;
    if (r == 1) {
        lower_vec(n, t, ldt, unit, b, x);
        return;
    }
    std::fill(x, x + n * r, -0.0);
    lower_rec(n, r, t, ldt, unit, b, r, x, r, 0, identity_rhs);
}

// tr (n x n) gets T(n-1-i, n-1-k) at [i, k] for k <= i, T(r, c) = t[r*rs +
// c*cs]: an upper triangle (or a transposed lower one) as a lower triangle
// with rows and columns reversed.  In tiles, for the transposed reads.
void reversed_lower(const double* t, std::size_t n, std::size_t rs, std::size_t cs, double* tr) {
    constexpr std::size_t T = 32;
    for (std::size_t i0 = 0; i0 < n; i0 += T) {
        check_cancel();
        const std::size_t i1 = std::min(n, i0 + T);
        for (std::size_t k0 = 0; k0 < i1; k0 += T) {
            const std::size_t k1 = std::min(n, k0 + T);
            for (std::size_t i = i0; i < i1; ++i) {
                const std::size_t kend = std::min(k1, i + 1);
                const double* src = t + (n - 1 - i) * rs;
                for (std::size_t k = k0; k < kend; ++k) tr[i * n + k] = src[(n - 1 - k) * cs];
            }
        }
    }
}

// Rows i and n-1-i of the n x r matrix p swapped.
void reverse_rows(double* p, std::size_t n, std::size_t r) {
    for (std::size_t i = 0; i < n / 2; ++i) std::swap_ranges(p + i * r, p + (i + 1) * r, p + (n - 1 - i) * r);
}

// One right-hand side with a row-major upper triangle, bottom up, without
// the reversed copy: blocks of rows, each row's sum over the unknowns below
// the block taken in decreasing k (eight rows at a time, so that eight sums
// are in flight), then over the block's own unknowns.
void upper_vec(std::size_t n, const double* t, std::size_t ldt, bool unit, const double* b, double* x) {
    double s[kVecBlock];
    for (std::size_t i1 = n; i1 > 0;) {
        check_cancel();
        const std::size_t i0 = i1 > kVecBlock ? i1 - kVecBlock : 0;
        const std::size_t nb = i1 - i0;
        std::size_t q = 0;
        for (; q + 8 <= nb; q += 8) {
            double acc[8] = {-0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0, -0.0};
            const double* row = t + (i0 + q) * ldt;
            for (std::size_t k = n; k-- > i1;) {
                const double xk = x[k];
                for (std::size_t e = 0; e < 8; ++e) acc[e] = acc[e] + row[e * ldt + k] * xk;
            }
            for (std::size_t e = 0; e < 8; ++e) s[q + e] = acc[e];
        }
        for (; q < nb; ++q) {
            double acc = -0.0;
            const double* row = t + (i0 + q) * ldt;
            for (std::size_t k = n; k-- > i1;) acc = acc + row[k] * x[k];
            s[q] = acc;
        }
        for (std::size_t i = i1; i-- > i0;) {
            double acc = s[i - i0];
            const double* row = t + i * ldt;
            for (std::size_t k = i1; k-- > i + 1;) acc = acc + row[k] * x[k];
            x[i] = unit ? b[i] - acc : (b[i] - acc) / row[i];
        }
        i1 = i0;
    }
}

// x solving T x = b for the upper triangle T(r, c) = t[r*rs + c*cs]; b and x
// are n x r, and b is used as scratch (its rows end up reversed).
void upper_solve(std::size_t n, std::size_t r, const double* t, std::size_t rs, std::size_t cs, bool unit,
                 double* b, double* x) {
    if (n == 0 || r == 0) return;
    if (r == 1 && cs == 1) {
        upper_vec(n, t, rs, unit, b, x);
        return;
    }
    ArrayF64 tr = ArrayF64::uninit(Shape{n, n});
    reversed_lower(t, n, rs, cs, tr.data.data());
    reverse_rows(b, n, r);
    lower_solve(n, r, tr.data.data(), n, unit, b, x);
    reverse_rows(x, n, r);
}

// ---------------------------------------------------------------- LU

struct Lu {
    ArrayF64 w;                        // multipliers below the diagonal, U on and above
    std::vector<std::size_t> pivot;    // row swapped with row k at step k
    std::size_t zero_col = SIZE_MAX;   // first column without a nonzero pivot
    bool odd = false;                  // odd number of swaps
};

// b (nr x p) <- L^{-1} b for the unit-lower l, in update form: row i
// receives b_i - l_ik b_k for k = 0 .. i-1 in order, as the elimination
// applies it.
void unit_lower_update(std::size_t nr, std::size_t p, const double* l, std::size_t ldl, double* b,
                       std::size_t ldb) {
    if (nr <= kBase) {
        sk::solve_kernels().unit_lower_base(nr, p, l, ldl, b, ldb);
        return;
    }
    const std::size_t h = half(nr);
    unit_lower_update(h, p, l, ldl, b, ldb);
    // b_bottom - l21 b_top as b_bottom + l21 (-b_top): the same roundings.
    for (std::size_t i = 0; i < h; ++i)
        for (std::size_t j = 0; j < p; ++j) b[i * ldb + j] = -b[i * ldb + j];
    mm::gemm_acc(nr - h, h, p, l + h * ldl, ldl, 1, b, ldb, 1, b + h * ldb, ldb);
    for (std::size_t i = 0; i < h; ++i)
        for (std::size_t j = 0; j < p; ++j) b[i * ldb + j] = -b[i * ldb + j];
    unit_lower_update(nr - h, p, l + h * ldl + h, ldl, b + h * ldb, ldb);
}

// Columns [c0, c1) of the elimination on the n x n matrix w (rows c0 .. n-1;
// all updates of earlier columns already applied to these columns).
void lu_columns(Lu& f, std::size_t n, std::size_t c0, std::size_t c1) {
    double* w = f.w.data.data();
    if (c1 - c0 <= kLuBase) {
        check_cancel();
        // The panel column by column (pc[j*rows + i] = w[c0+i, c0+j]), so
        // that the pivot search, the division and the updates run along
        // contiguous memory.
        const std::size_t wb = c1 - c0, rows = n - c0;
        std::vector<double> panel(wb * rows);
        double* pc = panel.data();
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < wb; ++j) pc[j * rows + i] = w[(c0 + i) * n + c0 + j];
        std::size_t local[kLuBase];
        const std::size_t zero = sk::solve_kernels().lu_panel(rows, wb, pc, local);
        if (zero < wb && f.zero_col == SIZE_MAX) f.zero_col = c0 + zero;
        // The same swaps in the columns outside the panel, which the panel's
        // elimination does not touch.
        for (std::size_t kk = 0; kk < wb; ++kk) {
            const std::size_t k = c0 + kk, p = c0 + local[kk];
            f.pivot[k] = p;
            if (p == k) continue;
            double* rk = w + k * n;
            double* rp = w + p * n;
            std::swap_ranges(rk, rk + c0, rp);
            std::swap_ranges(rk + c1, rk + n, rp + c1);
            f.odd = !f.odd;
        }
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < wb; ++j) w[(c0 + i) * n + c0 + j] = pc[j * rows + i];
        return;
    }
    const std::size_t h = c0 + std::max(kLuBase, (c1 - c0) / 2 / kBase * kBase);
    lu_columns(f, n, c0, h);
    // Rows c0 .. h-1 of the right half: the left half's unit-lower solve.
    unit_lower_update(h - c0, c1 - h, w + c0 * n + c0, n, w + c0 * n + h, n);
    // The rows below: w22 - l21 u12, as w22 + l21 (-u12).
    double* u12 = w + c0 * n + h;
    for (std::size_t i = 0; i < h - c0; ++i)
        for (std::size_t j = 0; j < c1 - h; ++j) u12[i * n + j] = -u12[i * n + j];
    mm::gemm_acc(n - h, h - c0, c1 - h, w + h * n + c0, n, 1, u12, n, 1, w + h * n + h, n);
    for (std::size_t i = 0; i < h - c0; ++i)
        for (std::size_t j = 0; j < c1 - h; ++j) u12[i * n + j] = -u12[i * n + j];
    lu_columns(f, n, h, c1);
}

Lu lu_factor(const ArrayF64& a) {
    const std::size_t n = a.shape[0];
    Lu f;
    f.w = a.clone();
    f.pivot.assign(n, 0);
    if (n != 0) lu_columns(f, n, 0, n);
    return f;
}

// Row i of P b is row perm[i] of b.
std::vector<std::size_t> permutation(const Lu& f) {
    const std::size_t n = f.pivot.size();
    std::vector<std::size_t> perm(n);
    for (std::size_t i = 0; i < n; ++i) perm[i] = i;
    for (std::size_t k = 0; k < n; ++k) std::swap(perm[k], perm[f.pivot[k]]);
    return perm;
}

bool all_finite(const double* p, std::size_t count) {
    bool ok = true;
    for (std::size_t i = 0; i < count; ++i) ok &= std::isfinite(p[i]);
    return ok;
}

}  // namespace

// ---------------------------------------------------------------- public

ArrayF64 solve_triangular(const ArrayF64& a, const ArrayF64& b, bool lower, bool unit_diagonal) {
    require_square("solve_triangular", a);
    const std::size_t n = a.shape[0];
    const std::size_t r = rhs_columns("solve_triangular", b, n);
    const double* t = a.data.data();
    if (!unit_diagonal)
        for (std::size_t i = 0; i < n; ++i)
            if (t[i * n + i] == 0.0) singular_diagonal("solve_triangular", i);
    ArrayF64 x = ArrayF64::uninit(b.shape);
    if (lower) {
        lower_solve(n, r, t, n, unit_diagonal, b.data.data(), x.data.data());
    } else {
        if (r == 1) {
            upper_vec(n, t, n, unit_diagonal, b.data.data(), x.data.data());
        } else {
            ArrayF64 scratch = b.clone();
            upper_solve(n, r, t, n, 1, unit_diagonal, scratch.data.data(), x.data.data());
        }
    }
    return x;
}

ArrayF64 cho_solve(const ArrayF64& l, const ArrayF64& b) {
    require_square("cho_solve", l);
    const std::size_t n = l.shape[0];
    const std::size_t r = rhs_columns("cho_solve", b, n);
    const double* t = l.data.data();
    for (std::size_t i = 0; i < n; ++i)
        if (t[i * n + i] == 0.0) singular_diagonal("cho_solve", i);
    ArrayF64 y = ArrayF64::uninit(b.shape);
    lower_solve(n, r, t, n, false, b.data.data(), y.data.data());
    ArrayF64 x = ArrayF64::uninit(b.shape);
    // l^T(r, c) = l[c*n + r].
    upper_solve(n, r, t, 1, n, false, y.data.data(), x.data.data());
    return x;
}

ArrayF64 solve(const ArrayF64& a, const ArrayF64& b) {
    require_square("solve", a);
    const std::size_t n = a.shape[0];
    const std::size_t r = rhs_columns("solve", b, n);
    Lu f = lu_factor(a);
    if (f.zero_col != SIZE_MAX) singular_pivot("solve", f.zero_col);
    const std::vector<std::size_t> perm = permutation(f);
    ArrayF64 pb = ArrayF64::uninit(b.shape);
    for (std::size_t i = 0; i < n; ++i)
        std::copy(b.data.data() + perm[i] * r, b.data.data() + (perm[i] + 1) * r, pb.data.data() + i * r);
    ArrayF64 y = ArrayF64::uninit(b.shape);
    lower_solve(n, r, f.w.data.data(), n, true, pb.data.data(), y.data.data());
    ArrayF64 x = ArrayF64::uninit(b.shape);
    upper_solve(n, r, f.w.data.data(), n, 1, false, y.data.data(), x.data.data());
    return x;
}

ArrayF64 inv(const ArrayF64& a) {
    require_square("inv", a);
    const std::size_t n = a.shape[0];
    Lu f = lu_factor(a);
    if (f.zero_col != SIZE_MAX) singular_pivot("inv", f.zero_col);
    // solve(a, I) solves L y = P I, whose column c is column perm^{-1}(c) of
    // L^{-1}: L^{-1} is found once, from the identity, and its columns moved.
    ArrayF64 eye_n = ArrayF64::zeros(Shape{n, n});
    for (std::size_t i = 0; i < n; ++i) eye_n.data[i * n + i] = 1.0;
    const double* w = f.w.data.data();
    bool finite = true;
    for (std::size_t i = 0; i < n && finite; ++i) finite = all_finite(w + i * n, i);
    ArrayF64 z = ArrayF64::uninit(Shape{n, n});
    lower_solve(n, n, w, n, true, eye_n.data.data(), z.data.data(), finite);
    const std::vector<std::size_t> perm = permutation(f);
    std::vector<std::size_t> col(n);
    for (std::size_t i = 0; i < n; ++i) col[perm[i]] = i;
    ArrayF64& y = eye_n;  // reused
    for (std::size_t i = 0; i < n; ++i) {
        const double* zi = z.data.data() + i * n;
        double* yi = y.data.data() + i * n;
        for (std::size_t c = 0; c < n; ++c) yi[c] = zi[col[c]];
    }
    ArrayF64 x = ArrayF64::uninit(Shape{n, n});
    upper_solve(n, n, w, n, 1, false, y.data.data(), x.data.data());
    return x;
}

double det(const ArrayF64& a) {
    require_square("det", a);
    const std::size_t n = a.shape[0];
    Lu f = lu_factor(a);
    double d = 1.0;
    for (std::size_t k = 0; k < n; ++k) d = d * f.w.data[k * n + k];
    return f.odd ? -d : d;
}

std::pair<double, double> slogdet(const ArrayF64& a) {
    require_square("slogdet", a);
    const std::size_t n = a.shape[0];
    Lu f = lu_factor(a);
    double sign = f.odd ? -1.0 : 1.0;
    double logabs = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const double u = f.w.data[k * n + k];
        if (std::isnan(u)) return {u, u};
        if (u == 0.0) return {0.0, -std::numeric_limits<double>::infinity()};
        if (u < 0.0) sign = -sign;
        logabs = logabs + std::log(std::fabs(u));
    }
    return {sign, logabs};
}

// ---------------------------------------------------------------- least squares
//
// a and b are first scaled by powers of two (exact) that bring their largest
// magnitudes into [0.5, 1), so that the factorisation's absolute threshold
// (a column below 1e-14 gets no reflection) acts relative to the data and no
// sum of squares overflows; the solution is scaled back at the end.  The
// rank test: a reflection skipped in one of the n columns, or a diagonal
// element of R with |R[j, j]| <= max(m, n) * 2^-52 * max_k |R[k, k]|, is
// reported as rank deficiency (the relative threshold NumPy's matrix_rank
// applies to singular values, here applied to R's diagonal).

namespace {

// The largest magnitude of p, and whether p holds a NaN or an infinity.  Two
// plain loops, each of which vectorises.
double largest(const double* p, std::size_t count, bool* not_finite) {
    // A maximum is exact, so independent running maxima (no chain of
    // dependent comparisons) give the same value.
    double m[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8)
        for (std::size_t q = 0; q < 8; ++q) {
            const double v = std::fabs(p[i + q]);
            m[q] = m[q] < v ? v : m[q];
        }
    for (; i < count; ++i) {
        const double v = std::fabs(p[i]);
        m[0] = m[0] < v ? v : m[0];
    }
    double big = 0.0;
    for (double v : m) big = big < v ? v : big;
    std::size_t nan = 0;
    for (std::size_t k = 0; k < count; ++k) nan += p[k] != p[k] ? 1 : 0;
    *not_finite = nan != 0 || !std::isfinite(big);
    return big;
}

// The power of two bringing big into [0.5, 1) (0 for no scaling: zero or
// infinite).
int scale_exponent(double big) {
    if (!(big > 0.0) || !std::isfinite(big)) return 0;
    int e = 0;
    std::frexp(big, &e);
    // 2^-e must stay a normal number.
    return std::clamp(e, -1000, 1000);
}

// Matrices of at most this many columns (a and b together) are reduced by
// reduce_narrow, which touches only the columns a reflection changes;
// wider ones by qr's panel kernels.  Both do the same operations.
constexpr std::size_t kNarrow = 32;

double norm_in_order(const double* x, std::size_t n) {
    double s = -0.0;
    for (std::size_t i = 0; i < n; ++i) s = s + x[i] * x[i];
    return std::sqrt(s);
}

// qr's reduction of the m x c row-major matrix ab (in place) with the
// reflections of its first n columns, each applied to the columns from its
// own on: per reflection j and column k >= j, w_k = sum of v_i ab[j+i, k]
// from 0.0 in increasing i, then ab[j+i, k] - (v_i + v_i) w_k.  The first n
// rows of R go to r (n x c).  Returns the number of columns skipped.
std::size_t reduce_narrow(double* ab, std::size_t m, std::size_t c, std::size_t n, double* r) {
    const sk::SolveKernels& kern = sk::solve_kernels();
    std::vector<double> v(m), v2(m), w(std::max<std::size_t>(c, kNarrow)), next(m);
    std::size_t skipped = 0;
    // Column j below the diagonal and its sum of squares, handed over by the
    // previous reflection's update pass when it had one.
    bool handed = false;
    double sq = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        check_cancel();
        const std::size_t len = m - j;
        if (handed) {
            std::swap(v, next);
        } else {
            for (std::size_t i = 0; i < len; ++i) v[i] = ab[(j + i) * c + j];
            sq = -0.0;
            for (std::size_t i = 0; i < len; ++i) sq = sq + v[i] * v[i];
        }
        handed = false;
        const double nx = std::sqrt(sq);
        if (!(nx >= 1e-14)) {
            ++skipped;
            continue;
        }
        const double sigma = v[0] < 0.0 ? -1.0 : 1.0;
        v[0] = v[0] + sigma * nx;
        const double nv = norm_in_order(v.data(), len);
        if (!(nv >= 1e-14)) {
            ++skipped;
            continue;
        }
        kern.house_scale(len, v.data(), nv, v2.data());
        const std::size_t cols = c - j;
        std::fill(w.begin(), w.end(), 0.0);
        kern.house_dot(len, cols, v.data(), ab + j * c + j, c, w.data());
        handed = j + 1 < n;
        sq = kern.house_update(len, cols, v2.data(), ab + j * c + j, c, w.data(), handed ? next.data() : nullptr);
    }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < c; ++k) r[i * c + k] = k < i ? 0.0 : ab[i * c + k];
    return skipped;
}

}  // namespace

ArrayF64 lstsq(const ArrayF64& a, const ArrayF64& b) {
    if (a.ndim() != 2) fail("lstsq requires a 2D matrix");
    const std::size_t m = a.shape[0], n = a.shape[1];
    const std::size_t r = rhs_columns("lstsq", b, m);
    if (m < n)
        fail("lstsq requires at least as many rows as columns (got " + std::to_string(m) + " x " +
             std::to_string(n) + "): under-determined systems are not solved");
    Shape out_shape = b.ndim() == 1 ? Shape::d1(n) : Shape{n, r};
    ArrayF64 x = ArrayF64::uninit(out_shape);
    if (n == 0 || r == 0) return x;
    const double* ad = a.data.data();
    const double* bd = b.data.data();
    bool a_special = false, b_special = false;
    const double a_big = largest(ad, m * n, &a_special);
    if (a_special) {
        std::fill(x.data.data(), x.data.data() + n * r, std::numeric_limits<double>::quiet_NaN());
        return x;
    }
    const int ea = scale_exponent(a_big), eb = scale_exponent(largest(bd, m * r, &b_special));
    // [a * 2^-ea | b * 2^-eb], m x (n + r).
    const std::size_t w = n + r;
    // Padded: the narrow reduction reads up to kNarrow values from the start
    // of every row.
    ArrayF64 ab = ArrayF64::uninit(Shape::d1(m * w + kNarrow));
    std::fill(ab.data.data() + m * w, ab.data.data() + m * w + kNarrow, 0.0);
    const double sa = std::ldexp(1.0, -ea), sb = std::ldexp(1.0, -eb);
    for (std::size_t i = 0; i < m; ++i) {
        double* row = ab.data.data() + i * w;
        for (std::size_t j = 0; j < n; ++j) row[j] = ad[i * n + j] * sa;
        for (std::size_t j = 0; j < r; ++j) row[n + j] = bd[i * r + j] * sb;
    }
    ArrayF64 rr = ArrayF64::uninit(Shape{n, w});
    const std::size_t skipped = w <= kNarrow ? reduce_narrow(ab.data.data(), m, w, n, rr.data.data())
                                             : householder(ab.data.data(), m, w, n, nullptr, 0, rr.data.data(), n);
    const double* R = rr.data.data();
    double big = 0.0;
    for (std::size_t j = 0; j < n; ++j) big = std::max(big, std::fabs(R[j * w + j]));
    const double tol = static_cast<double>(std::max(m, n)) * 0x1p-52 * big;
    if (skipped != 0)
        fail("lstsq: matrix is rank deficient (a column is negligible next to the span of the columns before it)");
    for (std::size_t j = 0; j < n; ++j) {
        const double d = std::fabs(R[j * w + j]);
        if (d <= tol)
            fail("lstsq: matrix is rank deficient (|R[" + std::to_string(j) + ", " + std::to_string(j) +
                 "]| = " + number(std::ldexp(d, ea)) + " is not above the threshold " +
                 number(std::ldexp(tol, ea)) + " = max(m, n) * 2**-52 * max |R[k, k]|)");
    }
    // R x = (Q^T b)[:n]: the upper n x n block against the last r columns.
    ArrayF64 qtb = ArrayF64::uninit(Shape{n, r});
    for (std::size_t i = 0; i < n; ++i) std::copy(R + i * w + n, R + (i + 1) * w, qtb.data.data() + i * r);
    ArrayF64 rn = ArrayF64::uninit(Shape{n, n});
    for (std::size_t i = 0; i < n; ++i) std::copy(R + i * w, R + i * w + n, rn.data.data() + i * n);
    upper_solve(n, r, rn.data.data(), n, 1, false, qtb.data.data(), x.data.data());
    for (std::size_t i = 0; i < n * r; ++i) x.data[i] = std::ldexp(x.data[i], eb - ea);
    return x;
}

}  // namespace lumi
