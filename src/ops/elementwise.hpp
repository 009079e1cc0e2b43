// The element functions applied through NdArray::map.  Negation, abs and sign
// are pure bit/compare operations; the transcendental ones come from the
// platform math library as it provides them.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace lumi::elem {

inline double neg(double x) noexcept {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) ^ (std::uint64_t{1} << 63));
}
inline double abs(double x) noexcept {
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) & ~(std::uint64_t{1} << 63));
}
inline double sqrt(double x) noexcept { return std::sqrt(x); }
inline double exp(double x) noexcept { return std::exp(x); }
inline double log(double x) noexcept { return std::log(x); }
inline double sin(double x) noexcept { return std::sin(x); }
inline double cos(double x) noexcept { return std::cos(x); }
inline double tan(double x) noexcept { return std::tan(x); }
inline double asin(double x) noexcept { return std::asin(x); }
inline double acos(double x) noexcept { return std::acos(x); }
inline double atan(double x) noexcept { return std::atan(x); }
inline double sign(double x) noexcept { return x > 0.0 ? 1.0 : (x < 0.0 ? -1.0 : 0.0); }

// Lower bound tested first, then upper: NaN elements stay NaN, a NaN bound
// disables that side, and min > max sends everything to one of the bounds.
struct Clip {
    double lo, hi;
    double operator()(double x) const noexcept { return lo > x ? lo : (x > hi ? hi : x); }
};

}  // namespace lumi::elem
