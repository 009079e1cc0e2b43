// pow over an array of bases with one exponent, with exactly the bits of the
// platform's scalar pow.
//
// On glibc with an AVX2+FMA or AVX-512 CPU the array goes through vector
// kernels that repeat glibc's table-driven algorithm (a logarithm with about
// 68 bits, times y, then an exponential of that sum) operation for operation
// (vpow_kernels.inc); lanes outside its fast range (bases that are not
// positive normal numbers, results that are nearly 1 or leave the normal
// range) and exponents outside 2^-65 <= |y| < 2^63 call the library.  The
// kernels are proven before first use, capped by LUMIVANDER_ISA and switched
// off by LUMIVANDER_VMATH_SELFTEST=fail exactly as the vector sin and cos are
// (ops/vtrig.hpp).
#pragma once

#include <cstddef>

namespace lumi::vpow {

// out[i] = std::pow(x[i], y) for i < n, bit for bit.  `x` and `out` may be the
// same array (not otherwise overlapping).
void pow_n(const double* x, double y, double* out, std::size_t n) noexcept;

}  // namespace lumi::vpow
