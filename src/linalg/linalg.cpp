// Products, transpose, diagonal, Cholesky, Householder QR and the QR-iteration
// eigen-decomposition.  Shape preconditions are checked before anything is
// allocated; the numerics follow the fixed summation orders documented in
// linalg.hpp, with independent outputs computed together for speed.
#include "linalg/linalg.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "array/constructors.hpp"
#include "base/messages.hpp"
#include "linalg/matmul.hpp"

namespace lumi {

namespace {

// |k| without overflow for INT64_MIN.
std::uint64_t magnitude(std::int64_t k) {
    return k < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(k) : static_cast<std::uint64_t>(k);
}

ArrayF64 matrix(std::size_t rows, std::size_t cols) { return ArrayF64::uninit(Shape{rows, cols}); }

// Blocked copy out[j*m + i] = in[i*n + j]: square tiles keep both the rows
// read and the rows written in cache.
void transpose_into(const double* __restrict in, std::size_t m, std::size_t n, double* __restrict out) {
    constexpr std::size_t T = 32;
    if (m == 0 || n == 0) return;
    for (std::size_t i0 = 0; i0 < m; i0 += T) {
        const std::size_t i1 = std::min(m, i0 + T);
        for (std::size_t j0 = 0; j0 < n; j0 += T) {
            const std::size_t j1 = std::min(n, j0 + T);
            for (std::size_t j = j0; j < j1; ++j)
                for (std::size_t i = i0; i < i1; ++i) out[j * m + i] = in[i * n + j];
        }
    }
}

// sqrt of the sum of squares, added in order starting from -0.0.
double norm(const double* x, std::size_t n, std::size_t stride) {
    double s = -0.0;
    for (std::size_t i = 0; i < n; ++i) s = s + x[i * stride] * x[i * stride];
    return std::sqrt(s);
}

}  // namespace

ArrayF64 matmul(const ArrayF64& a, const ArrayF64& b) {
    const std::size_t ra = a.ndim(), rb = b.ndim();
    if (ra == 1 && rb == 1) {
        if (a.shape[0] != b.shape[0]) throw Error(msg::kVectorLengths);
        double s = -0.0;
        const double* x = a.data.data();
        const double* y = b.data.data();
        for (std::size_t k = 0, n = a.shape[0]; k < n; ++k) s = s + x[k] * y[k];
        ArrayF64 out = ArrayF64::uninit(Shape::d1(1));
        out.data[0] = s;
        return out;
    }
    if (ra == 1 && rb == 2) {
        const std::size_t n = a.shape[0], p = b.shape[1];
        if (n != b.shape[0]) throw Error(msg::kInnerDims);
        ArrayF64 out = ArrayF64::uninit(Shape::d1(p));
        mm::vecmat(n, p, a.data.data(), b.data.data(), p, out.data.data(), -0.0);
        return out;
    }
    if (ra == 2 && rb == 1) {
        const std::size_t m = a.shape[0], n = a.shape[1];
        if (n != b.shape[0]) throw Error(msg::kInnerDims);
        ArrayF64 out = ArrayF64::uninit(Shape::d1(m));
        mm::matvec(m, n, a.data.data(), n, b.data.data(), out.data.data(), -0.0);
        return out;
    }
    if (ra == 2 && rb == 2) {
        const std::size_t m = a.shape[0], n = a.shape[1], p = b.shape[1];
        if (n != b.shape[0]) {
            throw Error(msg::inner_dims(n, b.shape[0]));
        }
        ArrayF64 out = matrix(m, p);
        mm::gemm(m, n, p, a.data.data(), n, 1, b.data.data(), p, 1, out.data.data(), p, -0.0);
        return out;
    }
    throw Error(msg::kMatmulRank);
}

ArrayF64 outer(const ArrayF64& a, const ArrayF64& b) {
    if (a.ndim() != 1) throw Error(msg::kFirstNot1D);
    if (b.ndim() != 1) throw Error(msg::kSecondNot1D);
    const std::size_t m = a.shape[0], n = b.shape[0];
    ArrayF64 out = matrix(m, n);
    const double* x = a.data.data();
    const double* y = b.data.data();
    double* o = out.data.data();
    for (std::size_t i = 0; i < m; ++i) {
        const double xi = x[i];
        double* row = o + i * n;
        for (std::size_t j = 0; j < n; ++j) row[j] = xi * y[j];
    }
    return out;
}

ArrayF64 transpose(const ArrayF64& a) {
    if (a.ndim() != 2) throw Error(msg::kTransposeRank);
    const std::size_t m = a.shape[0], n = a.shape[1];
    ArrayF64 out = matrix(n, m);
    // An empty matrix may still have one huge side ([2**58, 0]): no walk over it.
    if (m != 0 && n != 0) transpose_into(a.data.data(), m, n, out.data.data());
    return out;
}

ArrayF64 diagonal(const ArrayF64& a, std::int64_t k) {
    if (a.ndim() != 2) throw Error(msg::kInputNot2D);
    const std::size_t m = a.shape[0], n = a.shape[1];
    const std::uint64_t off = magnitude(k);
    const std::uint64_t r0 = k < 0 ? off : 0;
    const std::uint64_t c0 = k < 0 ? 0 : off;
    if (!(r0 < m && c0 < n)) return ArrayF64::zeros(Shape::d1(0));
    const std::size_t len = std::min<std::size_t>(n - c0, m - r0);
    ArrayF64 out = ArrayF64::uninit(Shape::d1(len));
    const double* d = a.data.data();
    for (std::size_t i = 0; i < len; ++i) out.data[i] = d[(r0 + i) * n + (c0 + i)];
    return out;
}

// Banachiewicz sums s_ij = sum_{k<j} L[i,k] L[j,k] (from 0.0, increasing k),
// computed a column at a time: every row's sum for column j is independent,
// so the rows below the pivot run in SIMD lanes over a column-major copy of L.
// The pivots are met in the same order as in the row-by-row formulation, so
// the first failing pivot (and every value) is the same.
ArrayF64 cholesky(const ArrayF64& a) {
    if (a.ndim() != 2) throw Error(msg::kCholeskyRank);
    if (a.shape[0] != a.shape[1]) throw Error(msg::kCholeskySquare);
    const std::size_t n = a.shape[0];
    ArrayF64 out = ArrayF64::zeros(Shape{n, n});
    if (n == 0) return out;
    const double* A = a.data.data();
    // lc[k*n + i] = L[i, k]
    std::vector<double> lc(n * n, 0.0);
    std::vector<double> s(n), row(n);
    for (std::size_t j = 0; j < n; ++j) {
        // row[k] = L[j, k] for k < j
        for (std::size_t k = 0; k < j; ++k) row[k] = lc[k * n + j];
        mm::vecmat(j, n - j, row.data(), lc.data() + j, n, s.data() + j, 0.0);
        const double d = A[j * n + j] - s[j];
        if (d <= 0.0) throw Error(msg::kNotPositiveDefinite);
        const double ljj = std::sqrt(d);
        lc[j * n + j] = ljj;
        for (std::size_t i = j + 1; i < n; ++i) lc[j * n + i] = (A[i * n + j] - s[i]) / ljj;
    }
    transpose_into(lc.data(), n, n, out.data.data());
    // Zeros above the diagonal.
    double* L = out.data.data();
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j) L[i * n + j] = 0.0;
    return out;
}

// Householder QR.  R is updated row-wise (w_k for all columns k at once, each
// summed over i in order); Q is kept transposed while the reflections
// accumulate, so u_r for all rows r also runs across contiguous memory.
std::pair<ArrayF64, ArrayF64> qr(const ArrayF64& a) {
    if (a.ndim() != 2) throw Error(msg::kQrRank);
    const std::size_t m = a.shape[0], n = a.shape[1];
    ArrayF64 r = a.clone();
    ArrayF64 qt = eye(m);  // qt[c*m + row] = Q[row, c]
    double* R = r.data.data();
    double* Qt = qt.data.data();
    const std::size_t p = std::min(m, n);
    // Scratch only when a column is processed: an empty matrix may have a
    // huge number of columns.
    std::vector<double> v(p ? m : 0), v2(p ? m : 0), w(p ? n : 0), u(p ? m : 0);
    for (std::size_t j = 0; j < p; ++j) {
        const std::size_t len = m - j;
        for (std::size_t i = 0; i < len; ++i) v[i] = R[(j + i) * n + j];
        const double nx = norm(v.data(), len, 1);
        if (!(nx >= 1e-14)) continue;
        const double sigma = v[0] < 0.0 ? -1.0 : 1.0;
        v[0] = v[0] + sigma * nx;
        const double nv = norm(v.data(), len, 1);
        if (!(nv >= 1e-14)) continue;
        for (std::size_t i = 0; i < len; ++i) v[i] = v[i] / nv;

        // w_k = sum_i v_i R[j+i, k] for k >= j (from 0.0, increasing i), then
        // R[j+i, k] -= (v_i + v_i) w_k.
        const std::size_t cols = n - j;
        mm::vecmat(len, cols, v.data(), R + j * n + j, n, w.data(), 0.0);
        for (std::size_t i = 0; i < len; ++i) v2[i] = v[i] + v[i];
        mm::rank1_sub(len, cols, v2.data(), w.data(), R + j * n + j, n);

        // u_r = sum_i v_i Q[r, j+i] for every row r (from 0.0, increasing i),
        // then Q[r, j+i] -= (u_r + u_r) v_i.
        mm::vecmat(len, m, v.data(), Qt + j * m, m, u.data(), 0.0);
        for (std::size_t rr = 0; rr < m; ++rr) u[rr] = u[rr] + u[rr];
        mm::rank1_sub(len, m, v.data(), u.data(), Qt + j * m, m);
    }
    for (std::size_t i = 1; i < m; ++i)
        for (std::size_t k = 0; k < std::min(i, n); ++k) R[i * n + k] = 0.0;
    ArrayF64 q = matrix(m, m);
    transpose_into(Qt, m, m, q.data.data());
    return {std::move(q), std::move(r)};
}

std::pair<ArrayF64, ArrayF64> eig_with_params(const ArrayF64& a, std::uint64_t max_iter, double tol,
                                              EigReport* report) {
    if (a.ndim() != 2) throw Error(msg::kEigRank);
    if (a.shape[0] != a.shape[1]) throw Error(msg::kEigSquare);
    const std::size_t n = a.shape[0];
    if (n == 0) return {ArrayF64::zeros(Shape::d1(0)), ArrayF64::zeros(Shape{0, 0})};
    if (n == 1) {
        ArrayF64 values = ArrayF64::uninit(Shape::d1(1));
        values.data[0] = a.data[0];
        ArrayF64 vectors = ArrayF64::uninit(Shape{1, 1});
        vectors.data[0] = 1.0;
        return {std::move(values), std::move(vectors)};
    }
    ArrayF64 A = a.clone();
    ArrayF64 V = eye(n);
    bool met_tol = false;
    std::uint64_t it = 0;
    for (; it < max_iter; ++it) {
        auto [q, r] = qr(A);
        mm::gemm(n, n, n, r.data.data(), n, 1, q.data.data(), n, 1, A.data.data(), n, -0.0);
        ArrayF64 v2 = matrix(n, n);
        mm::gemm(n, n, n, V.data.data(), n, 1, q.data.data(), n, 1, v2.data.data(), n, -0.0);
        V = std::move(v2);
        double off = 0.0;
        const double* d = A.data.data();
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
                if (i != j) off = off + d[i * n + j] * d[i * n + j];
        if (std::sqrt(off) < tol) {
            met_tol = true;
            ++it;
            break;
        }
    }
    if (report) {
        double worst = 0.0, off = 0.0;
        const double* d = A.data.data();
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
                if (i != j) {
                    const double m = std::fabs(d[i * n + j]);
                    if (!(m <= worst)) worst = m;  // NaN sticks
                    off = off + m * m;
                }
        report->iterations = it;
        report->max_off_diagonal = worst;
        report->converged = met_tol || std::sqrt(off) < tol || worst == 0.0;
    }
    std::vector<double> d(n);
    for (std::size_t i = 0; i < n; ++i) {
        d[i] = A.data[i * n + i];
        // Ordering compares magnitudes; a NaN has none.
        if (std::isnan(d[i])) throw Error(msg::kUnwrapNone);
    }
    std::vector<std::size_t> idx(n);
    for (std::size_t i = 0; i < n; ++i) idx[i] = i;
    std::stable_sort(idx.begin(), idx.end(),
                     [&](std::size_t x, std::size_t y) { return std::fabs(d[x]) > std::fabs(d[y]); });
    ArrayF64 values = ArrayF64::uninit(Shape::d1(n));
    ArrayF64 vectors = matrix(n, n);
    for (std::size_t k = 0; k < n; ++k) values.data[k] = d[idx[k]];
    for (std::size_t r = 0; r < n; ++r)
        for (std::size_t k = 0; k < n; ++k) vectors.data[r * n + k] = V.data[r * n + idx[k]];
    return {std::move(values), std::move(vectors)};
}

ArrayF64 eigvals(const ArrayF64& a) { return eig_with_params(a, kEigDefaultMaxIter, kEigDefaultTol).first; }

}  // namespace lumi
