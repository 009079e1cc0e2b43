// Choice between the vector sin / cos kernels and the scalar library calls,
// and the first-use comparison that decides it.
#include "ops/vtrig.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "base/cpu.hpp"
#include "ops/vproof.hpp"
#include "ops/vtrig_kernels.hpp"

namespace lumi::vtrig {

namespace {

void sin_scalar(const double* in, double* out, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::sin(in[i]);
}
void cos_scalar(const double* in, double* out, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::cos(in[i]);
}
void sincos_scalar(const double* in, double* s, double* c, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const double x = in[i];
        s[i] = std::sin(x);
        c[i] = std::cos(x);
    }
}

}  // namespace

constinit const VtrigKernels kVtrigBaseline{sin_scalar, cos_scalar, sincos_scalar};

namespace {

using vproof::Bits;

using vproof::around;

std::vector<double> probe() {
    std::vector<double> v;
    constexpr double inf = std::numeric_limits<double>::infinity();
    for (double x : {0.0, -0.0, 1.0, -1.0, inf, -inf, std::numeric_limits<double>::quiet_NaN(),
                     std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
                     std::numeric_limits<double>::max(), -std::numeric_limits<double>::max()})
        v.push_back(x);
    Bits r{0x7472696770726f62ull};
    // every binade of the fast range and a little beyond, both signs
    for (int e = -30; e <= 28; ++e)
        for (int k = 0; k < 48; ++k) v.push_back(std::ldexp(1.0 + r.unit(), e) * (k % 2 ? -1.0 : 1.0));
    // the samplers' arguments, 2 pi u, and a few periods either side
    for (int k = 0; k < 1024; ++k) v.push_back(6.283185307179586 * r.unit());
    for (int k = 0; k < 512; ++k) v.push_back(40.0 * r.unit() - 20.0);
    // both sides of the path bounds, of the Taylor bound of the reduced
    // argument, of pi/2 and of the multiples of pi/4 (quadrant changes)
    for (double b : {0x1p-27, 0x1p-26, 0x1.b6p-1, 0x1.368fdp1, 0x1.921fbp26, 0.126, 1.5707963267948966})
        for (double s : {1.0, -1.0}) around(v, b * s, 6);
    for (int k = 1; k <= 16; ++k) around(v, k * 0.7853981633974483, 3);
    // the table points k/128 and halfway between them, and pi/2 minus them
    for (int k = 0; k < 220; ++k) {
        around(v, k / 256.0, 1);
        around(v, 1.5707963267948966 - k / 256.0, 1);
    }
    return v;
}

bool same_bits(const VtrigKernels& k, bool sabotage) {
    const std::vector<double> in = probe();
    // Uneven lengths exercise the remainder path as well.
    for (std::size_t len : {in.size(), in.size() - 3}) {
        std::vector<double> s(len), c(len), s2(len), c2(len);
        k.sin_n(in.data(), s.data(), len);
        k.cos_n(in.data(), c.data(), len);
        k.sincos_n(in.data(), s2.data(), c2.data(), len);
        for (std::size_t i = 0; i < len; ++i) {
            std::uint64_t ws = std::bit_cast<std::uint64_t>(std::sin(in[i]));
            const std::uint64_t wc = std::bit_cast<std::uint64_t>(std::cos(in[i]));
            if (sabotage && i == 0) ws ^= 1;
            if (std::bit_cast<std::uint64_t>(s[i]) != ws || std::bit_cast<std::uint64_t>(s2[i]) != ws ||
                std::bit_cast<std::uint64_t>(c[i]) != wc || std::bit_cast<std::uint64_t>(c2[i]) != wc)
                return false;
        }
    }
    return true;
}

const VtrigKernels& choose() noexcept {
    return vproof::proven_or_baseline(kVtrigBaseline,
                                      cpu::select(kVtrigBaseline, LUMI_X86_KERNELS_OF(kVtrigAvx2),
                                                  LUMI_X86_KERNELS_OF(kVtrigAvx512)),
                                      same_bits);
}

const VtrigKernels& kernels() noexcept {
    static const VtrigKernels& k = choose();
    return k;
}

}  // namespace

void sin_n(const double* in, double* out, std::size_t n) noexcept { kernels().sin_n(in, out, n); }
void cos_n(const double* in, double* out, std::size_t n) noexcept { kernels().cos_n(in, out, n); }
void sincos_n(const double* in, double* s, double* c, std::size_t n) noexcept { kernels().sincos_n(in, s, c, n); }

}  // namespace lumi::vtrig
