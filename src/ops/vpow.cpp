// Choice between the vector pow kernels and the scalar library calls, and the
// first-use comparison that decides it.
#include "ops/vpow.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "base/cpu.hpp"
#include "ops/vproof.hpp"
#include "ops/vpow_kernels.hpp"

namespace lumi::vpow {

namespace {

void pow_scalar(const double* x, double y, double* out, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::pow(x[i], y);
}

}  // namespace

constinit const VpowKernels kVpowBaseline{pow_scalar};

namespace {

using vproof::Bits;

// Bases: every binade (and a few specials), uniform draws, values near 1 and
// the table's subinterval edges; each with exponents from the power boost
// (1/a for shapes a < 1) and ordinary ones of both signs.
bool same_bits(const VpowKernels& k, bool sabotage) {
    std::vector<double> x;
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (double v : {0.0, -0.0, 1.0, -1.0, -2.5, inf, -inf, std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
                     std::numeric_limits<double>::max()})
        x.push_back(v);
    Bits r{0x706f775f70726f62ull};
    for (int e = -1022; e <= 1023; e += 3) x.push_back(std::ldexp(1.0 + r.unit(), e));
    for (int j = 0; j < 512; ++j) x.push_back(r.unit());
    for (int j = 0; j < 256; ++j) x.push_back(1.0 + (r.unit() - 0.5) * std::ldexp(1.0, -(j % 40)));
    for (int j = 0; j < 128; ++j) {  // edges of the table's subintervals
        const auto b = std::bit_cast<std::int64_t>(0x1.69555p-1) + (std::int64_t{j} << 45);
        for (int d = -1; d <= 1; ++d) x.push_back(std::bit_cast<double>(b + d));
    }
    std::vector<double> out(x.size());
    for (const double y : {2.0, 1.0 / 0.3, 1.0 / 0.9, 100.0, 1.0 / 0.001, 1e5, 0.5, -1.5, 3.7, -0.25, 1.0}) {
        for (std::size_t len : {x.size(), x.size() - 3}) {  // the remainder path too
            k.pow_n(x.data(), y, out.data(), len);
            for (std::size_t i = 0; i < len; ++i) {
                std::uint64_t want = std::bit_cast<std::uint64_t>(std::pow(x[i], y));
                if (sabotage && i == 0) want ^= 1;
                if (std::bit_cast<std::uint64_t>(out[i]) != want) return false;
            }
        }
    }
    return true;
}

const VpowKernels& choose() noexcept {
    return vproof::proven_or_baseline(kVpowBaseline,
                                      cpu::select(kVpowBaseline, LUMI_X86_KERNELS_OF(kVpowAvx2),
                                                  LUMI_X86_KERNELS_OF(kVpowAvx512)),
                                      same_bits);
}

const VpowKernels& kernels() noexcept {
    static const VpowKernels& k = choose();
    return k;
}

}  // namespace

void pow_n(const double* x, double y, double* out, std::size_t n) noexcept {
    // exponents the library treats apart (zero, tiny, huge, infinite, NaN)
    const double ay = std::fabs(y);
    if (!(ay >= 0x1p-65 && ay < 0x1p63)) {
        pow_scalar(x, y, out, n);
        return;
    }
    kernels().pow_n(x, y, out, n);
}

}  // namespace lumi::vpow
