// The Generator: seeding, the fill loops of the flat samplers and the
// Box-Muller, Marsaglia-Tsang and gamma-ratio distributions.  Every loop keeps
// the exact stream order and rounding steps documented in generator.hpp.
#include "random/generator.hpp"

#include <atomic>
#include <cfloat>
#include <cmath>
#include <ctime>
#include <mutex>

#include "base/cancel.hpp"
#include "base/error.hpp"
#include "base/messages.hpp"
#include "base/parallel.hpp"
#include "ops/vmath.hpp"
#include "ops/vpow.hpp"
#include "ops/vtrig.hpp"

namespace lumi {

namespace {

constexpr double kTwoPi = 6.283185307179586;
// Samples between two cancellation checks of the serial loops.
constexpr std::size_t kCheckEvery = std::size_t{1} << 16;
constexpr double kThird = 0.3333333333333333;
constexpr double kSqueeze = 0.0331;

std::uint64_t splitmix64_mix(std::uint64_t z) noexcept {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

}  // namespace

Generator Generator::from_seed(std::uint64_t seed) noexcept {
    Generator g;
    for (std::uint64_t k = 1; k <= 4; ++k) g.s_[k - 1] = splitmix64_mix(seed + k * 0x9E3779B97F4A7C15ULL);
    return g;
}

Generator Generator::from_clock() {
    std::timespec ts{};
    if (std::timespec_get(&ts, TIME_UTC) != TIME_UTC) throw Error(msg::kClockBackwards);
    if (ts.tv_sec < 0 || ts.tv_nsec < 0) throw Error(msg::kClockBackwards);
    const std::uint64_t nanos =
        static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<std::uint64_t>(ts.tv_nsec);
    return from_seed(nanos);
}

// The fill loops work on a local copy of the state so that it lives in
// registers, and store it back once at the end.

NdArray<double> Generator::uniform(double low, double high, const Shape& shape) {
    if (!(low < high)) throw Error(msg::kLowNotBelowHigh);
    auto out = NdArray<double>::uninit(shape);
    const double width = high - low;
    Generator g = *this;
    double* dst = out.data.data();
    const std::size_t n = out.size();
    if (std::isinf(width) && std::isfinite(low) && std::isfinite(high)) {
        // Finite bounds more than the largest double apart: the width
        // overflows, and u * width + low would give infinities for a finite
        // range.  Interpolate between the bounds instead (1 - u is exact for
        // a multiple of 2^-53 in [0, 1), and the two terms have opposite
        // signs, so nothing overflows).
        for (std::size_t i = 0; i < n; ++i) {
            if (i % kCheckEvery == 0) check_cancel();
            const double u = g.next_f64();
            dst[i] = (1.0 - u) * low + u * high;
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            if (i % kCheckEvery == 0) check_cancel();
            dst[i] = g.next_f64() * width + low;
        }
    }
    *this = g;
    return out;
}

namespace {

// The remainder by a divisor fixed for a whole fill, through a multiplication
// by a precomputed reciprocal instead of a division (Granlund and Montgomery's
// round-up method): exact for every 64-bit dividend.  Powers of two reduce to
// a mask.
class FixedMod {
public:
    explicit FixedMod(std::uint64_t d) noexcept : d_(d) {
        if ((d & (d - 1)) == 0) {
            pow2_ = true;
            return;
        }
        // l = ceil(log2 d) >= 2; magic = floor(2^64 (2^l - d) / d) + 1.
        const unsigned l = 64u - static_cast<unsigned>(__builtin_clzll(d));
        const std::uint64_t excess = (l == 64 ? 0 : (std::uint64_t{1} << l)) - d;
        magic_ = static_cast<std::uint64_t>((static_cast<unsigned __int128>(excess) << 64) / d) + 1;
        shift_ = l - 1;
    }

    bool pow2() const noexcept { return pow2_; }
    std::uint64_t mask(std::uint64_t n) const noexcept { return n & (d_ - 1); }
    std::uint64_t rem(std::uint64_t n) const noexcept {
        const auto hi = static_cast<std::uint64_t>((static_cast<unsigned __int128>(magic_) * n) >> 64);
        const std::uint64_t q = (((n - hi) >> 1) + hi) >> shift_;
        return n - q * d_;
    }

private:
    std::uint64_t d_;
    std::uint64_t magic_ = 0;
    unsigned shift_ = 0;
    bool pow2_ = false;
};

template <class T, class Reduce>
void randint_loop(Generator& g, T* dst, std::size_t n, std::uint64_t base, Reduce reduce) {
    for (std::size_t i = 0; i < n; ++i) {
        if (i % kCheckEvery == 0) check_cancel();
        // Two's-complement wrap of the unsigned sum gives the signed value.
        dst[i] = static_cast<T>(static_cast<std::int64_t>(base + reduce(g.next_u64())));
    }
}

template <class T>
NdArray<T> randint_fill(Generator& self, std::int64_t low, std::int64_t high, const Shape& shape) {
    if (low >= high) throw Error(msg::kLowNotBelowHigh);
    auto out = NdArray<T>::uninit(shape);
    const std::uint64_t range = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
    const std::uint64_t base = static_cast<std::uint64_t>(low);
    const FixedMod mod(range);
    Generator g = self;
    if (mod.pow2()) {
        randint_loop(g, out.data.data(), out.size(), base, [&](std::uint64_t w) { return mod.mask(w); });
    } else {
        randint_loop(g, out.data.data(), out.size(), base, [&](std::uint64_t w) { return mod.rem(w); });
    }
    self = g;
    return out;
}

}  // namespace

NdArray<std::int64_t> Generator::randint(std::int64_t low, std::int64_t high, const Shape& shape) {
    return randint_fill<std::int64_t>(*this, low, high, shape);
}

NdArray<double> Generator::randint_f64(std::int64_t low, std::int64_t high, const Shape& shape) {
    return randint_fill<double>(*this, low, high, shape);
}

// Standard normal deviates are produced block by block: the uniform draws of
// a block are taken in stream order (zero values redrawn) and parked in the
// output, then its pairs are transformed in place while they are in cache.
// The transform has no dependence between pairs, so on the worker pool each
// thread claims the next block, draws (under a lock, in block order) every
// block up to it that nobody has drawn yet, and transforms it: the stream is
// consumed exactly as by one thread, and every pair gets the same
// operations whichever thread runs it.
namespace {

// u1 then u2 for each pair in [first, last), both redrawn while zero, parked
// in the pair's two slots.
void draw_pairs(Generator& self, double* dst, std::size_t first, std::size_t last) {
    Generator g = self;
    for (std::size_t k = first; k < last; ++k) {
        std::uint64_t w1, w2;
        do w1 = g.next_u64() >> 11; while (w1 == 0);
        do w2 = g.next_u64() >> 11; while (w2 == 0);
        dst[2 * k] = static_cast<double>(w1) * 0x1.0p-53;
        dst[2 * k + 1] = static_cast<double>(w2) * 0x1.0p-53;
    }
    self = g;
}

// Pairs whose u1 logarithms and u2 sines and cosines are taken in one array
// call each.
constexpr std::size_t kLogBatch = 256;

// Transforms pairs [first, last) of parked uniforms into deviates, then maps
// each deviate through f, and with Exp, through exp after that (as one array
// call per batch: the same bits as exp of each value).
template <bool Exp, class F>
void transform_pairs(double* dst, std::size_t first, std::size_t last, F f) {
    alignas(64) double lg[kLogBatch];
    alignas(64) double sn[kLogBatch];
    alignas(64) double cs[kLogBatch];
    for (std::size_t b = first; b < last; b += kLogBatch) {
        const std::size_t m = last - b < kLogBatch ? last - b : kLogBatch;
        for (std::size_t j = 0; j < m; ++j) {
            lg[j] = dst[2 * (b + j)];
            sn[j] = dst[2 * (b + j) + 1] * kTwoPi;  // theta
        }
        vmath::log_n(lg, lg, m);
        vtrig::sincos_n(sn, sn, cs, m);
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t k = b + j;
            const double r = std::sqrt(lg[j] * -2.0);
            dst[2 * k] = f(sn[j] * r);
            dst[2 * k + 1] = f(r * cs[j]);
        }
        if constexpr (Exp) vmath::exp_n(dst + 2 * b, dst + 2 * b, 2 * m);
    }
}

// The odd last deviate: u1 (redrawn while zero) and one u2 that is not
// redrawn; only the sine value is produced.
double odd_deviate(Generator& g) {
    std::uint64_t w1;
    do w1 = g.next_u64() >> 11; while (w1 == 0);
    const double u1 = static_cast<double>(w1) * 0x1.0p-53;
    const double u2 = g.next_f64();
    return std::sqrt(std::log(u1) * -2.0) * std::sin(u2 * kTwoPi);
}

// A pair costs a log, a square root, a sine and a cosine (tens of
// nanoseconds): a few thousand of them cover waking a pool thread.
constexpr std::size_t kNormalPairGrain = 4096;
// Pairs per draw-then-transform block of the serial path (16 KiB).
constexpr std::size_t kNormalBlock = 1024;

// Samples f(z) of standard normal deviates z, or exp(f(z)) with Exp.
// The draws advance a copy of the generator, stored back once the whole
// array is filled: an interrupted call leaves the generator as it was.
template <bool Exp = false, class F>
NdArray<double> normal_fill(Generator& self, const Shape& shape, F f) {
    auto out = NdArray<double>::uninit(shape);
    Generator g = self;
    const std::size_t n = out.size();
    const std::size_t pairs = n / 2;
    const std::size_t nblocks = (pairs + kNormalBlock - 1) / kNormalBlock;
    double* dst = out.data.data();
    auto block_end = [&](std::size_t b) { return pairs - b * kNormalBlock < kNormalBlock ? pairs : (b + 1) * kNormalBlock; };
    if (splits(pairs, kNormalPairGrain)) {
        std::mutex mu;
        std::atomic<std::size_t> next{0};   // next block to claim
        std::atomic<std::size_t> drawn{0};  // blocks [0, drawn) hold their uniforms
        auto run = [&] {
            for (;;) {
                check_cancel();
                const std::size_t b = next.fetch_add(1, std::memory_order_relaxed);
                if (b >= nblocks) return;
                if (drawn.load(std::memory_order_acquire) <= b) {
                    std::lock_guard<std::mutex> lock(mu);
                    std::size_t k = drawn.load(std::memory_order_relaxed);
                    for (; k <= b; ++k) draw_pairs(g, dst, k * kNormalBlock, block_end(k));
                    if (k > drawn.load(std::memory_order_relaxed)) drawn.store(k, std::memory_order_release);
                }
                transform_pairs<Exp>(dst, b * kNormalBlock, block_end(b), f);
            }
        };
        parallel_for(worker_count(), 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t r = b; r < e; ++r) run();
        });
    } else {
        for (std::size_t b = 0; b < nblocks; ++b) {
            check_cancel();
            draw_pairs(g, dst, b * kNormalBlock, block_end(b));
            transform_pairs<Exp>(dst, b * kNormalBlock, block_end(b), f);
        }
    }
    if (n % 2 == 1) {
        const double v = f(odd_deviate(g));
        dst[n - 1] = Exp ? std::exp(v) : v;
    }
    self = g;
    return out;
}

}  // namespace

NdArray<double> Generator::standard_normal(const Shape& shape) {
    return normal_fill(*this, shape, [](double z) { return z; });
}

NdArray<double> Generator::normal(double mu, double sigma, const Shape& shape) {
    return normal_fill(*this, shape, [mu, sigma](double z) { return z * sigma + mu; });
}

NdArray<double> Generator::lognormal(double mu, double sigma, const Shape& shape) {
    return normal_fill<true>(*this, shape, [mu, sigma](double z) { return z * sigma + mu; });
}

namespace {

// The stream's uniforms one at a time, logs and cosines by the library.
struct DirectUniforms {
    Generator& g;
    double last = 0.0;
    double next() noexcept { return last = g.next_f64(); }
    double log_u1() const noexcept { return std::log(last); }
    double cos_u2() const noexcept { return std::cos(last * kTwoPi); }
};

// The stream's uniforms drawn ahead a block at a time, for the gamma loop.
// Its attempts take three uniforms (u1, u2, u), or two when v <= 0, which is
// rare, and most accept; with the power boost each variate then takes one
// more.  So the uniforms that will be u1s are, from the current attempt on,
// mostly every third one (every fourth with the boost), and their logs, and the
// cosines of 2 pi u2 for the uniforms after them, are taken in one array call
// each (vmath::log_n, vtrig::cos_n: the library's bits).  When a u1 turns up
// elsewhere (after an attempt of another length) both are retaken from it; a u2
// drawn in the next block gets its cosine from the library.  The values
// read, and so every result, are those of drawing one by one; finish()
// leaves the generator just after the last uniform read (where it started
// when nothing was read).
template <std::size_t Stride>  // uniforms from one u1 to the next: 3, or 4 with the boost
class UniformsAhead {
public:
    explicit UniformsAhead(Generator& g) noexcept : g_(g), start_(g) {}

    double next() noexcept {
        if (pos_ == kAhead) refill();
        return u_[pos_++];
    }
    double log_u1() noexcept {
        const std::size_t p = pos_ - 1;
        if (p < from_ || (p - from_) % Stride != 0) take_logs(p);
        return lg_[(p - from_) / Stride];
    }
    // cos(u2 * 2 pi) of the uniform just taken, read right after the u1 whose
    // log was taken
    double cos_u2() const noexcept {
        const std::size_t q = pos_ - 1;
        if (q == 0) return std::cos(u_[0] * kTwoPi);  // u1 ended the previous block
        return cs_[(q - 1 - from_) / Stride];
    }
    // The generator where one-by-one drawing would have left it.
    void finish() noexcept {
        if (!drawn_) return;
        g_ = start_;
        for (std::size_t k = 0; k < pos_; ++k) g_.next_u64();
    }

private:
    static constexpr std::size_t kAhead = 3 * 128;  // a multiple of every stride

    void refill() noexcept {
        drawn_ = true;
        start_ = g_;
        for (std::size_t k = 0; k < kAhead; ++k) u_[k] = g_.next_f64();
        pos_ = 0;
        from_ = kAhead;  // no logs yet
    }
    // logs of u_[p], u_[p + stride], ... to the end of the block, and the
    // cosines of 2 pi u_[p + 1], 2 pi u_[p + 1 + stride], ...
    void take_logs(std::size_t p) noexcept {
        alignas(64) double x[kAhead / 3 + 1];
        std::size_t m = 0;
        for (std::size_t k = p; k < kAhead; k += Stride) x[m++] = u_[k];
        vmath::log_n(x, lg_, m);
        m = 0;
        for (std::size_t k = p + 1; k < kAhead; k += Stride) x[m++] = u_[k] * kTwoPi;
        vtrig::cos_n(x, cs_, m);
        from_ = p;
    }

    Generator& g_;
    Generator start_;  // the generator before u_[0]
    alignas(64) double u_[kAhead];
    alignas(64) double lg_[kAhead / 3 + 1];
    alignas(64) double cs_[kAhead / 3 + 1];
    std::size_t pos_ = kAhead;
    std::size_t from_ = kAhead;
    bool drawn_ = false;  // a block was drawn
};

// sample_gamma_single with its per-parameter constants worked out once per
// fill: d and h of the Marsaglia-Tsang loop (for a + 1 when a < 1) and 1 / a
// for the power boost.  The arithmetic is the same, so are the bits.
class GammaSampler {
public:
    explicit GammaSampler(double a) noexcept
        : boost_(a < 1.0), inv_a_(1.0 / a), d_((boost_ ? a + 1.0 : a) + (-kThird)), h_(1.0 / std::sqrt(9.0 * d_)) {}

    double operator()(Generator& g) const noexcept {
        if (boost_) {
            const double x = core(g);
            const double u = g.next_f64();
            return std::pow(u, inv_a_) * x;
        }
        return core(g);
    }

    // The variate before the boost and the boost uniform, for callers that
    // also need them (see draw_gamma).
    bool boosted() const noexcept { return boost_; }
    double inv_a() const noexcept { return inv_a_; }
    double core(Generator& g) const noexcept {
        DirectUniforms src{g};
        return core(src);
    }
    // The loop over any source of the stream's uniforms: next() gives the
    // next one, log_u1() the log of the one just taken as u1, cos_u2() the
    // cosine of 2 pi times the one just taken as u2.
    template <class Src>
    double core(Src& src) const noexcept {
        for (;;) {
            src.next();  // u1
            const double lu1 = src.log_u1();
            src.next();  // u2
            const double z = src.cos_u2() * std::sqrt(lu1 * -2.0);
            double v = h_ * z + 1.0;
            if (!(v > 0.0)) continue;
            v = (v * v) * v;
            const double u = src.next();
            if ((((z * -kSqueeze) * z) * z) * z + 1.0 > u) return d_ * v;
            if ((std::log(v) + (1.0 - v)) * d_ + (z * 0.5) * z > std::log(u)) return d_ * v;
        }
    }

private:
    bool boost_;
    double inv_a_;
    double d_;
    double h_;
};

}  // namespace

double Generator::sample_gamma_single(double a) noexcept { return GammaSampler(a)(*this); }

NdArray<double> Generator::gamma(double shape_param, double scale, const Shape& shape) {
    if (!(shape_param > 0.0)) throw Error(msg::kShapeParamNotPositive);
    if (!(scale > 0.0)) throw Error(msg::kScaleNotPositive);
    auto out = NdArray<double>::uninit(shape);
    Generator g = *this;
    double* dst = out.data.data();
    const std::size_t n = out.size();
    const GammaSampler sample(shape_param);
    if (sample.boosted()) {
        // the variates and boost uniforms of a batch first, then the powers
        constexpr std::size_t kPowBatch = 256;
        alignas(64) double xs[kPowBatch];
        alignas(64) double us[kPowBatch];
        UniformsAhead<4> src(g);
        for (std::size_t b = 0; b < n; b += kPowBatch) {
            if (b % kCheckEvery == 0) check_cancel();
            const std::size_t m = n - b < kPowBatch ? n - b : kPowBatch;
            for (std::size_t j = 0; j < m; ++j) {
                xs[j] = sample.core(src);
                us[j] = src.next();
            }
            vpow::pow_n(us, sample.inv_a(), us, m);
            for (std::size_t j = 0; j < m; ++j) dst[b + j] = (us[j] * xs[j]) * scale;
        }
        src.finish();
    } else {
        UniformsAhead<3> src(g);
        for (std::size_t i = 0; i < n; ++i) {
            if (i % kCheckEvery == 0) check_cancel();
            dst[i] = sample.core(src) * scale;
        }
        src.finish();
    }
    *this = g;
    return out;
}

namespace {

// One gamma variate with, for a < 1, the two factors it is the product of
// (the variate for a + 1 and the power-boost uniform), drawn exactly as
// sample_gamma_single draws them.
struct GammaDraw {
    double value;
    double g = 0.0;
    double u = 0.0;
};

GammaDraw draw_gamma(Generator& gen, const GammaSampler& sample) noexcept {
    if (sample.boosted()) {
        GammaDraw d{0.0};
        d.g = sample.core(gen);
        d.u = gen.next_f64();
        d.value = std::pow(d.u, sample.inv_a()) * d.g;
        return d;
    }
    return GammaDraw{sample.core(gen)};
}

double log_of(const GammaDraw& d, double a) noexcept {
    return a < 1.0 ? std::log(d.g) + std::log(d.u) / a : std::log(d.value);
}

// x / (y + x) where that sum leaves the normal range.  With small shape
// parameters both variates can underflow (pow(u, 1/a) for a = 0.001 is 0 for
// half of all u), and 0 / 0 would give NaN for a perfectly valid request;
// the ratio is then taken from the logarithms of the factors.  With huge
// parameters the sum can overflow and give 0; halving both terms first
// avoids that.  Anything else (infinite variates) keeps the plain formula.
double beta_ratio_extreme(const GammaDraw& x, const GammaDraw& y, double alpha, double beta) noexcept {
    const double sum = y.value + x.value;
    if (std::isinf(sum)) {
        if (std::isfinite(x.value) && std::isfinite(y.value)) {
            return (x.value * 0.5) / ((y.value * 0.5) + (x.value * 0.5));
        }
        return x.value / sum;
    }
    const double t = log_of(y, beta) - log_of(x, alpha);  // log(y / x)
    if (std::isnan(t)) return x.value / sum;
    if (t > 0.0) {
        const double e = std::exp(-t);
        return e / (1.0 + e);
    }
    return 1.0 / (1.0 + std::exp(t));
}

}  // namespace

NdArray<double> Generator::beta(double alpha, double beta_param, const Shape& shape) {
    if (!(alpha > 0.0)) throw Error(msg::kAlphaNotPositive);
    if (!(beta_param > 0.0)) throw Error(msg::kBetaNotPositive);
    auto out = NdArray<double>::uninit(shape);
    Generator g = *this;
    double* dst = out.data.data();
    const std::size_t n = out.size();
    const GammaSampler sample_x(alpha), sample_y(beta_param);
    auto put = [&](std::size_t i, const GammaDraw& x, const GammaDraw& y) {
        const double sum = y.value + x.value;
        if (sum >= DBL_MIN && sum <= DBL_MAX) [[likely]] {
            dst[i] = x.value / sum;
        } else {
            dst[i] = beta_ratio_extreme(x, y, alpha, beta_param);
        }
    };
    if (!sample_x.boosted() && !sample_y.boosted()) {
        // both loops read the stream through one read-ahead block, x's first
        UniformsAhead<3> src(g);
        for (std::size_t i = 0; i < n; ++i) {
            if (i % kCheckEvery == 0) check_cancel();
            const GammaDraw x{sample_x.core(src)};
            const GammaDraw y{sample_y.core(src)};
            put(i, x, y);
        }
        src.finish();
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            if (i % kCheckEvery == 0) check_cancel();
            const GammaDraw x = draw_gamma(g, sample_x);
            const GammaDraw y = draw_gamma(g, sample_y);
            put(i, x, y);
        }
    }
    *this = g;
    return out;
}

}  // namespace lumi
