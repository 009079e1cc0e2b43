// The symmetric eigensolver: tridiagonal reduction, implicit QR iteration on
// the tridiagonal matrix, back-transformation of the eigenvectors.
//
// Layout of the work: the reduction works on a copy of the lower triangle
// (row-major), the eigenvectors are kept transposed (row k = eigenvector k,
// row stride a multiple of every kernel chunk), so that the plane rotations
// of the QR iteration mix two rows across contiguous columns and the
// Householder reflections act on independent rows.
#include "linalg/eigh.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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
//
// `known`, when given, holds the eigenvalues (ascending) from a run without
// rotations: the first sweep at each position then takes the known value
// nearest to the Wilkinson shift instead (a perfect shift, which usually
// splits the eigenvalue off at once, so that about one sweep per eigenvalue
// is needed instead of two); should the eigenvalue not split off, the
// following sweeps there use the Wilkinson shift.
// The value of known[0..n) (ascending) nearest to x.
double nearest(const double* known, std::size_t n, double x) {
    const double* it = std::lower_bound(known, known + n, x);
    if (it == known + n) return known[n - 1];
    if (it == known) return *it;
    return x - it[-1] <= *it - x ? it[-1] : *it;
}

bool tridiagonal_qr(std::size_t n, double* d, double* e, Rotations* rot, const double* known) {
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
    idx tried = -1;  // where the last sweep with a known shift went
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
                if (known && tried != l) {
                    tried = l;
                    g = d[m] - nearest(known, n, (d[m] - g) / scale) * scale;
                }
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
                if (known && tried != l) {
                    tried = l;
                    g = d[m] - nearest(known, n, (d[m] - g) / scale) * scale;
                }
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

}  // namespace

std::pair<ArrayF64, ArrayF64> eigh(const ArrayF64& a) {
    check_shape(a);
    const std::size_t n = a.shape[0];
    if (n == 0) return {ArrayF64::zeros(Shape::d1(0)), ArrayF64::zeros(Shape{0, 0})};
    Prepared p = prepare(a);
    std::vector<double> d(n), e(n), tau(n);
    tridiagonalize(p.a.get(), n, p.lda, d.data(), e.data(), tau.data());
    // The values first, without rotations (they are also those returned: the
    // values of eigvalsh); then the vectors, with those values as shifts.
    std::vector<double> known(d), e2(e);
    if (!tridiagonal_qr(n, known.data(), e2.data(), nullptr, nullptr)) throw Error(kEighNoConvergence);
    const std::vector<std::size_t> by_value = ascending(known);
    std::vector<double> sorted(n);
    for (std::size_t k = 0; k < n; ++k) sorted[k] = known[by_value[k]];
    // Whole chunks, and a row stride off multiples of 4 KiB, which would put
    // every row of a chunk in the same cache sets.
    std::size_t ldz = (n + kColumnPad - 1) / kColumnPad * kColumnPad;
    if (ldz % 512 == 0) ldz += kColumnPad;
    Doubles z = doubles(n * ldz);
    for (std::size_t i = 0; i < n; ++i) {
        double* row = z.get() + i * ldz;
        std::fill(row, row + ldz, 0.0);
        row[i] = 1.0;
    }
    {
        Rotations rot(z.get(), n, ldz);
        if (!tridiagonal_qr(n, d.data(), e.data(), &rot, sorted.data())) throw Error(kEighNoConvergence);
        rot.flush();
    }
    const std::vector<std::size_t> order = ascending(d);
    // Rows in the order of their values, then the reflections.
    Doubles zs = doubles(n * ldz);
    for (std::size_t k = 0; k < n; ++k) {
        const double* from = z.get() + order[k] * ldz;
        std::copy(from, from + n, zs.get() + k * ldz);
    }
    z.reset();
    back_transform(p.a.get(), p.lda, tau.data(), n, zs.get(), ldz);
    ArrayF64 values = ArrayF64::uninit(Shape::d1(n));
    for (std::size_t k = 0; k < n; ++k) values.data[k] = unscale(sorted[k], p.exponent);
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
    if (!tridiagonal_qr(n, d.data(), e.data(), nullptr, nullptr)) throw Error(kEighNoConvergence);
    const std::vector<std::size_t> order = ascending(d);
    ArrayF64 values = ArrayF64::uninit(Shape::d1(n));
    for (std::size_t k = 0; k < n; ++k) values.data[k] = unscale(d[order[k]], p.exponent);
    return values;
}

}  // namespace lumi
