// What the vector kernels that reproduce the platform's math library share:
// reproducible probe inputs, and taking a kernel set only once it is proven
// to give the library's bits.  Included by the baseline files alone (never
// by a file compiled for a CPU level: see base/cpu.hpp).
#pragma once

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace lumi::vproof {

// A fixed, reproducible spread of inputs (SplitMix64 bits).
struct Bits {
    std::uint64_t s;
    std::uint64_t next() noexcept {
        std::uint64_t z = (s += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    double unit() noexcept { return static_cast<double>(next() >> 11) * 0x1p-53; }
};

// `base` and its neighbours up to `reach` units in the last place either side.
inline void around(std::vector<double>& v, double base, int reach) {
    const auto b = std::bit_cast<std::int64_t>(base);
    for (int k = -reach; k <= reach; ++k) v.push_back(std::bit_cast<double>(b + k));
}

// `chosen` (what cpu::select picked) if proven(chosen, sabotage) finds it
// equal to the library, else `baseline` (the library's own calls) for the
// whole process.  LUMIVANDER_VMATH_SELFTEST=fail makes the comparison fail
// (tests force the fallback so); a probe without memory also falls back.
template <class Set, class Proven>
const Set& proven_or_baseline(const Set& baseline, const Set& chosen, Proven&& proven) noexcept {
    if (&chosen == &baseline) return chosen;
    const char* st = std::getenv("LUMIVANDER_VMATH_SELFTEST");
    const bool sabotage = st != nullptr && std::strcmp(st, "fail") == 0;
    try {
        if (proven(chosen, sabotage)) return chosen;
    } catch (...) {  // no memory for the probe: stay with the library
    }
    return baseline;
}

}  // namespace lumi::vproof
