// Reductions, median and quantiles.
//
// Order statistics never sort.  A value at rank k of the stable NaN-last sort
// is found by selection: one streaming pass keeps only the elements between
// two pivots drawn from a sample around rank k (counting those below and
// equal to the pivots), then std::nth_element runs on that small remainder.
// When the sample misleads (heavy duplicates, adversarial layouts) the pass
// gives up and the code falls back to selecting on a full copy.  Selection
// cannot tell -0.0 from +0.0, nor one NaN from another, so a rank that holds a
// zero or a NaN is settled afterwards from the input order (Fixup).  The
// results therefore equal the sort-based definition bit for bit, whichever
// path found them.
#include "stats/stats.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "base/cancel.hpp"
#include "base/error.hpp"
#include "base/messages.hpp"
#include "base/parallel.hpp"
#include "stats/select_kernels.hpp"

namespace lumi::stats {

namespace {

// Elements between two cancellation checks of the sequential sums.
constexpr std::size_t kCheckBlock = std::size_t{1} << 16;

// operator< for sorting and selection over whole inputs, with a
// cancellation check every few thousand comparisons.
struct CheckedLess {
    bool operator()(double a, double b) const {
        cancel_tick();
        return a < b;
    }
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

inline bool valid_level(double q) noexcept { return q >= 0.0 && q <= 1.0; }

void check_level(double q) {
    if (!valid_level(q)) throw Error(msg::kQuantileRange);
}

}  // namespace

// ---------------------------------------------------------------------------
// Reductions

double sum(const double* x, std::size_t n) {
    // One rounded addition per element in index order: the latency of the
    // add chain is the cost, and no reordering is allowed to hide it.
    double s = -0.0;
    for (std::size_t b = 0; b < n; b += kCheckBlock) {
        check_cancel();
        const std::size_t e = std::min(n, b + kCheckBlock);
        for (std::size_t i = b; i < e; ++i) s += x[i];
    }
    return s;
}

double sum(const ArrayF64& a) { return sum(a.data.data(), a.size()); }

double mean(const ArrayF64& a) {
    const std::size_t n = a.size();
    if (n == 0) return kNaN;
    return sum(a) / static_cast<double>(n);
}

double var(const ArrayF64& a) {
    const std::size_t n = a.size();
    if (n == 0) return kNaN;
    const double* x = a.data.data();
    const double m = sum(x, n) / static_cast<double>(n);
    double acc = -0.0;
    for (std::size_t b = 0; b < n; b += kCheckBlock) {
        check_cancel();
        const std::size_t e = std::min(n, b + kCheckBlock);
        for (std::size_t i = b; i < e; ++i) {
            const double d = x[i] - m;
            acc += d * d;
        }
    }
    return acc / static_cast<double>(n);
}

double std(const ArrayF64& a) { return std::sqrt(var(a)); }

namespace {

// Blocks are tested whole (the test vectorises); the walk stops at the first
// block holding a deciding element.
constexpr std::size_t kTestBlock = 512;

}  // namespace

bool all(const ArrayF64& a) {
    const auto has_zero = select_kernels().has_zero;
    const double* x = a.data.data();
    const std::size_t n = a.size();
    for (std::size_t i = 0; i < n; i += kTestBlock) {
        cancel_tick();
        if (has_zero(x + i, std::min(kTestBlock, n - i))) return false;
    }
    return true;
}

bool any(const ArrayF64& a) {
    const auto has_nonzero = select_kernels().has_nonzero;
    const double* x = a.data.data();
    const std::size_t n = a.size();
    for (std::size_t i = 0; i < n; i += kTestBlock) {
        cancel_tick();
        if (has_nonzero(x + i, std::min(kTestBlock, n - i))) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Order statistics

namespace {

// Turns a value found by selection at rank k into the element the stable
// NaN-last sort puts there.  Only zeros and NaNs can differ from their equals;
// the input-order lists of both are built on first need.
class Fixup {
public:
    Fixup(const double* x, std::size_t n, std::size_t nn) : x_(x), n_(n), nn_(nn) {}

    double at(std::size_t k, double raw) {
        if (k >= nn_) {
            if (!nans_ready_) {
                nans_.reserve(n_ - nn_);
                for (std::size_t i = 0; i < n_; ++i)
                    if (x_[i] != x_[i]) nans_.push_back(x_[i]);
                nans_ready_ = true;
            }
            return nans_[k - nn_];
        }
        if (raw == 0.0) {
            if (!zeros_ready_) {
                for (std::size_t i = 0; i < n_; ++i) {
                    const double v = x_[i];
                    negatives_ += static_cast<std::size_t>(v < 0.0);
                    if (v == 0.0) zeros_.push_back(v);
                }
                zeros_ready_ = true;
            }
            return zeros_[k - negatives_];
        }
        return raw;
    }

private:
    const double* x_;
    std::size_t n_, nn_;
    std::vector<double> zeros_, nans_;
    std::size_t negatives_ = 0;
    bool zeros_ready_ = false, nans_ready_ = false;
};

// Copies the non-NaN elements to buf (room for n); returns their count.
std::size_t copy_numbers(const double* x, std::size_t n, double* buf) noexcept {
    std::size_t j = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = x[i];
        buf[j] = v;
        j += static_cast<std::size_t>(v == v);
    }
    return j;
}

// Places every rank of ranks[0..nr) (sorted, distinct, within [lo, hi)) at its
// sorted position in b, as a sort of b[lo, hi) would.
void multiselect(double* b, std::size_t lo, std::size_t hi, const std::size_t* ranks, std::size_t nr) {
    while (nr > 0) {
        const std::size_t mid = nr / 2;
        const std::size_t k = ranks[mid];
        std::nth_element(b + lo, b + k, b + hi, CheckedLess{});
        multiselect(b, lo, k, ranks, mid);
        lo = k + 1;
        ranks += mid + 1;
        nr -= mid + 1;
    }
}

// Values (before Fixup) at ranks k and k2 = k or k + 1, and the NaN count.
struct Pair {
    double v[2];
    std::size_t nn;
};

// Up to this many levels, quantiles runs one selection pass per level.
constexpr std::size_t kFewLevels = 16;

// Arrays below this size are selected on a copy directly.
constexpr std::size_t kSampleMin = std::size_t{1} << 14;

// Full copy of the numbers, then nth_element.
Pair select_copy(const double* x, std::size_t n, std::size_t k, std::size_t k2) {
    auto buf = Buffer<double>::uninit(n);
    double* b = buf.data();
    const std::size_t nn = copy_numbers(x, n, b);
    Pair p{{kNaN, kNaN}, nn};
    if (k < nn) {
        std::nth_element(b, b + k, b + nn, CheckedLess{});
        p.v[0] = b[k];
        if (k2 == k) {
            p.v[1] = p.v[0];
        } else if (k2 < nn) {
            p.v[1] = *std::min_element(b + k2, b + nn);
        }
    }
    return p;
}

// What one part of the filtering pass keeps: the elements strictly between
// the pivots, and the counts below, at and past them.
struct Kept {
    Buffer<double> buf;
    std::size_t n = 0;
    Counts counts;
};

constexpr std::size_t kFilterBlock = 1024;
// Elements per part of a split pass: below a few milliseconds of work per
// part, waiting for a shared core costs more than the split saves.
constexpr std::size_t kFilterGrain = std::size_t{1} << 20;

// False when more than the expected share (`keep`) falls between the pivots.
bool filter_range(const double* x, std::size_t n, double lo, double hi, double keep, Kept& out) {
    const std::size_t cap =
        std::min(n, static_cast<std::size_t>(keep * static_cast<double>(n))) + 2 * kFilterBlock;
    const auto filter_block = select_kernels().filter_block;
    out.buf = Buffer<double>::uninit(cap);
    double* b = out.buf.data();
    std::size_t j = 0;
    for (std::size_t i = 0; i < n; i += kFilterBlock) {
        // Room for a whole block plus the vector stores' slack.
        if (j + kFilterBlock + 4 > cap) return false;
        const std::size_t len = std::min(kFilterBlock, n - i);
        j += filter_block(x + i, len, lo, hi, b + j, out.counts);
    }
    out.n = j;
    return true;
}

// SplitMix64: sample positions only; results never depend on them.
inline std::uint64_t mix(std::uint64_t& s) noexcept {
    std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// One pass keeping what lies strictly between two sampled pivots.  False
// when the pivots missed the ranks or too much fell between them.
bool select_sampled(const double* x, std::size_t n, std::size_t k, std::size_t k2, Pair& out) {
    std::size_t s_total = std::min<std::size_t>(std::size_t{1} << 14, n / 16);
    std::vector<double> sample;
    sample.reserve(s_total);
    std::uint64_t seed = 0x5EEDu ^ n;
    for (std::size_t i = 0; i < s_total; ++i) {
        const auto pos = static_cast<std::size_t>((static_cast<unsigned __int128>(mix(seed)) * n) >> 64);
        const double v = x[pos];
        if (v == v) sample.push_back(v);
    }
    const std::size_t s_num = sample.size();
    // Sample ranks k and k2 map to, widened by four standard deviations of
    // the sampled count on each side (at most sqrt(s_total) / 2).
    const double scale = static_cast<double>(s_total) / static_cast<double>(n);
    const double margin = 2.0 * std::sqrt(static_cast<double>(s_total)) + 2.0;
    const double t_lo = static_cast<double>(k) * scale - margin;
    const double t_hi = static_cast<double>(k2) * scale + margin;
    double lo = -kInf, hi = kInf;
    if (t_lo >= 0.0 && s_num > 0) {
        const auto r = std::min(static_cast<std::size_t>(t_lo), s_num - 1);
        std::nth_element(sample.begin(), sample.begin() + static_cast<std::ptrdiff_t>(r), sample.end());
        lo = sample[r];
    }
    if (t_hi < static_cast<double>(s_num)) {
        const auto r = static_cast<std::size_t>(t_hi);
        std::nth_element(sample.begin(), sample.begin() + static_cast<std::ptrdiff_t>(r), sample.end());
        hi = sample[r];
    }
    if (!(lo <= hi)) return false;

    const double width = std::max(0.0, std::min(t_hi, static_cast<double>(s_num)) - std::max(t_lo, 0.0));
    const double keep = 2.0 * width / static_cast<double>(s_total);  // generous share kept

    // The pass runs in independent parts (counts add exactly; the order of
    // the kept elements does not matter to selection).
    // Several parts per thread, claimed as threads come free: a thread slowed
    // down by other processes takes fewer.
    const std::size_t parts = std::max<std::size_t>(1, std::min(worker_count() * 8, n / kFilterGrain));
    std::vector<Kept> kept(parts);
    std::atomic<bool> overflow{false};
    parallel_for(parts, 1, [&](std::size_t pb, std::size_t pe) {
        for (std::size_t part = pb; part < pe; ++part) {
            const std::size_t begin = n / parts * part;
            const std::size_t end = part + 1 == parts ? n : n / parts * (part + 1);
            if (!filter_range(x + begin, end - begin, lo, hi, keep, kept[part])) overflow = true;
        }
    });
    if (overflow) return false;
    Counts c;
    std::size_t j = 0;
    for (const Kept& k_part : kept) {
        c.below += k_part.counts.below;
        c.eq_lo += k_part.counts.eq_lo;
        c.eq_hi += k_part.counts.eq_hi;
        c.nans += k_part.counts.nans;
        j += k_part.n;
    }
    Buffer<double> joined;
    double* b = kept[0].buf.data();
    if (parts > 1) {
        joined = Buffer<double>::uninit(std::max<std::size_t>(j, 1));
        std::size_t at = 0;
        for (const Kept& k_part : kept) {
            if (k_part.n) std::memcpy(joined.data() + at, k_part.buf.data(), k_part.n * sizeof(double));
            at += k_part.n;
        }
        b = joined.data();
    }
    const std::size_t below = c.below, eq_lo = c.eq_lo, nans = c.nans;
    std::size_t eq_hi = c.eq_hi;
    if (lo == hi) eq_hi = 0;
    const std::size_t nn = n - nans;

    // Sorted layout of the numbers: [below][eq_lo x lo][buf: j][eq_hi x hi][above].
    std::size_t placed = SIZE_MAX;  // buffer rank already put in place by nth_element
    Pair p{{kNaN, kNaN}, nn};
    const std::size_t want[2] = {k, k2};
    for (int w = 0; w < 2; ++w) {
        const std::size_t r = want[w];
        if (r >= nn) continue;
        if (w == 1 && k2 == k) {
            p.v[1] = p.v[0];
            continue;
        }
        if (r < below) return false;
        std::size_t rr = r - below;
        if (rr < eq_lo) {
            p.v[w] = lo;
            continue;
        }
        rr -= eq_lo;
        if (rr < j) {
            if (placed != SIZE_MAX && rr == placed + 1) {
                p.v[w] = *std::min_element(b + rr, b + j);
            } else {
                std::nth_element(b, b + rr, b + j);
                placed = rr;
                p.v[w] = b[rr];
            }
            continue;
        }
        rr -= j;
        if (rr < eq_hi) {
            p.v[w] = hi;
            continue;
        }
        return false;
    }
    out = p;
    return true;
}

// Raw values at ranks k and k2 (k2 == k or k + 1), any path.
Pair select_pair(const double* x, std::size_t n, std::size_t k, std::size_t k2) {
    Pair p;
    if (n >= kSampleMin && select_sampled(x, n, k, k2, p)) return p;
    return select_copy(x, n, k, k2);
}

// Linear interpolation between the order statistics around (n - 1) * q; each
// step a separate rounded operation.
struct Position {
    std::size_t lo, hi;
    double f;
};

Position position(std::size_t n, double q) noexcept {
    const double pos = static_cast<double>(n - 1) * q;
    const double fl = std::floor(pos);
    Position p;
    p.lo = std::min(static_cast<std::size_t>(fl), n - 1);
    p.hi = std::min(static_cast<std::size_t>(std::ceil(pos)), n - 1);
    p.f = pos - static_cast<double>(p.lo);
    return p;
}

double interpolate(const Position& p, double s_lo, double s_hi) noexcept {
    if (p.lo == p.hi) return s_lo;
    const double a = p.f * s_hi;
    const double b = (1.0 - p.f) * s_lo;
    return a + b;
}

}  // namespace

double median(const ArrayF64& a) {
    const std::size_t n = a.size();
    if (n == 0) return kNaN;
    const double* x = a.data.data();
    const std::size_t k = (n - 1) / 2;
    const std::size_t k2 = (n % 2) ? k : k + 1;
    const Pair p = select_pair(x, n, k, k2);
    Fixup fix(x, n, p.nn);
    const double lo = fix.at(k, p.v[0]);
    if (k2 == k) return lo;
    const double hi = fix.at(k2, p.v[1]);
    return (lo + hi) * 0.5;
}

double quantile(const ArrayF64& a, double q) {
    check_level(q);
    const std::size_t n = a.size();
    if (n == 0) return kNaN;
    const double* x = a.data.data();
    const Position pos = position(n, q);
    const Pair p = select_pair(x, n, pos.lo, pos.hi);
    Fixup fix(x, n, p.nn);
    const double lo = fix.at(pos.lo, p.v[0]);
    const double hi = pos.hi == pos.lo ? lo : fix.at(pos.hi, p.v[1]);
    return interpolate(pos, lo, hi);
}

ArrayF64 quantiles(const ArrayF64& a, const double* q, std::size_t m) {
    for (std::size_t i = 0; i < m; ++i) check_level(q[i]);
    const std::size_t n = a.size();
    auto out = Buffer<double>::uninit(m);
    if (n == 0 || m == 0) {  // nothing to select (and no level to read a NaN count from)
        for (std::size_t i = 0; i < m; ++i) out[i] = kNaN;
        return ArrayF64::make(Shape::d1(m), std::move(out));
    }
    const double* x = a.data.data();
    std::vector<Position> pos(m);
    for (std::size_t i = 0; i < m; ++i) pos[i] = position(n, q[i]);

    // A few levels: one selection pass each, the levels side by side.
    if (n >= kSampleMin && m <= kFewLevels) {
        std::vector<Pair> raw(m);
        std::atomic<bool> missed{false};
        parallel_for(m, std::max<std::size_t>(1, kFilterGrain / n), [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i)
                if (!select_sampled(x, n, pos[i].lo, pos[i].hi, raw[i])) missed = true;
        });
        if (!missed) {
            Fixup fix(x, n, raw[0].nn);
            for (std::size_t i = 0; i < m; ++i) {
                const double lo = fix.at(pos[i].lo, raw[i].v[0]);
                const double hi = pos[i].hi == pos[i].lo ? lo : fix.at(pos[i].hi, raw[i].v[1]);
                out[i] = interpolate(pos[i], lo, hi);
            }
            return ArrayF64::make(Shape::d1(m), std::move(out));
        }
    }

    // One copy, every needed rank placed by a multi-way selection.
    auto buf = Buffer<double>::uninit(n);
    const std::size_t nn = copy_numbers(x, n, buf.data());
    std::vector<std::size_t> ranks;
    ranks.reserve(2 * m);
    for (const Position& p : pos) {
        if (p.lo < nn) ranks.push_back(p.lo);
        if (p.hi < nn) ranks.push_back(p.hi);
    }
    std::sort(ranks.begin(), ranks.end());
    ranks.erase(std::unique(ranks.begin(), ranks.end()), ranks.end());
    if (ranks.size() > nn / 8) {
        std::sort(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(nn), CheckedLess{});
    } else {
        multiselect(buf.data(), 0, nn, ranks.data(), ranks.size());
    }
    Fixup fix(x, n, nn);
    auto value = [&](std::size_t k) { return fix.at(k, k < nn ? buf[k] : kNaN); };
    for (std::size_t i = 0; i < m; ++i) {
        const double lo = value(pos[i].lo);
        const double hi = pos[i].hi == pos[i].lo ? lo : value(pos[i].hi);
        out[i] = interpolate(pos[i], lo, hi);
    }
    return ArrayF64::make(Shape::d1(m), std::move(out));
}

}  // namespace lumi::stats
