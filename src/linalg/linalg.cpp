// Products, transpose, diagonal, Cholesky, Householder QR and the QR-iteration
// eigen-decomposition.  Shape preconditions are checked before anything is
// allocated; the numerics follow the fixed summation orders documented in
// linalg.hpp, with independent outputs computed together for speed.
#include "linalg/linalg.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "array/constructors.hpp"
#include "base/cancel.hpp"
#include "base/messages.hpp"
#include "base/parallel.hpp"
#include "linalg/factor_kernels.hpp"
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
        check_cancel();
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

// The sum of x[k] * y[k], added in order starting from -0.0.  A function of
// its own: inlined into a large caller, the running sum was kept in memory,
// and every step waited for a store and a load on top of the addition.
[[gnu::noinline]] double dot_in_order(const double* x, const double* y, std::size_t n) noexcept {
    double s = -0.0;
    for (std::size_t k = 0; k < n; ++k) s = s + x[k] * y[k];
    return s;
}

}  // namespace

ArrayF64 matmul(const ArrayF64& a, const ArrayF64& b) {
    const std::size_t ra = a.ndim(), rb = b.ndim();
    if (ra == 1 && rb == 1) {
        if (a.shape[0] != b.shape[0]) throw Error(msg::kVectorLengths);
        const double s = dot_in_order(a.data.data(), b.data.data(), a.shape[0]);
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
        if (i % 256 == 0) check_cancel();
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

// ---------------------------------------------------------------- working memory

namespace {

// Scratch space of the factorisations: each thread keeps one buffer per slot
// up to kKeepDoubles (so repeated calls on moderate matrices neither allocate
// nor fault pages in); larger requests get their own allocation, freed when
// the Work goes out of scope.  64-byte aligned.
constexpr std::size_t kKeepDoubles = std::size_t{1} << 19;
constexpr int kSlots = 6;

double* aligned_doubles(std::size_t count) {
    if (count > (SIZE_MAX - 64) / sizeof(double)) throw std::bad_alloc();
    const std::size_t bytes = (count * sizeof(double) + 63) & ~std::size_t{63};
    void* p = std::aligned_alloc(64, bytes == 0 ? 64 : bytes);
    if (!p) throw std::bad_alloc();
    return static_cast<double*>(p);
}

struct Kept {
    double* p = nullptr;
    std::size_t cap = 0;
    ~Kept() { std::free(p); }
};

struct KeptSlots {
    Kept slot[kSlots];
};

class Work {
public:
    Work(int slot, std::size_t count) {
        if (count > kKeepDoubles) {
            p_ = aligned_doubles(count);
            own_ = true;
            return;
        }
        Kept& k = thread_cache<KeptSlots>().slot[slot];
        if (k.cap < count) {
            std::free(k.p);
            k.p = nullptr;
            k.cap = 0;
            k.p = aligned_doubles(count);
            k.cap = count;
        }
        p_ = k.p;
    }
    ~Work() {
        if (own_) std::free(p_);
    }
    Work(const Work&) = delete;
    Work& operator=(const Work&) = delete;
    double* get() const { return p_; }

private:
    double* p_ = nullptr;
    bool own_ = false;
};

// Multiply-adds worth handing to another thread.
constexpr std::size_t kParallelWork = std::size_t{1} << 18;

}  // namespace

// ---------------------------------------------------------------- Cholesky
//
// Left-looking by panels of kPanel columns, L kept column-major (lc[k*ld + i]
// = L[i, k]) so that rows run across SIMD lanes.  For a panel starting at
// column j0, s_ij = sum_{k<j} L[i,k] L[j,k] splits into the terms k < j0,
// one product over the columns already done (summed from 0.0 in increasing
// k, the plain loop's order), and the terms inside the panel, which the
// panel kernels add to those sums in increasing k before the subtraction
// and the division.  Every element therefore goes through exactly the
// operations of the row-by-row formulation.  Pivots are met in increasing
// order as there, so the same matrices fail; only the lower triangle of a
// is used.
ArrayF64 cholesky(const ArrayF64& a) {
    if (a.ndim() != 2) throw Error(msg::kCholeskyRank);
    if (a.shape[0] != a.shape[1]) throw Error(msg::kCholeskySquare);
    const std::size_t n = a.shape[0];
    ArrayF64 out = ArrayF64::zeros(Shape{n, n});
    if (n == 0) return out;
    constexpr std::size_t kPanel = 48;
    const fk::FactorKernels& kern = fk::factor_kernels();
    // Row padding: the diagonal-block kernel works on whole vectors.
    const std::size_t ld = (n + 7) / 8 * 8 + 8;
    Work lc_work(0, n * ld), s_work(1, kPanel * ld), at_work(2, kPanel * ld);
    double* lc = lc_work.get();
    double* S = s_work.get();
    double* at = at_work.get();
    // Padding rows are read by the diagonal-block kernel: keep them finite.
    for (std::size_t jj = 0; jj < kPanel; ++jj) {
        std::fill(S + jj * ld + n, S + (jj + 1) * ld, 0.0);
        std::fill(at + jj * ld + n, at + (jj + 1) * ld, 0.0);
    }
    const double* A = a.data.data();
    double* L = out.data.data();
    for (std::size_t j0 = 0; j0 < n; j0 += kPanel) {
        check_cancel();
        const std::size_t jb = std::min(kPanel, n - j0), rows = n - j0;
        // S[jj*ld + i] = sum_{k<j0} L[j0+jj, k] L[j0+i, k]  (0.0 when j0 = 0)
        mm::gemm(jb, j0, rows, lc + j0, 1, ld, lc + j0, ld, 1, S, ld, 0.0);
        // at[jj*ld + i] = A[j0+i, j0+jj]
        kern.transpose(A + j0 * n + j0, n, rows, jb, at, ld);
        double* lp = lc + j0 * ld + j0;
        if (!kern.chol_diag(jb, lp, ld, S, ld, at, ld)) throw Error(msg::kNotPositiveDefinite);
        const std::size_t below = rows - jb;
        const std::size_t chunk = 8 * kern.lanes;
        const std::size_t chunks = (below + chunk - 1) / chunk;
        const std::size_t grain = std::max<std::size_t>(1, kParallelWork / (chunk * jb * jb / 2 + 1));
        parallel_for(chunks, grain, [&](std::size_t b, std::size_t e) {
            const std::size_t i0 = jb + b * chunk, i1 = std::min(rows, jb + e * chunk);
            kern.chol_rows(jb, i1 - i0, lp + i0, ld, S + i0, ld, at + i0, ld, lp);
        });
        // Rows j0.. of L; the diagonal block's upper part holds scratch values.
        kern.transpose(lp, ld, jb, rows, L + j0 * n + j0, n);
        for (std::size_t i = 0; i + 1 < jb; ++i)
            std::fill(L + (j0 + i) * n + j0 + i + 1, L + (j0 + i) * n + j0 + jb, 0.0);
    }
    return out;
}

// ---------------------------------------------------------------- QR
//
// R is reduced by panels of kern.panel columns (the working copy has its
// columns padded to whole panels): a panel's own reflections are found
// column by column, then applied to every later panel, the panels
// independently (each column still receives the reflections in order, with
// w_k summed over the whole column first).  Q is built afterwards from the
// stored Householder vectors, a block of kern.panel rows at a time: a row of
// Q only ever mixes with itself, so each block runs through all reflections
// in order while it stays in cache.  Reflections of a panel also touch its
// columns left of the current one below the diagonal; those entries are
// cleared at the end as the plain algorithm clears its residues.

std::size_t householder(const double* a, std::size_t m, std::size_t n, std::size_t reflect, double* q,
                        std::size_t q_cols, double* r, std::size_t r_rows) {
    const std::size_t p = std::min(reflect, std::min(m, n));
    if (p == 0) {
        std::copy(a, a + r_rows * n, r);
        std::fill(q, q + m * q_cols, 0.0);
        for (std::size_t i = 0; i < std::min(m, q_cols); ++i) q[i * q_cols + i] = 1.0;
        return 0;
    }
    const fk::FactorKernels& kern = fk::factor_kernels();
    const std::size_t cb = kern.panel;
    // Row stride: whole panels, and not a multiple of 512 bytes, so that the
    // rows of a panel spread over the cache sets.
    std::size_t ldr = (n + cb - 1) / cb * cb;
    if (ldr % 64 == 0) ldr += cb;
    Work r_work(0, m * ldr), v_work(1, p * m), v2_work(2, p * m);
    double* R = r_work.get();
    double* vs = v_work.get();
    double* v2s = v2_work.get();
    for (std::size_t i = 0; i < m; ++i) {
        std::copy(a + i * n, a + (i + 1) * n, R + i * ldr);
        std::fill(R + i * ldr + n, R + (i + 1) * ldr, 0.0);
    }
    std::vector<std::size_t> js;  // reflections applied, in order
    js.reserve(p);
    for (std::size_t c0 = 0; c0 < ldr; c0 += cb) {
        const std::size_t first = js.size();
        for (std::size_t j = c0; j < std::min(c0 + cb, p); ++j) {
            check_cancel();
            const std::size_t len = m - j;
            double* v = vs + j * m;
            for (std::size_t i = 0; i < len; ++i) v[i] = R[(j + i) * ldr + j];
            const double nx = norm(v, len, 1);
            if (!(nx >= 1e-14)) continue;
            const double sigma = v[0] < 0.0 ? -1.0 : 1.0;
            v[0] = v[0] + sigma * nx;
            const double nv = norm(v, len, 1);
            if (!(nv >= 1e-14)) continue;
            double* v2 = v2s + j * m;
            for (std::size_t i = 0; i < len; ++i) {
                v[i] = v[i] / nv;
                v2[i] = v[i] + v[i];
            }
            kern.house_cols(m, &j, 1, vs, v2s, m, R + c0, ldr);
            js.push_back(j);
        }
        const std::size_t cnt = js.size() - first;
        const std::size_t later = (ldr - c0) / cb - 1;
        if (cnt == 0 || later == 0) continue;
        const std::size_t grain = std::max<std::size_t>(1, kParallelWork / (cnt * cb * (m - js[first]) + 1));
        parallel_for(later, grain, [&](std::size_t b, std::size_t e) {
            for (std::size_t t = b; t < e; ++t)
                kern.house_cols(m, js.data() + first, cnt, vs, v2s, m, R + c0 + (t + 1) * cb, ldr);
        });
    }
    for (std::size_t i = 0; i < r_rows; ++i)
        for (std::size_t k = 0; k < n; ++k) r[i * n + k] = k < i ? 0.0 : R[i * ldr + k];
    if (q_cols != 0) {
        const std::size_t blocks = (m + cb - 1) / cb;
        const std::size_t grain =
            std::max<std::size_t>(1, kParallelWork / (cb * m * std::max<std::size_t>(js.size(), 1)));
        parallel_for(blocks, grain, [&](std::size_t b, std::size_t e) {
            Work qb_work(3, m * cb);
            double* qb = qb_work.get();
            for (std::size_t blk = b; blk < e; ++blk) {
                const std::size_t r0 = blk * cb, rb = std::min(cb, m - r0);
                kern.house_rows(m, r0, js.data(), js.size(), vs, m, qb);
                kern.transpose(qb, cb, q_cols, rb, q + r0 * q_cols, q_cols);
            }
        });
    }
    return p - js.size();
}

namespace {

void householder_qr(const double* a, std::size_t m, std::size_t n, double* q, double* r) {
    householder(a, m, n, n, q, m, r, m);
}

// c = r q for n x n matrices, r upper triangular with exact zeros below the
// diagonal (as householder_qr leaves it), every element summed over all k
// from -0.0 as the plain product does.  For finite q the terms left of the
// diagonal are signed zeros: a sum that starts at the diagonal instead
// differs only when all its terms are zero, so rows go through the product
// kernels from their block's first diagonal element on, and the elements
// that come out zero are summed again in full.
void upper_times(std::size_t n, const double* r, const double* q, double* c) {
    bool finite = true;
    for (std::size_t i = 0; i < n * n && finite; ++i) finite = std::isfinite(q[i]);
    constexpr std::size_t kRows = 32;
    if (!finite || n < 2 * kRows) {
        mm::gemm(n, n, n, r, n, 1, q, n, 1, c, n, -0.0);
        return;
    }
    for (std::size_t i0 = 0; i0 < n; i0 += kRows) {
        const std::size_t rows = std::min(kRows, n - i0);
        mm::gemm(rows, n - i0, n, r + i0 * n + i0, n, 1, q + i0 * n, n, 1, c + i0 * n, n, -0.0);
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            if (c[i * n + j] != 0.0) continue;
            double s = -0.0;
            for (std::size_t k = 0; k < n; ++k) s = s + r[i * n + k] * q[k * n + j];
            c[i * n + j] = s;
        }
    }
}

}  // namespace

std::pair<ArrayF64, ArrayF64> qr(const ArrayF64& a) {
    if (a.ndim() != 2) throw Error(msg::kQrRank);
    const std::size_t m = a.shape[0], n = a.shape[1];
    ArrayF64 q = matrix(m, m);
    ArrayF64 r = matrix(m, n);
    // An empty matrix may still have a huge number of columns: nothing to do
    // but the identity.
    householder_qr(a.data.data(), m, n, q.data.data(), r.data.data());
    return {std::move(q), std::move(r)};
}

std::pair<ArrayF64, ArrayF64> qr_reduced(const ArrayF64& a) {
    if (a.ndim() != 2) throw Error(msg::kQrRank);
    const std::size_t m = a.shape[0], n = a.shape[1], p = std::min(m, n);
    ArrayF64 q = matrix(m, p);
    ArrayF64 r = matrix(p, n);
    householder(a.data.data(), m, n, n, q.data.data(), p, r.data.data(), p);
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
    ArrayF64 Q = matrix(n, n), R = matrix(n, n), V2 = matrix(n, n);
    bool met_tol = false;
    std::uint64_t it = 0;
    for (; it < max_iter; ++it) {
        check_cancel();
        householder_qr(A.data.data(), n, n, Q.data.data(), R.data.data());
        upper_times(n, R.data.data(), Q.data.data(), A.data.data());
        mm::gemm(n, n, n, V.data.data(), n, 1, Q.data.data(), n, 1, V2.data.data(), n, -0.0);
        std::swap(V, V2);
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
