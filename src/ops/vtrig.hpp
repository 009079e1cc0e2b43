// sin and cos over arrays, with exactly the bits of the platform's scalar
// sin and cos.
//
// On glibc with an AVX2+FMA or AVX-512 CPU the arrays go through vector
// kernels that repeat glibc's table-driven algorithm operation for operation
// (vtrig_kernels.inc); lanes outside its fast range (|x| below 2^-26 or from
// 105414350 on, infinities, NaN) call the library.  Before the kernels are
// first used they are compared with std::sin / std::cos on a fixed spread of
// inputs (every binade of the fast range, both sides of every path boundary,
// specials); on any difference (another C library, a future glibc) the whole
// process uses the scalar calls instead.  LUMIVANDER_ISA caps the kernels like
// every other kernel set, and LUMIVANDER_VMATH_SELFTEST=fail makes the
// comparison fail, as for exp and log (ops/vmath.hpp).
#pragma once

#include <cstddef>

namespace lumi::vtrig {

// out[i] = std::sin(in[i]) for i < n, bit for bit.  `in` and `out` may be the
// same array (not otherwise overlapping).
void sin_n(const double* in, double* out, std::size_t n) noexcept;

// out[i] = std::cos(in[i]) for i < n, bit for bit; same aliasing rule.
void cos_n(const double* in, double* out, std::size_t n) noexcept;

// s[i] = std::sin(in[i]) and c[i] = std::cos(in[i]) for i < n, bit for bit.
// `in` may be the same array as `s` or `c`; `s` and `c` are distinct.
void sincos_n(const double* in, double* s, double* c, std::size_t n) noexcept;

}  // namespace lumi::vtrig
