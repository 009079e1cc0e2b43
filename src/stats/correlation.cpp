// Ranks, Pearson and Spearman.
//
// A rank depends only on how many elements sort before an element and how
// many tie with it, so the stable index sort that defines ranks can be any
// sort that groups equal values: the values are mapped to unsigned keys whose
// integer order is the numeric order (both zeros share one key, every NaN
// gets the largest key) and sorted with an LSD radix sort, which is stable,
// so NaNs also come out in input order.
#include "stats/correlation.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "base/cancel.hpp"
#include "base/error.hpp"
#include "base/messages.hpp"
#include "base/parallel.hpp"
#include "stats/stats.hpp"

namespace lumi::stats {

namespace {

constexpr std::uint64_t kNaNKey = ~std::uint64_t{0};

inline std::uint64_t order_key(double v) noexcept {
    if (v != v) return kNaNKey;
    if (v == 0.0) v = 0.0;  // -0.0 ties with 0.0
    const auto u = std::bit_cast<std::uint64_t>(v);
    constexpr std::uint64_t sign = std::uint64_t{1} << 63;
    return (u & sign) ? ~u : (u | sign);
}

// From this length spearman ranks its two inputs on two threads.
constexpr std::size_t kParallelRanks = std::size_t{1} << 14;

// Below this size a comparison sort of (key, index) pairs is cheaper.
constexpr std::size_t kRadixMin = 512;
constexpr unsigned kDigitBits = 11;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr unsigned kPasses = (64 + kDigitBits - 1) / kDigitBits;
// Records between two cancellation checks of a pass.
constexpr std::size_t kCheckEvery = std::size_t{1} << 16;

inline std::size_t digit(std::uint64_t key, unsigned pass) noexcept {
    return static_cast<std::size_t>((key >> (pass * kDigitBits)) & (kBuckets - 1));
}

// A key and the input position it came from.  Sorted as one 16-byte record:
// one write stream per bucket scatters faster than separate key and index
// arrays.
struct Rec {
    std::uint64_t key;
    std::uint64_t idx;
};

// Stable LSD radix sort by key of recs[0, n), using tmp[0, n) as the other
// half of the ping-pong; returns whichever of the two ends up sorted.
Rec* radix_sort(Rec* recs, Rec* tmp, std::size_t n) {
    touch_pages(tmp, n * sizeof(Rec));
    std::vector<std::size_t> hist(kPasses * kBuckets, 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (i % kCheckEvery == 0) check_cancel();
        for (unsigned p = 0; p < kPasses; ++p) ++hist[p * kBuckets + digit(recs[i].key, p)];
    }
    for (unsigned p = 0; p < kPasses; ++p) {
        std::size_t* __restrict h = hist.data() + p * kBuckets;
        // A digit shared by every key leaves the order as it is.
        if (h[digit(recs[0].key, p)] == n) continue;
        std::size_t total = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            const std::size_t c = h[b];
            h[b] = total;
            total += c;
        }
        const Rec* __restrict src = recs;
        Rec* __restrict dst = tmp;
        for (std::size_t i = 0; i < n; ++i) {
            if (i % kCheckEvery == 0) check_cancel();
            dst[h[digit(src[i].key, p)]++] = src[i];
        }
        std::swap(recs, tmp);
    }
    return recs;
}

// Sorting scratch each thread keeps between calls when it is no larger than
// this: repeated rankings of moderate arrays reuse warm pages instead of
// faulting fresh ones in (which costs about as much as the sort itself).
constexpr std::size_t kKeptScratchBytes = std::size_t{8} << 20;

// The kept buffer is taken out of its slot while in use: a call made from
// a signal handler at a cancellation point finds the slot empty.
struct RankScratch {
    Buffer<Rec> buf;
    bool from_slot = false;

    static Buffer<Rec>& slot() { return thread_cache<Buffer<Rec>>(); }

    // Room for 2n records: kept in the thread's scratch when small enough.
    Rec* get(std::size_t n) {
        if (2 * n * sizeof(Rec) <= kKeptScratchBytes) {
            buf = std::move(slot());
            from_slot = true;
        }
        if (buf.size() < 2 * n) buf = Buffer<Rec>::uninit(2 * n);
        return buf.data();
    }
    ~RankScratch() {
        if (from_slot) slot() = std::move(buf);
    }
};

void rank_into(const double* x, std::size_t n, double* out) {
    RankScratch scratch;
    Rec* recs = scratch.get(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (i % kCheckEvery == 0) check_cancel();
        recs[i] = {order_key(x[i]), i};
    }
    if (n < kRadixMin) {
        // (key, index) order is the stable order.
        std::sort(recs, recs + n,
                  [](const Rec& a, const Rec& b) { return a.key < b.key || (a.key == b.key && a.idx < b.idx); });
    } else {
        recs = radix_sort(recs, recs + n, n);
    }
    // The tie groups write `out` in random order.
    touch_pages(out, n * sizeof(double));
    // Tie groups: a NaN ties with nothing, itself included.
    std::size_t i = 0;
    while (i < n) {
        cancel_tick();
        std::size_t j = i + 1;
        const std::uint64_t key = recs[i].key;
        if (key != kNaNKey) {
            while (j < n && recs[j].key == key) ++j;
        }
        const double r = static_cast<double>(i + 1 + j) * 0.5;
        for (std::size_t t = i; t < j; ++t) out[recs[t].idx] = r;
        i = j;
    }
}

void require_1d(const ArrayF64& x) {
    if (x.ndim() != 1) throw Error(msg::kArrayNot1d);
}

// The power of two that brings the largest finite magnitude of x[0, n) into
// [0.5, 1), as an exponent; 0 when there is nothing finite and nonzero to
// scale.  Sets `constant` when every element equals the first (== as
// doubles, so both zeros tie and a NaN never does).
int scale_exponent(const double* x, std::size_t n, bool& constant) {
    double big = 0.0;
    bool same = true;
    for (std::size_t i = 0; i < n; ++i) {
        if (i % kCheckEvery == 0) check_cancel();
        const double m = std::fabs(x[i]);
        if (m > big && m <= std::numeric_limits<double>::max()) big = m;
        same &= x[i] == x[0];
    }
    constant = same;
    if (big == 0.0) return 0;
    int e = 0;
    std::frexp(big, &e);
    return -e;
}

// x * 2^k, exact whenever the result is a normal number.  2^k alone may not
// be representable (|k| up to 1074), so large shifts take two factors of the
// same direction: the intermediate lies between x and the result, so it is
// normal when the result is.
struct PowerOfTwo {
    double f1 = 1.0, f2 = 1.0;
    explicit PowerOfTwo(int k) noexcept {
        const int k1 = k / 2;
        f1 = std::ldexp(1.0, k1);
        f2 = std::ldexp(1.0, k - k1);
    }
    double operator()(double x) const noexcept { return x * f1 * f2; }
};

// Pearson's coefficient.  Each input is first multiplied by the power of two
// that brings its largest magnitude near 1: the scaling is exact, and the
// same power divides out of sxy / (ra * rb) exactly (sxx scales by an even
// power, so its square root scales exactly too), so results that neither
// under- nor overflow unscaled are bit-identical, while inputs whose squared
// deviations would under- or overflow (values near 1e-200 or 1e200) get a
// correct coefficient instead of 0 or NaN.
double pearson_unchecked(const double* a, const double* b, std::size_t n) {
    if (n == 0) return 0.0;
    bool a_constant = false, b_constant = false;
    const PowerOfTwo scale_a(scale_exponent(a, n, a_constant));
    const PowerOfTwo scale_b(scale_exponent(b, n, b_constant));
    // A constant input has no correlation; its rounded mean may differ from
    // its value, so the formula would not give exactly 0.
    if (a_constant || b_constant) return 0.0;
    // The two sums are independent chains, each in index order from -0.0.
    double sa = -0.0, sb = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i % kCheckEvery == 0) check_cancel();
        sa += scale_a(a[i]);
        sb += scale_b(b[i]);
    }
    const double ma = sa / static_cast<double>(n);
    const double mb = sb / static_cast<double>(n);
    double sxy = 0.0, sxx = 0.0, syy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i % kCheckEvery == 0) check_cancel();
        const double da = scale_a(a[i]) - ma;
        const double db = scale_b(b[i]) - mb;
        sxy += da * db;
        sxx += da * da;
        syy += db * db;
    }
    const double ra = std::sqrt(sxx);
    const double rb = std::sqrt(syy);
    if (ra == 0.0 || rb == 0.0) return 0.0;
    const double r = sxy / (ra * rb);
    // Rounding can carry |r| a unit past 1; NaN passes through.
    if (r > 1.0) return 1.0;
    if (r < -1.0) return -1.0;
    return r;
}

}  // namespace

ArrayF64 ranks(const ArrayF64& x) {
    require_1d(x);
    const std::size_t n = x.size();
    auto out = Buffer<double>::uninit(n);
    rank_into(x.data.data(), n, out.data());
    return ArrayF64::make(Shape::d1(n), std::move(out));
}

double pearson(const ArrayF64& a, const ArrayF64& b) {
    if (a.size() != b.size()) throw Error(msg::kArrayLengths);
    require_1d(a);
    require_1d(b);
    return pearson_unchecked(a.data.data(), b.data.data(), a.size());
}

double spearman(const ArrayF64& a, const ArrayF64& b) {
    // The checks ranks(a), ranks(b) and pearson would make, in their order,
    // before any sorting.
    require_1d(a);
    require_1d(b);
    if (a.size() != b.size()) throw Error(msg::kArrayLengths);
    // The two rankings are independent: side by side on the pool when large.
    const std::size_t n = a.size();
    auto ra = Buffer<double>::uninit(n);
    auto rb = Buffer<double>::uninit(n);
    parallel_for(2, n >= kParallelRanks ? 1 : 2, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (i == 0) {
                rank_into(a.data.data(), n, ra.data());
            } else {
                rank_into(b.data.data(), n, rb.data());
            }
        }
    });
    return pearson_unchecked(ra.data(), rb.data(), n);
}

}  // namespace lumi::stats
