// Generator: xoshiro256** pseudo-random numbers, seeded by SplitMix64.
//
// The state is four 64-bit words and nothing else.  Every sampler consumes the
// stream in a fixed order and writes sample i to flat row-major position i,
// so a seeded generator reproduces the same arrays on every run.  A sampler
// whose parameters are refused, or that is asked for no samples, consumes
// nothing.
#pragma once

#include <cstdint>

#include "array/ndarray.hpp"
#include "array/shape.hpp"

namespace lumi {

class Generator {
public:
    // Seeded from the first four SplitMix64 outputs started at seed.
    static Generator from_seed(std::uint64_t seed) noexcept;

    // Seeded from the system clock: nanoseconds since the UNIX epoch
    // (modulo 2^64).  Throws Error("Time went backwards") if the clock reads
    // before the epoch.
    static Generator from_clock();

    // One xoshiro256** step.
    std::uint64_t next_u64() noexcept {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }

    // A multiple of 2^-53 in [0, 1) from the top 53 bits of one word.
    double next_f64() noexcept { return to_unit(next_u64()); }

    static double to_unit(std::uint64_t w) noexcept {
        return static_cast<double>(w >> 11) * 0x1.0p-53;
    }

    // (next_f64 * (high - low)) + low per sample.  Words: one per sample.
    // Throws Error("low must be less than high") unless low < high.
    NdArray<double> uniform(double low, double high, const Shape& shape);

    // low + (next_u64 mod (high - low)) per sample, full signed 64-bit range,
    // no rejection (ranges that do not divide 2^64 keep the remainder's slight
    // bias).  Words: one per sample.  Throws Error("low must be less than
    // high") if low >= high.
    NdArray<std::int64_t> randint(std::int64_t low, std::int64_t high, const Shape& shape);
    // The same stream and values, written as doubles (rounded to nearest
    // beyond 2^53).
    NdArray<double> randint_f64(std::int64_t low, std::int64_t high, const Shape& shape);

    // Box-Muller standard normal deviates; nothing cached between calls.
    // Words: per pair u1 then u2, each redrawn while it is 0.0 (sample 2k =
    // sin(theta) * R, 2k+1 = R * cos(theta)); an odd last sample takes u1
    // (redrawn while 0.0) and one u2 and produces only the sine value.
    NdArray<double> standard_normal(const Shape& shape);
    // (z * sigma) + mu over standard_normal(shape); any mu and sigma.
    NdArray<double> normal(double mu, double sigma, const Shape& shape);
    // exp((z * sigma) + mu) over standard_normal(shape); any mu and sigma.
    NdArray<double> lognormal(double mu, double sigma, const Shape& shape);
    // sample_gamma_single(shape_param) * scale per sample.  Throws
    // "shape parameter must be positive", then "scale must be positive".
    NdArray<double> gamma(double shape_param, double scale, const Shape& shape);
    // x / (y + x) with x = sample_gamma_single(alpha) drawn before
    // y = sample_gamma_single(beta_param).  Throws "alpha must be positive",
    // then "beta must be positive".
    NdArray<double> beta(double alpha, double beta_param, const Shape& shape);

    // One gamma variate of scale 1 for a > 0 (the caller checks a), by
    // Marsaglia and Tsang.  Words: for a >= 1, per iteration u1 and u2 (two
    // words when v <= 0 rejects at once) then u for the acceptance tests
    // (three words); for a < 1, those of sample_gamma_single(a + 1) and then
    // one u for the power boost u^(1/a).
    double sample_gamma_single(double a) noexcept;

    // The four state words, for saving a stream (state.cpp).
    void save_state(std::uint64_t out[4]) const noexcept;
    // A generator continuing a saved stream.  Throws Error for the all-zero
    // state, which xoshiro256** never leaves (every output would be 0).
    static Generator from_state(const std::uint64_t words[4]);

    bool operator==(const Generator& o) const noexcept {
        return s_[0] == o.s_[0] && s_[1] == o.s_[1] && s_[2] == o.s_[2] && s_[3] == o.s_[3];
    }

private:
    Generator() noexcept = default;

    static constexpr std::uint64_t rotl(std::uint64_t x, int k) noexcept {
        return (x << k) | (x >> (64 - k));
    }

    std::uint64_t s_[4];
};

}  // namespace lumi
