// Kernel sets of the array pow, one per instruction-set level (see
// base/cpu.hpp).  vpow.cpp holds the baseline set (the scalar library calls)
// and decides which set is used; the vector sets are in vpow_avx2.cpp and
// vpow_avx512.cpp.
#pragma once

#include <cstddef>

namespace lumi::vpow {

struct VpowKernels {
    // out[i] = pow(x[i], y); `x` may equal `out`
    void (*pow_n)(const double* x, double y, double* out, std::size_t n) noexcept;
};

extern const VpowKernels kVpowBaseline, kVpowAvx2, kVpowAvx512;

}  // namespace lumi::vpow
