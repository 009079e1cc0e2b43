// The symmetric eigensolver: tridiagonal reduction; the implicit QR
// iteration on the tridiagonal matrix for the values alone, divide and
// conquer (with the QR iteration on its small blocks) for the vectors; the
// back-transformation of the eigenvectors.
//
// Layout of the work: the reduction works on a copy of the lower triangle
// (row-major); the QR iteration keeps its eigenvectors transposed (row k =
// eigenvector k, row stride a multiple of every kernel chunk), so that its
// plane rotations mix two rows across contiguous columns, and so does the
// back-transformation, whose Householder reflections then act on
// independent rows.
#include "linalg/eigh.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <numeric>
#include <vector>

#include "base/cancel.hpp"
#include "base/error.hpp"
#include "base/messages.hpp"
#include "base/parallel.hpp"
#include "linalg/eigh_kernels.hpp"
#include "linalg/factor_kernels.hpp"
#include "linalg/matmul.hpp"

namespace lumi {

namespace {

constexpr double kEps = 0x1p-53;          // unit roundoff
constexpr double kSafeMin = 0x1p-1022;    // smallest normal number

// Reflections per panel of the reduction and per block of the
// back-transformation.
constexpr std::size_t kPanel = 32;
// Rows of one piece of the trailing update and of the back-transformation.
constexpr std::size_t kRows = 64;
// Multiply-adds worth handing to another thread.
constexpr std::size_t kParallelWork = std::size_t{1} << 18;
// Columns of the transposed eigenvector matrix are padded to whole chunks of
// the widest rotation kernel.
constexpr std::size_t kColumnPad = 64;
// Rotations recorded before they are applied to the eigenvectors.
constexpr std::size_t kRotationBatch = std::size_t{1} << 18;

struct FreeDoubles {
    void operator()(double* p) const noexcept { std::free(p); }
};
using Doubles = std::unique_ptr<double[], FreeDoubles>;

// count doubles, 64-byte aligned (uninitialised).
Doubles doubles(std::size_t count) {
    if (count > (SIZE_MAX - 64) / sizeof(double)) throw std::bad_alloc();
    const std::size_t bytes = (count * sizeof(double) + 63) & ~std::size_t{63};
    void* p = std::aligned_alloc(64, bytes == 0 ? 64 : bytes);
    if (!p) throw std::bad_alloc();
    return Doubles(static_cast<double*>(p));
}

// ---------------------------------------------------------------- scalar helpers

// sqrt(x^2 + y^2) without overflow in the squares.
double pythag(double x, double y) {
    const double xa = std::fabs(x), ya = std::fabs(y);
    const double w = std::max(xa, ya), z = std::min(xa, ya);
    if (z == 0.0) return w;
    const double q = z / w;
    return w * std::sqrt(1.0 + q * q);
}

// A plane rotation with c f + s g = r, -s f + c g = 0, c >= 0.
void rotation(double f, double g, double& c, double& s, double& r) {
    constexpr double rtmin = 0x1p-511;                 // sqrt of the smallest normal
    constexpr double rtmax = 0x1.6a09e667f3bcdp+510;   // about sqrt(largest / 2)
    const double f1 = std::fabs(f), g1 = std::fabs(g);
    if (g == 0.0) {
        c = 1.0;
        s = 0.0;
        r = f;
    } else if (f == 0.0) {
        c = 0.0;
        s = std::copysign(1.0, g);
        r = g1;
    } else if (f1 > rtmin && f1 < rtmax && g1 > rtmin && g1 < rtmax) {
        const double d = std::sqrt(f * f + g * g);
        c = f1 / d;
        r = std::copysign(d, f);
        s = g / r;
    } else {
        const double u = std::min(1.0 / kSafeMin, std::max(kSafeMin, std::max(f1, g1)));
        const double fs = f / u, gs = g / u;
        const double d = std::sqrt(fs * fs + gs * gs);
        c = std::fabs(fs) / d;
        r = std::copysign(d, f);
        s = gs / r;
        r = r * u;
    }
}

// Eigen-decomposition of [[a, b], [b, c]]: rt1 of larger magnitude, rt2,
// and (cs, sn) the unit eigenvector of rt1.
void eig2(double a, double b, double c, double& rt1, double& rt2, double& cs1, double& sn1) {
    const double sm = a + c, df = a - c, adf = std::fabs(df), tb = b + b, ab = std::fabs(tb);
    const double acmx = std::fabs(a) > std::fabs(c) ? a : c;
    const double acmn = std::fabs(a) > std::fabs(c) ? c : a;
    double rt;
    if (adf > ab) {
        const double q = ab / adf;
        rt = adf * std::sqrt(1.0 + q * q);
    } else if (adf < ab) {
        const double q = adf / ab;
        rt = ab * std::sqrt(1.0 + q * q);
    } else {
        rt = ab * std::sqrt(2.0);
    }
    int sgn1;
    if (sm < 0.0) {
        rt1 = 0.5 * (sm - rt);
        sgn1 = -1;
        rt2 = (acmx / rt1) * acmn - (b / rt1) * b;
    } else if (sm > 0.0) {
        rt1 = 0.5 * (sm + rt);
        sgn1 = 1;
        rt2 = (acmx / rt1) * acmn - (b / rt1) * b;
    } else {
        rt1 = 0.5 * rt;
        rt2 = -0.5 * rt;
        sgn1 = 1;
    }
    int sgn2;
    double cs;
    if (df >= 0.0) {
        cs = df + rt;
        sgn2 = 1;
    } else {
        cs = df - rt;
        sgn2 = -1;
    }
    if (std::fabs(cs) > ab) {
        const double ct = -tb / cs;
        sn1 = 1.0 / std::sqrt(1.0 + ct * ct);
        cs1 = ct * sn1;
    } else if (ab == 0.0) {
        cs1 = 1.0;
        sn1 = 0.0;
    } else {
        const double tn = -cs / tb;
        cs1 = 1.0 / std::sqrt(1.0 + tn * tn);
        sn1 = tn * cs1;
    }
    if (sgn1 == sgn2) {
        const double tn = cs1;
        cs1 = -sn1;
        sn1 = tn;
    }
}

// sqrt of the sum of squares, added in order from -0.0.  The matrix is
// scaled beforehand so that the squares cannot overflow.
double norm2(const double* x, std::size_t n) {
    double s = -0.0;
    for (std::size_t i = 0; i < n; ++i) s = s + x[i] * x[i];
    return std::sqrt(s);
}

// The reflection H = I - tau u u^T with H (alpha, x) = (beta, 0), u = (1, v):
// v[0] holds alpha on entry, 1 on return; v[1..len) holds x, then the tail
// of u.  tau = 0 (H = I) when x is zero.
double householder(std::size_t len, double* v, double& beta) {
    double alpha = v[0];
    v[0] = 1.0;
    beta = alpha;
    if (len <= 1) return 0.0;
    double xnorm = norm2(v + 1, len - 1);
    if (xnorm == 0.0) return 0.0;
    beta = -std::copysign(pythag(alpha, xnorm), alpha);
    // Tiny beta: rescale by powers of two (exact) until it is safe to divide.
    constexpr double small = 0x1p-969, big = 0x1p969;
    int knt = 0;
    if (std::fabs(beta) < small) {
        do {
            ++knt;
            for (std::size_t q = 1; q < len; ++q) v[q] = v[q] * big;
            beta = beta * big;
            alpha = alpha * big;
        } while (std::fabs(beta) < small && knt < 20);
        xnorm = norm2(v + 1, len - 1);
        beta = -std::copysign(pythag(alpha, xnorm), alpha);
    }
    const double tau = (beta - alpha) / beta;
    const double scal = 1.0 / (alpha - beta);
    for (std::size_t q = 1; q < len; ++q) v[q] = v[q] * scal;
    for (int k = 0; k < knt; ++k) beta = beta * small;
    return tau;
}

// ---------------------------------------------------------------- reduction
//
// Panels of kPanel columns.  For column j of a panel (the i-th), the column
// first receives the panel's earlier reflections,
//   a[r, j] -= sum_{t<i} (V[r,t] W[j,t] + W[r,t] V[j,t])
// (one sum from -0.0, the terms in this order), then its reflection (v, tau)
// is formed and
//   w = tau (A v - V (W^T v) - W (V^T v)),  w -= (tau/2 (w . v)) v,
// A the trailing matrix as it was when the panel began.  After the panel the
// trailing matrix receives all of them at once, A -= V W^T + W V^T, the terms
// of each element in the same order.  With U[r] = (V[r,0], W[r,0], V[r,1],
// W[r,1], ...) and U2[r] the same with each pair swapped, all of these are
// products with U and U2, done by the product kernels.  The reflections'
// tails are kept below the subdiagonal.

void tridiagonalize(double* a, std::size_t n, std::size_t lda, double* d, double* e, double* tau) {
    const ek::EighKernels& kern = ek::eigh_kernels();
    const std::size_t nb = kPanel, us = 2 * nb;
    // Row r - base of U and U2 (base: the panel's first row below its
    // first column).
    std::vector<double> U(n * us), U2(n * us);
    std::vector<double> v(n), y(n), s(n), g(us), x(us);
    for (std::size_t k0 = 0; k0 + 1 < n; k0 += nb) {
        check_cancel();
        const std::size_t kb = std::min(nb, n - 1 - k0);
        const std::size_t base = k0 + 1;
        const std::size_t rows = n - base;
        std::fill(U.begin(), U.begin() + static_cast<std::ptrdiff_t>(rows * us), 0.0);
        std::fill(U2.begin(), U2.begin() + static_cast<std::ptrdiff_t>(rows * us), 0.0);
        for (std::size_t i = 0; i < kb; ++i) {
            const std::size_t j = k0 + i;
            if (i > 0) {
                mm::matvec(n - j, 2 * i, &U[(j - base) * us], us, &U2[(j - base) * us], s.data(), -0.0);
                for (std::size_t r = j; r < n; ++r) a[r * lda + j] = a[r * lda + j] - s[r - j];
            }
            d[j] = a[j * lda + j];
            const std::size_t len = n - j - 1;
            for (std::size_t q = 0; q < len; ++q) v[q] = a[(j + 1 + q) * lda + j];
            double beta;
            const double t_j = householder(len, v.data(), beta);
            e[j] = beta;
            tau[j] = t_j;
            for (std::size_t q = 1; q < len; ++q) a[(j + 1 + q) * lda + j] = v[q];
            for (std::size_t q = 0; q < len; ++q) {
                const std::size_t r = j + 1 + q;
                U[(r - base) * us + 2 * i] = v[q];
                U2[(r - base) * us + 2 * i + 1] = v[q];
            }
            if (t_j == 0.0) continue;
            kern.symv_lower(len, a + (j + 1) * lda + (j + 1), lda, v.data(), y.data());
            if (i > 0) {
                // g = U^T v: (V^T v)[t] at 2t, (W^T v)[t] at 2t+1; then
                // y -= V (W^T v) + W (V^T v).
                const double* u = &U[(j + 1 - base) * us];
                mm::vecmat(len, 2 * i, v.data(), u, us, g.data(), -0.0);
                for (std::size_t t = 0; t < i; ++t) {
                    x[2 * t] = g[2 * t + 1];
                    x[2 * t + 1] = g[2 * t];
                }
                mm::matvec(len, 2 * i, u, us, x.data(), s.data(), -0.0);
                for (std::size_t q = 0; q < len; ++q) y[q] = y[q] - s[q];
            }
            for (std::size_t q = 0; q < len; ++q) y[q] = t_j * y[q];
            double dot = -0.0;
            for (std::size_t q = 0; q < len; ++q) dot = dot + y[q] * v[q];
            const double alpha = -0.5 * t_j * dot;
            for (std::size_t q = 0; q < len; ++q) {
                const double w = y[q] + alpha * v[q];
                const std::size_t r = j + 1 + q;
                U[(r - base) * us + 2 * i + 1] = w;
                U2[(r - base) * us + 2 * i] = w;
            }
        }
        // The trailing matrix [k1, n) x [k1, n), lower triangle, by pieces
        // of kRows rows.
        const std::size_t k1 = k0 + kb;
        const std::size_t m = n - k1;
        const std::size_t pieces = (m + kRows - 1) / kRows;
        const std::size_t grain = std::max<std::size_t>(1, kParallelWork / (kRows * 2 * kb * m / 2 + 1));
        parallel_for(pieces, grain, [&](std::size_t pb, std::size_t pe) {
            std::vector<double> T(kRows * m);
            for (std::size_t p = pb; p < pe; ++p) {
                const std::size_t r0 = k1 + p * kRows, r1 = std::min(n, r0 + kRows);
                const std::size_t cols = r1 - k1;
                mm::gemm(r1 - r0, 2 * kb, cols, &U[(r0 - base) * us], us, 1, &U2[(k1 - base) * us], 1, us,
                         T.data(), cols, -0.0);
                for (std::size_t r = r0; r < r1; ++r) {
                    double* ar = a + r * lda + k1;
                    const double* tr = T.data() + (r - r0) * cols;
                    for (std::size_t c = 0; c + k1 <= r; ++c) ar[c] = ar[c] - tr[c];
                }
            }
        });
    }
    d[n - 1] = a[(n - 1) * lda + (n - 1)];
}

// ---------------------------------------------------------------- QR iteration

// Rotations of the QR iteration waiting to be applied to the transposed
// eigenvector matrix z (n rows, row stride ldz).
//
// They are applied by groups of kGroup sweeps in a wavefront: each rotation
// goes at the earliest step after the last earlier rotation that shares a
// row with it, and the steps run in order.  Rotations of one step share no
// row, and every row still receives its rotations in the order recorded, so
// the result is that of applying them one by one; but the later sweeps
// follow the first a few rows behind, while those rows are still in the
// first-level cache.
class Rotations {
public:
    static constexpr std::size_t kGroup = 16;

    Rotations(double* z, std::size_t n, std::size_t ldz)
        : z_(z), n_(n), ldz_(ldz), last_(n + 1), stamp_(n + 1), low_(n + 1), high_(n + 1) {
        // z is the identity: row r is zero but in column r.
        for (std::size_t r = 0; r <= n; ++r) low_[r] = high_[r] = static_cast<std::uint32_t>(r);
    }

    // Room for a sweep over rows lo .. lo+count-1: rotation t (on rows lo+t
    // and lo+t+1) takes c[t] and s[t]; a backward sweep applies t = count-2
    // first, a forward one t = 0.
    void add(std::size_t lo, std::size_t count, bool forward, double*& c, double*& s) {
        const std::size_t first = c_.size();
        sweeps_.push_back({lo, count, forward, first});
        c_.resize(first + count - 1);
        s_.resize(first + count - 1);
        c = c_.data() + first;
        s = s_.data() + first;
    }

    void maybe_flush() {
        if (c_.size() >= kRotationBatch) flush();
    }

    void flush() {
        if (sweeps_.empty()) return;
        schedule();
        const ek::EighKernels& kern = ek::eigh_kernels();
        const std::size_t chunk = kern.chunk;
        const std::size_t chunks = (n_ + chunk - 1) / chunk;
        const std::size_t count = rows_.size();
        const std::size_t grain = std::max<std::size_t>(1, kParallelWork / (count * chunk * 2 + 1));
        parallel_for(chunks, grain, [&](std::size_t b, std::size_t e) {
            for (std::size_t k = b; k < e; ++k) {
                // Pieces of whole groups, so that a stop is seen in time.
                for (std::size_t g = 0; g + 1 < group_end_.size(); ++g) {
                    check_cancel();
                    const std::size_t r0 = group_end_[g], r1 = group_end_[g + 1];
                    kern.rotate(r1 - r0, rows_.data() + r0, lo_.data() + r0, hi_.data() + r0, cs_.data() + r0,
                                ss_.data() + r0, z_, ldz_, k * chunk);
                }
            }
        });
        sweeps_.clear();
        c_.clear();
        s_.clear();
    }

private:
    struct Sweep {
        std::size_t lo, count;
        bool forward;
        std::size_t first;
    };

    // Calls f(row, index into c_/s_) for the rotations of sweep w in order.
    template <class F>
    void each(const Sweep& w, F&& f) const {
        const std::size_t last = w.count - 1;
        for (std::size_t k = 0; k < last; ++k) {
            const std::size_t t = w.forward ? k : last - 1 - k;
            f(w.lo + t, w.first + t);
        }
    }

    // rows_, cs_, ss_: the rotations in the order of application.
    void schedule() {
        const std::size_t total = c_.size();
        rows_.resize(total);
        lo_.resize(total);
        hi_.resize(total);
        cs_.resize(total);
        ss_.resize(total);
        step_.resize(total);
        group_end_.assign(1, 0);
        std::size_t out = 0;
        for (std::size_t g0 = 0; g0 < sweeps_.size(); g0 += kGroup) {
            const std::size_t g1 = std::min(sweeps_.size(), g0 + kGroup);
            ++generation_;
            std::size_t steps = 0, k = 0;
            for (std::size_t w = g0; w < g1; ++w) {
                each(sweeps_[w], [&](std::size_t p, std::size_t) {
                    const std::uint32_t a = stamp_[p] == generation_ ? last_[p] + 1 : 0;
                    const std::uint32_t b = stamp_[p + 1] == generation_ ? last_[p + 1] + 1 : 0;
                    const std::uint32_t t = std::max(a, b);
                    last_[p] = last_[p + 1] = t;
                    stamp_[p] = stamp_[p + 1] = generation_;
                    step_[k++] = t;
                    steps = std::max<std::size_t>(steps, t + 1);
                });
            }
            start_.assign(steps + 1, 0);
            for (std::size_t i = 0; i < k; ++i) ++start_[step_[i] + 1];
            for (std::size_t t = 0; t < steps; ++t) start_[t + 1] += start_[t];
            k = 0;
            for (std::size_t w = g0; w < g1; ++w) {
                each(sweeps_[w], [&](std::size_t p, std::size_t i) {
                    const std::size_t at = out + start_[step_[k++]]++;
                    // Both rows are zero outside the union of their columns.
                    const std::uint32_t lo = std::min(low_[p], low_[p + 1]), hi = std::max(high_[p], high_[p + 1]);
                    low_[p] = low_[p + 1] = lo;
                    high_[p] = high_[p + 1] = hi;
                    rows_[at] = static_cast<std::uint32_t>(p);
                    lo_[at] = lo;
                    hi_[at] = hi;
                    cs_[at] = c_[i];
                    ss_[at] = s_[i];
                });
            }
            out += k;
            group_end_.push_back(out);
        }
    }

    double* z_;
    std::size_t n_, ldz_;
    std::vector<Sweep> sweeps_;
    std::vector<double> c_, s_;
    std::vector<std::uint32_t> last_, stamp_, step_, rows_, lo_, hi_;
    // Columns outside [low_[r], high_[r]] of row r are +0.
    std::vector<std::uint32_t> low_, high_;
    std::uint32_t generation_ = 0;
    std::vector<std::size_t> start_, group_end_;
    std::vector<double> cs_, ss_;
};

// The eigenvector (c, s) of a 2 x 2 block, turned to c >= +0 (the
// rotation kernel relies on it).
void unsigned_cosine(double& c, double& s) {
    if (std::signbit(c)) {
        c = -c;
        s = -s;
    }
}

// The largest power of two not above x (x > 0, finite).
double pow2_below(double x) {
    int ex;
    std::frexp(x, &ex);
    return std::ldexp(1.0, ex - 1);
}

// Implicit QL / QR iteration with Wilkinson shifts on the symmetric
// tridiagonal matrix (diagonal d[0..n), off-diagonal e[0..n-1)): each
// unreduced block is scaled into a safe range by a power of two, iterated
// from the end with the smaller diagonal entry towards the other, an
// off-diagonal entry negligible against its neighbours splits it.  On
// return d holds the eigenvalues (unsorted).  The rotations go to `rot`
// when given.  False when an eigenvalue needs more than 30 n sweeps in all.
bool tridiagonal_qr(std::size_t n, double* d, double* e, Rotations* rot) {
    if (n <= 1) return true;
    const double eps2 = kEps * kEps;
    const double ssfmax = std::sqrt(1.0 / kSafeMin) / 3.0;
    const double ssfmin = std::sqrt(kSafeMin) / eps2;
    const std::size_t nmaxit = n * 30;
    std::size_t jtot = 0;
    using idx = std::ptrdiff_t;
    const idx N = static_cast<idx>(n);
    idx l1 = 0;
    std::size_t sweeps = 0;
    while (l1 < N) {
        if (l1 > 0) e[l1 - 1] = 0.0;
        idx m = l1;
        for (; m < N - 1; ++m) {
            const double tst = std::fabs(e[m]);
            if (tst == 0.0) break;
            if (tst <= std::sqrt(std::fabs(d[m])) * std::sqrt(std::fabs(d[m + 1])) * kEps) {
                e[m] = 0.0;
                break;
            }
        }
        idx l = l1;
        const idx lsv = l;
        idx lend = m;
        const idx lendsv = lend;
        l1 = m + 1;
        if (lend == l) continue;
        double anorm = 0.0;
        for (idx i = l; i <= lend; ++i) anorm = std::max(anorm, std::fabs(d[i]));
        for (idx i = l; i < lend; ++i) anorm = std::max(anorm, std::fabs(e[i]));
        if (anorm == 0.0) continue;
        double scale = 1.0;
        if (anorm > ssfmax) scale = pow2_below(ssfmax / anorm);
        if (anorm < ssfmin) scale = pow2_below(ssfmin / anorm);
        if (scale != 1.0) {
            for (idx i = l; i <= lend; ++i) d[i] = d[i] * scale;
            for (idx i = l; i < lend; ++i) e[i] = e[i] * scale;
        }
        if (std::fabs(d[lend]) < std::fabs(d[l])) {
            lend = lsv;
            l = lendsv;
        }
        if (lend > l) {
            // QL: eigenvalues found at the top of the block.
            for (;;) {
                if ((++sweeps & 63) == 0) check_cancel();
                for (m = l; m < lend; ++m) {
                    const double tst = std::fabs(e[m]) * std::fabs(e[m]);
                    if (tst <= (eps2 * std::fabs(d[m])) * std::fabs(d[m + 1]) + kSafeMin) break;
                }
                if (m < lend) e[m] = 0.0;
                double p = d[l];
                if (m == l) {
                    ++l;
                    if (l <= lend) continue;
                    break;
                }
                if (m == l + 1) {
                    double rt1, rt2, c, s;
                    eig2(d[l], e[l], d[l + 1], rt1, rt2, c, s);
                    if (rot) {
                        unsigned_cosine(c, s);
                        double *cw, *sw;
                        rot->add(static_cast<std::size_t>(l), 2, false, cw, sw);
                        cw[0] = c;
                        sw[0] = s;
                    }
                    d[l] = rt1;
                    d[l + 1] = rt2;
                    e[l] = 0.0;
                    l += 2;
                    if (l <= lend) continue;
                    break;
                }
                if (jtot == nmaxit) break;
                ++jtot;
                double g = (d[l + 1] - p) / (2.0 * e[l]);
                double r = pythag(g, 1.0);
                g = d[m] - p + (e[l] / (g + std::copysign(r, g)));
                double s = 1.0, c = 1.0;
                p = 0.0;
                double *cw = nullptr, *sw = nullptr;
                if (rot) rot->add(static_cast<std::size_t>(l), static_cast<std::size_t>(m - l + 1), false, cw, sw);
                for (idx i = m - 1; i >= l; --i) {
                    const double f = s * e[i], b = c * e[i];
                    rotation(g, f, c, s, r);
                    if (i != m - 1) e[i + 1] = r;
                    g = d[i + 1] - p;
                    r = (d[i] - g) * s + 2.0 * c * b;
                    p = s * r;
                    d[i + 1] = g + p;
                    g = c * r - b;
                    if (rot) {
                        cw[i - l] = c;
                        sw[i - l] = -s;
                    }
                }
                d[l] = d[l] - p;
                e[l] = g;
                if (rot) rot->maybe_flush();
            }
        } else {
            // QR: eigenvalues found at the bottom of the block.
            for (;;) {
                if ((++sweeps & 63) == 0) check_cancel();
                for (m = l; m > lend; --m) {
                    const double tst = std::fabs(e[m - 1]) * std::fabs(e[m - 1]);
                    if (tst <= (eps2 * std::fabs(d[m])) * std::fabs(d[m - 1]) + kSafeMin) break;
                }
                if (m > lend) e[m - 1] = 0.0;
                double p = d[l];
                if (m == l) {
                    --l;
                    if (l >= lend) continue;
                    break;
                }
                if (m == l - 1) {
                    double rt1, rt2, c, s;
                    eig2(d[l - 1], e[l - 1], d[l], rt1, rt2, c, s);
                    if (rot) {
                        unsigned_cosine(c, s);
                        double *cw, *sw;
                        rot->add(static_cast<std::size_t>(l - 1), 2, true, cw, sw);
                        cw[0] = c;
                        sw[0] = s;
                    }
                    d[l - 1] = rt1;
                    d[l] = rt2;
                    e[l - 1] = 0.0;
                    l -= 2;
                    if (l >= lend) continue;
                    break;
                }
                if (jtot == nmaxit) break;
                ++jtot;
                double g = (d[l - 1] - p) / (2.0 * e[l - 1]);
                double r = pythag(g, 1.0);
                g = d[m] - p + (e[l - 1] / (g + std::copysign(r, g)));
                double s = 1.0, c = 1.0;
                p = 0.0;
                double *cw = nullptr, *sw = nullptr;
                if (rot) rot->add(static_cast<std::size_t>(m), static_cast<std::size_t>(l - m + 1), true, cw, sw);
                for (idx i = m; i <= l - 1; ++i) {
                    const double f = s * e[i], b = c * e[i];
                    rotation(g, f, c, s, r);
                    if (i != m) e[i - 1] = r;
                    g = d[i] - p;
                    r = (d[i + 1] - g) * s + 2.0 * c * b;
                    p = s * r;
                    d[i] = g + p;
                    g = c * r - b;
                    if (rot) {
                        cw[i - m] = c;
                        sw[i - m] = s;
                    }
                }
                d[l] = d[l] - p;
                e[l - 1] = g;
                if (rot) rot->maybe_flush();
            }
        }
        if (scale != 1.0) {
            const double back = 1.0 / scale;
            for (idx i = lsv; i <= lendsv; ++i) d[i] = d[i] * back;
            for (idx i = lsv; i < lendsv; ++i) e[i] = e[i] * back;
        }
        if (jtot >= nmaxit) {
            for (idx i = 0; i < N - 1; ++i)
                if (e[i] != 0.0) return false;
            return true;
        }
    }
    return true;
}

// ---------------------------------------------------------------- back-transformation
//
// The eigenvectors of a are Q z, Q = H_0 H_1 ... H_{n-3}; with z kept
// transposed (rows are eigenvectors) that is z H_{n-3} ... H_0, applied a
// block of reflections at a time, last block first:
//   z <- z (I - Y T^T Y^T) = z - ((z Y) T^T) Y^T,
// Y the block's reflections as columns (unit first entry, zeros above), T
// the upper triangular factor of H_{j0} ... H_{j1-1} = I - Y T Y^T.  Rows of z
// are independent, so pieces of kRows rows run through all blocks on their
// own.

void back_transform(const double* a, std::size_t lda, const double* tau, std::size_t n, double* z,
                    std::size_t ldz) {
    if (n < 3) return;
    const std::size_t nref = n - 2;  // reflection n-2 is the identity
    const std::size_t nb = kPanel;
    const std::size_t blocks = (nref + nb - 1) / nb;
    std::vector<std::size_t> yoff(blocks + 1);
    for (std::size_t bk = 0; bk < blocks; ++bk) {
        const std::size_t j0 = bk * nb, b = std::min(nb, nref - j0);
        yoff[bk + 1] = yoff[bk] + (n - j0 - 1) * b;
    }
    std::vector<double> Y(yoff[blocks]), T(blocks * nb * nb, 0.0), z_(nb), w_(nb);
    for (std::size_t bk = 0; bk < blocks; ++bk) {
        check_cancel();
        const std::size_t j0 = bk * nb, b = std::min(nb, nref - j0), rows = n - j0 - 1;
        double* y = &Y[yoff[bk]];
        for (std::size_t q = 0; q < rows; ++q) {
            const std::size_t r = j0 + 1 + q;
            for (std::size_t c = 0; c < b; ++c) {
                const std::size_t j = j0 + c;
                y[q * b + c] = r < j + 1 ? 0.0 : r == j + 1 ? 1.0 : a[r * lda + j];
            }
        }
        double* t = &T[bk * nb * nb];
        for (std::size_t c = 0; c < b; ++c) {
            const double tc = tau[j0 + c];
            t[c * b + c] = tc;
            if (c == 0) continue;
            for (std::size_t k = 0; k < c; ++k) z_[k] = -0.0;
            for (std::size_t q = c; q < rows; ++q) {
                const double yc = y[q * b + c];
                for (std::size_t k = 0; k < c; ++k) z_[k] = z_[k] + y[q * b + k] * yc;
            }
            for (std::size_t k = 0; k < c; ++k) w_[k] = -tc * z_[k];
            for (std::size_t k = 0; k < c; ++k) {
                double sum = -0.0;
                for (std::size_t kk = k; kk < c; ++kk) sum = sum + t[k * b + kk] * w_[kk];
                t[k * b + c] = sum;
            }
        }
    }
    const std::size_t pieces = (n + kRows - 1) / kRows;
    const std::size_t grain = std::max<std::size_t>(1, kParallelWork / (kRows * n * n * 2 + 1));
    parallel_for(pieces, grain, [&](std::size_t pb, std::size_t pe) {
        std::vector<double> P(kRows * nb), P2(kRows * nb), Qm(kRows * n);
        for (std::size_t piece = pb; piece < pe; ++piece) {
            const std::size_t r0 = piece * kRows, nr = std::min(kRows, n - r0);
            double* zr = z + r0 * ldz;
            for (std::size_t bk = blocks; bk-- > 0;) {
                check_cancel();
                const std::size_t j0 = bk * nb, b = std::min(nb, nref - j0), rows = n - j0 - 1;
                const double* y = &Y[yoff[bk]];
                const double* t = &T[bk * nb * nb];
                mm::gemm(nr, rows, b, zr + j0 + 1, ldz, 1, y, b, 1, P.data(), b, -0.0);
                mm::gemm(nr, b, b, P.data(), b, 1, t, 1, b, P2.data(), b, -0.0);
                mm::gemm(nr, b, rows, P2.data(), b, 1, y, 1, b, Qm.data(), rows, -0.0);
                for (std::size_t i = 0; i < nr; ++i) {
                    double* zi = zr + i * ldz + j0 + 1;
                    const double* qi = Qm.data() + i * rows;
                    for (std::size_t q = 0; q < rows; ++q) zi[q] = zi[q] - qi[q];
                }
            }
        }
    });
}

// ---------------------------------------------------------------- driver

struct Prepared {
    std::size_t n = 0;
    int exponent = 0;  // the matrix was scaled by 2^-exponent
    std::size_t lda = 0;
    Doubles a;
};

void check_shape(const ArrayF64& a) {
    if (a.ndim() != 2) throw Error(msg::kEigRank);
    if (a.shape[0] != a.shape[1]) throw Error(msg::kEigSquare);
}

// The lower triangle, checked for finite values and scaled by a power of two
// when its largest magnitude lies outside [2^-256, 2^256] (the sums of
// squares of the reduction can then neither overflow nor lose the matrix to
// underflow).
Prepared prepare(const ArrayF64& a) {
    Prepared p;
    const std::size_t n = a.shape[0];
    p.n = n;
    const double* src = a.data.data();
    double amax = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k <= i; ++k) {
            const double x = src[i * n + k];
            if (!std::isfinite(x)) throw Error(kEighNotFinite);
            amax = std::max(amax, std::fabs(x));
        }
    }
    if (amax > 0x1p256 || (amax > 0.0 && amax < 0x1p-256)) std::frexp(amax, &p.exponent);
    // A row stride off multiples of 512 bytes spreads the rows over the cache sets.
    p.lda = n % 64 == 0 ? n + 8 : n;
    p.a = doubles(n * p.lda);
    for (std::size_t i = 0; i < n; ++i) {
        check_cancel();
        const double* s = src + i * n;
        double* t = p.a.get() + i * p.lda;
        if (p.exponent == 0) {
            std::copy(s, s + i + 1, t);
        } else {
            for (std::size_t k = 0; k <= i; ++k) t[k] = std::ldexp(s[k], -p.exponent);
        }
    }
    return p;
}

double unscale(double x, int exponent) { return exponent == 0 ? x : std::ldexp(x, exponent); }

// Indices of d in increasing order of value (ties in index order).
std::vector<std::size_t> ascending(const std::vector<double>& d) {
    for (double x : d)
        if (std::isnan(x)) throw Error(kEighNoConvergence);
    std::vector<std::size_t> idx(d.size());
    std::iota(idx.begin(), idx.end(), std::size_t{0});
    std::stable_sort(idx.begin(), idx.end(), [&](std::size_t x, std::size_t y) { return d[x] < d[y]; });
    return idx;
}

// ---------------------------------------------------------------- divide and conquer
//
// Cuppen's method with the deflation and the eigenvector formula of Gu and
// Eisenstat.  A block is split in two halves, T = diag(T1, T2) + rho v v^T
// with v = (last unit vector of T1, +-first unit vector of T2); the halves
// are solved recursively (small blocks by the QR iteration), and their
// eigen-decompositions merged: the eigenvalues of D + rho z z^T (D the
// halves' eigenvalues, z the halves' eigenvector rows at the split) are the
// roots of the secular equation, each found relative to its nearer pole,
// and the eigenvectors of the merged block are the halves' eigenvectors
// times those of D + rho z z^T (one product).  Entries of z too small to
// matter, and pairs of nearly equal eigenvalues, are deflated first: their
// eigenpairs pass through unchanged (after a plane rotation for a pair).

constexpr std::size_t kLeaf = 25;

struct Secular {
    double g, psi, phi, dpsi, dphi;
};

// 1/rho + sum_j z_j^2 / (delta_j - tau), split at i: psi (j <= i), phi (j > i),
// with the derivatives; every sum in increasing j from -0.0.
Secular secular_at(std::size_t k, const double* delta, const double* z, double rhoinv, std::size_t i,
                   double tau) {
    Secular s{0.0, -0.0, -0.0, -0.0, -0.0};
    for (std::size_t j = 0; j <= i; ++j) {
        const double t = z[j] / (delta[j] - tau);
        s.psi = s.psi + z[j] * t;
        s.dpsi = s.dpsi + t * t;
    }
    for (std::size_t j = i + 1; j < k; ++j) {
        const double t = z[j] / (delta[j] - tau);
        s.phi = s.phi + z[j] * t;
        s.dphi = s.dphi + t * t;
    }
    s.g = rhoinv + s.psi + s.phi;
    return s;
}

// Root i (0-based) of 1/rho + sum_j z_j^2 / (dl_j - lambda) = 0 for dl
// strictly increasing, z without zeros, rho > 0, |z| = 1.  Returns lambda;
// out[j] = dl_j - lambda, computed as (dl_j - dl_o) - tau from the pole o
// nearer the root.
double secular_root(std::size_t k, const double* dl, const double* z, double rho, std::size_t i, double* out,
                    std::vector<double>& delta) {
    if (k == 1) {
        out[0] = -(rho * z[0] * z[0]);
        return dl[0] + rho * z[0] * z[0];
    }
    const double rhoinv = 1.0 / rho;
    std::size_t o = i;
    double a, b;  // the root lies in (dl_o + a, dl_o + b)
    if (i + 1 < k) {
        const double gap = dl[i + 1] - dl[i];
        for (std::size_t j = 0; j < k; ++j) delta[j] = dl[j] - dl[i];
        const Secular mid = secular_at(k, delta.data(), z, rhoinv, i, gap / 2);
        if (mid.g >= 0.0) {
            a = 0.0;
            b = gap / 2;
        } else {
            o = i + 1;
            for (std::size_t j = 0; j < k; ++j) delta[j] = dl[j] - dl[o];
            a = delta[i] / 2;
            b = 0.0;
        }
    } else {
        for (std::size_t j = 0; j < k; ++j) delta[j] = dl[j] - dl[i];
        a = 0.0;
        b = rho;
        // |z| = 1 to rounding: widen until the sign is right.
        for (int t = 0; t < 60 && secular_at(k, delta.data(), z, rhoinv, i, b).g < 0.0; ++t) b = b + b;
    }
    double tau = (a + b) / 2;
    for (int iter = 0; iter < 200; ++iter) {
        const Secular s = secular_at(k, delta.data(), z, rhoinv, i, tau);
        const double noise = kEps * (rhoinv + static_cast<double>(k + 8) * (s.phi - s.psi));
        if (std::fabs(s.g) <= noise) break;
        if (s.g < 0.0) {
            a = tau;
        } else {
            b = tau;
        }
        // The step of the model c + B1/(delta_i - t) + B2/(delta_{i+1} - t)
        // that matches the sums and their slopes at tau (one pole for the
        // last root); a bisection when it leaves the bracket.
        double h = std::numeric_limits<double>::quiet_NaN();
        const double p1 = delta[i] - tau;
        if (i + 1 < k) {
            const double p2 = delta[i + 1] - tau;
            const double b1 = s.dpsi * p1 * p1, b2 = s.dphi * p2 * p2;
            const double c = s.g - s.dpsi * p1 - s.dphi * p2;
            const double a1 = c * (p1 + p2) + b1 + b2, a0 = p1 * p2 * s.g;
            const double disc = a1 * a1 - 4.0 * c * a0;
            if (disc >= 0.0) {
                const double sq = std::sqrt(disc);
                double h1, h2;
                if (a1 >= 0.0) {
                    h1 = a1 + sq == 0.0 ? 0.0 : 2.0 * a0 / (a1 + sq);
                    h2 = c == 0.0 ? h1 : (a1 + sq) / (2.0 * c);
                } else {
                    h1 = c == 0.0 ? 2.0 * a0 / (a1 - sq) : (a1 - sq) / (2.0 * c);
                    h2 = 2.0 * a0 / (a1 - sq);
                }
                h = h1 > p1 && h1 < p2 ? h1 : h2;
            }
        } else {
            const double c = s.g - s.dpsi * p1;
            if (c > 0.0) h = p1 + s.dpsi * p1 * p1 / c;
        }
        double next = tau + h;
        if (!(next > a && next < b)) next = a + (b - a) / 2;
        if (next == tau || !(b - a > 2 * kEps * std::max(std::fabs(a), std::fabs(b)))) {
            tau = next;
            break;
        }
        tau = next;
    }
    for (std::size_t j = 0; j < k; ++j) out[j] = delta[j] - tau;
    return dl[o] + tau;
}

struct DcWork {
    std::vector<double> z, dp, zp, dl, zl, lam, dm, zh, u, up, qt, qn, qo, delta, vals;
    std::vector<std::size_t> perm, keep, drop, order;
    std::vector<unsigned char> part;
};

// Eigen-decomposition of the tridiagonal block d[0..n), e[0..n-1): d
// ascending on return, eigenvector c in column c of q (column-major:
// q[c*ldq + r]), which must hold zeros on entry.
void dc_solve(std::size_t n, double* d, double* e, double* q, std::size_t ldq, DcWork& w);

// Merges the solved halves (eigenvalues d[0..n1) and d[n1..n) ascending,
// eigenvectors in the diagonal blocks of q) of the block split with
// rho0 = |beta|, s the sign of beta.
void dc_merge(std::size_t n, std::size_t n1, double* d, double* q, std::size_t ldq, double rho0, double s,
              DcWork& w) {
    const double r2 = 1.0 / std::sqrt(2.0);
    w.z.resize(n);
    for (std::size_t j = 0; j < n1; ++j) w.z[j] = q[j * ldq + (n1 - 1)] * r2;
    for (std::size_t j = n1; j < n; ++j) w.z[j] = s * q[j * ldq + n1] * r2;
    const double rho = rho0 + rho0;
    // Both halves ascending: merge them.
    w.perm.resize(n);
    {
        std::size_t x = 0, y = n1, t = 0;
        while (x < n1 && y < n) w.perm[t++] = d[y] < d[x] ? y++ : x++;
        while (x < n1) w.perm[t++] = x++;
        while (y < n) w.perm[t++] = y++;
    }
    w.dp.resize(n);
    w.zp.resize(n);
    w.qt.resize(n * n);
    double dmax = 0.0, zmax = 0.0;
    for (std::size_t t = 0; t < n; ++t) {
        w.dp[t] = d[w.perm[t]];
        w.zp[t] = w.z[w.perm[t]];
        dmax = std::max(dmax, std::fabs(w.dp[t]));
        zmax = std::max(zmax, std::fabs(w.zp[t]));
    }
    // qt: the columns of diag(Q1, Q2) in that order (column t at qt + t*n);
    // part[t]: 1 where the upper rows may be nonzero, 2 the lower ones.
    w.part.resize(n);
    for (std::size_t t = 0; t < n; ++t) {
        const std::size_t c = w.perm[t];
        std::copy_n(q + c * ldq, n, &w.qt[t * n]);
        w.part[t] = c < n1 ? 1 : 2;
    }
    const double tol = 8.0 * kEps * std::max(dmax, zmax);
    w.keep.clear();
    w.drop.clear();
    if (rho * zmax > tol) {
        std::size_t pj = n;  // the last candidate not deflated
        for (std::size_t j = 0; j < n; ++j) {
            if (rho * std::fabs(w.zp[j]) <= tol) {
                w.drop.push_back(j);
                continue;
            }
            if (pj == n) {
                pj = j;
                continue;
            }
            double sn = w.zp[pj], cs = w.zp[j];
            const double tau = pythag(cs, sn);
            const double t = w.dp[j] - w.dp[pj];
            cs = cs / tau;
            sn = -sn / tau;
            if (std::fabs(t * cs * sn) <= tol) {
                // A pair too close to separate: rotate z[pj] into z[j].
                w.zp[j] = tau;
                w.zp[pj] = 0.0;
                double* x = &w.qt[pj * n];
                double* y = &w.qt[j * n];
                for (std::size_t r = 0; r < n; ++r) {
                    const double xr = x[r], yr = y[r];
                    x[r] = cs * xr + sn * yr;
                    y[r] = cs * yr - sn * xr;
                }
                w.part[pj] = w.part[j] = w.part[pj] | w.part[j];
                const double dpj = w.dp[pj], dj = w.dp[j];
                w.dp[pj] = dpj * (cs * cs) + dj * (sn * sn);
                w.dp[j] = dpj * (sn * sn) + dj * (cs * cs);
                w.drop.push_back(pj);
            } else {
                w.keep.push_back(pj);
            }
            pj = j;
        }
        if (pj != n) w.keep.push_back(pj);
    } else {
        for (std::size_t j = 0; j < n; ++j) w.drop.push_back(j);
    }
    const std::size_t k = w.keep.size();
    w.vals.resize(n);
    w.qn.resize(n * n);  // the new eigenvectors, column-major
    if (k > 0) {
        w.dl.resize(k);
        w.zl.resize(k);
        for (std::size_t c = 0; c < k; ++c) {
            w.dl[c] = w.dp[w.keep[c]];
            w.zl[c] = w.zp[w.keep[c]];
        }
        // Renormalise z (deflation took weight out of it).
        double zz = -0.0;
        for (std::size_t c = 0; c < k; ++c) zz = zz + w.zl[c] * w.zl[c];
        const double zn = std::sqrt(zz);
        for (std::size_t c = 0; c < k; ++c) w.zl[c] = w.zl[c] / zn;
        const double rk = rho * zz;
        w.lam.resize(k);
        w.dm.resize(k * k);  // dm[i*k + j] = dl_j - lam_i
        w.delta.resize(k);
        parallel_for(k, std::max<std::size_t>(1, kParallelWork / (40 * k + 1)), [&](std::size_t b, std::size_t e_) {
            std::vector<double> scratch(k);
            for (std::size_t i = b; i < e_; ++i) {
                if ((i & 63) == 0) check_cancel();
                w.lam[i] = secular_root(k, w.dl.data(), w.zl.data(), rk, i, &w.dm[i * k], scratch);
            }
        });
        // Gu-Eisenstat: the z for which the computed roots are exact.
        w.zh.resize(k);
        for (std::size_t j = 0; j < k; ++j) w.zh[j] = w.dm[j * k + j];
        for (std::size_t i = 0; i < k; ++i) {
            const double* di = &w.dm[i * k];
            for (std::size_t j = 0; j < k; ++j)
                if (j != i) w.zh[j] = w.zh[j] * (di[j] / (w.dl[j] - w.dl[i]));
        }
        for (std::size_t j = 0; j < k; ++j) w.zh[j] = std::copysign(std::sqrt(-w.zh[j]), w.zl[j]);
        // u (k x k, row-major): column i the normalised zh / (dl - lam_i).
        w.u.resize(k * k);
        for (std::size_t i = 0; i < k; ++i) {
            const double* di = &w.dm[i * k];
            double ss = -0.0;
            for (std::size_t j = 0; j < k; ++j) {
                const double v = w.zh[j] / di[j];
                w.u[j * k + i] = v;
                ss = ss + v * v;
            }
            const double nrm = std::sqrt(ss);
            for (std::size_t j = 0; j < k; ++j) w.u[j * k + i] = w.u[j * k + i] / nrm;
        }
        // New eigenvectors qn[i*n + r] = sum_j qt[keep_j][r] u[j][i], the
        // terms in the order of the columns from the upper half, the mixed
        // ones, the columns from the lower half (each ascending): the upper
        // rows as one product over the first two groups, the lower rows over
        // the last two, leaving out the halves' zeros.
        w.order.clear();
        for (int kind : {1, 3, 2})
            for (std::size_t c = 0; c < k; ++c)
                if (w.part[w.keep[c]] == kind) w.order.push_back(c);
        std::size_t upper = 0, lower = 0;
        for (std::size_t c = 0; c < k; ++c) {
            upper += (w.part[w.keep[c]] & 1) != 0;
            lower += (w.part[w.keep[c]] & 2) != 0;
        }
        w.qo.resize(k * n);
        w.up.resize(k * k);
        for (std::size_t c = 0; c < k; ++c) {
            std::copy_n(&w.qt[w.keep[w.order[c]] * n], n, &w.qo[c * n]);
            std::copy_n(&w.u[w.order[c] * k], k, &w.up[c * k]);
        }
        const std::size_t n2 = n - n1;
        if (upper > 0) {
            mm::gemm(k, upper, n1, w.up.data(), 1, k, w.qo.data(), n, 1, w.qn.data(), n, -0.0);
        } else {
            for (std::size_t i = 0; i < k; ++i) std::fill_n(&w.qn[i * n], n1, 0.0);
        }
        const std::size_t from = k - lower;
        if (lower > 0) {
            mm::gemm(k, lower, n2, &w.up[from * k], 1, k, &w.qo[from * n + n1], n, 1, &w.qn[n1], n, -0.0);
        } else {
            for (std::size_t i = 0; i < k; ++i) std::fill_n(&w.qn[i * n + n1], n2, 0.0);
        }
        for (std::size_t i = 0; i < k; ++i) w.vals[i] = w.lam[i];
    }
    for (std::size_t c = 0; c < w.drop.size(); ++c) {
        w.vals[k + c] = w.dp[w.drop[c]];
        std::copy_n(&w.qt[w.drop[c] * n], n, &w.qn[(k + c) * n]);
    }
    // All eigenpairs in ascending order of value.
    w.order.resize(n);
    std::iota(w.order.begin(), w.order.end(), std::size_t{0});
    std::stable_sort(w.order.begin(), w.order.end(), [&](std::size_t x, std::size_t y) { return w.vals[x] < w.vals[y]; });
    for (std::size_t t = 0; t < n; ++t) {
        const std::size_t c = w.order[t];
        d[t] = w.vals[c];
        std::copy_n(&w.qn[c * n], n, q + t * ldq);
    }
}

void dc_solve(std::size_t n, double* d, double* e, double* q, std::size_t ldq, DcWork& w) {
    check_cancel();
    if (n <= kLeaf) {
        constexpr std::size_t ldz = kColumnPad;
        Doubles z = doubles(n * ldz);
        for (std::size_t i = 0; i < n; ++i) {
            std::fill(z.get() + i * ldz, z.get() + (i + 1) * ldz, 0.0);
            z[i * ldz + i] = 1.0;
        }
        {
            Rotations rot(z.get(), n, ldz);
            if (!tridiagonal_qr(n, d, e, &rot)) throw Error(kEighNoConvergence);
            rot.flush();
        }
        const std::vector<double> vals(d, d + n);
        const std::vector<std::size_t> order = ascending(vals);
        for (std::size_t k = 0; k < n; ++k) {
            d[k] = vals[order[k]];
            std::copy_n(z.get() + order[k] * ldz, n, q + k * ldq);
        }
        return;
    }
    const std::size_t n1 = n / 2;
    const double beta = e[n1 - 1];
    const double rho0 = std::fabs(beta);
    d[n1 - 1] = d[n1 - 1] - rho0;
    d[n1] = d[n1] - rho0;
    dc_solve(n1, d, e, q, ldq, w);
    dc_solve(n - n1, d + n1, e + n1, q + n1 * ldq + n1, ldq, w);
    dc_merge(n, n1, d, q, ldq, rho0, std::signbit(beta) ? -1.0 : 1.0, w);
}

}  // namespace

std::pair<ArrayF64, ArrayF64> eigh(const ArrayF64& a) {
    check_shape(a);
    const std::size_t n = a.shape[0];
    if (n == 0) return {ArrayF64::zeros(Shape::d1(0)), ArrayF64::zeros(Shape{0, 0})};
    Prepared p = prepare(a);
    std::vector<double> d(n), e(n), tau(n);
    tridiagonalize(p.a.get(), n, p.lda, d.data(), e.data(), tau.data());
    // Whole chunks, and a row stride off multiples of 4 KiB.
    std::size_t ldz = (n + kColumnPad - 1) / kColumnPad * kColumnPad;
    if (ldz % 512 == 0) ldz += kColumnPad;
    // The eigenvectors of the tridiagonal matrix as the rows of zs (the
    // columns of the divide and conquer's column-major q).
    Doubles zs = doubles(n * ldz);
    std::fill(zs.get(), zs.get() + n * ldz, 0.0);
    {
        DcWork w;
        dc_solve(n, d.data(), e.data(), zs.get(), ldz, w);
    }
    back_transform(p.a.get(), p.lda, tau.data(), n, zs.get(), ldz);
    ArrayF64 values = ArrayF64::uninit(Shape::d1(n));
    for (std::size_t k = 0; k < n; ++k) values.data[k] = unscale(d[k], p.exponent);
    ArrayF64 vectors = ArrayF64::uninit(Shape{n, n});
    fk::factor_kernels().transpose(zs.get(), ldz, n, n, vectors.data.data(), n);
    return {std::move(values), std::move(vectors)};
}

ArrayF64 eigvalsh(const ArrayF64& a) {
    check_shape(a);
    const std::size_t n = a.shape[0];
    if (n == 0) return ArrayF64::zeros(Shape::d1(0));
    Prepared p = prepare(a);
    std::vector<double> d(n), e(n), tau(n);
    tridiagonalize(p.a.get(), n, p.lda, d.data(), e.data(), tau.data());
    if (!tridiagonal_qr(n, d.data(), e.data(), nullptr)) throw Error(kEighNoConvergence);
    const std::vector<std::size_t> order = ascending(d);
    ArrayF64 values = ArrayF64::uninit(Shape::d1(n));
    for (std::size_t k = 0; k < n; ++k) values.data[k] = unscale(d[order[k]], p.exponent);
    return values;
}

}  // namespace lumi
