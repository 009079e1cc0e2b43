// Kernel sets of the array sin and cos, one per instruction-set level (see
// base/cpu.hpp).  vtrig.cpp holds the baseline set (the scalar library calls)
// and decides which set is used; the vector sets are in vtrig_avx2.cpp and
// vtrig_avx512.cpp.
#pragma once

#include <cstddef>

namespace lumi::vtrig {

struct VtrigKernels {
    // out[i] = sin(in[i]) / cos(in[i]); `in` may equal `out`
    void (*sin_n)(const double* in, double* out, std::size_t n) noexcept;
    void (*cos_n)(const double* in, double* out, std::size_t n) noexcept;
    // s[i] = sin(in[i]), c[i] = cos(in[i]); `in` may equal `s` or `c`
    void (*sincos_n)(const double* in, double* s, double* c, std::size_t n) noexcept;
};

extern const VtrigKernels kVtrigBaseline, kVtrigAvx2, kVtrigAvx512;

}  // namespace lumi::vtrig
