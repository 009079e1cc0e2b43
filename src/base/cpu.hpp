// CPU detection and the choice of kernel sets.
//
// CPU-specific code is data: a subsystem declares a kernel set (a struct of
// function pointers, plus parameters such as tile sizes) and defines one
// instance per instruction-set level, each in its own translation unit
// compiled with that level's flags.  The loops around the kernels are written
// once, in ordinary code, and get their set from cpu::select.
//
// Levels: baseline (the compiler's default target); avx2 (AVX2, FMA, BMI1,
// BMI2, POPCNT); avx512 (avx2 plus AVX-512 F, DQ, BW, VL).  A level counts only
// if the operating system also saves its registers (XGETBV).  The environment
// variable LUMIVANDER_ISA ("baseline", "avx2", "avx512", any case; the older
// name LUMIVANDER_MATMUL_ISA is read when it is unset) caps the level for
// every kernel; it is read once, at first use, and other values are ignored.
// All levels give bit-identical results: kernels spread independent outputs
// over vector lanes and never fuse a multiply and an add (every file is
// compiled with -ffp-contract=off, also where FMA is available).
//
// Adding a kernel set `Foo` to a subsystem:
//  1. In a header of the subsystem, declare `struct FooKernels { ... }` (plain
//     pointers and numbers) and `extern const FooKernels kFooBaseline,
//     kFooAvx2, kFooAvx512;`.
//  2. Write the kernels once in foo_kernels.inc and include it inside an
//     anonymous namespace from foo_kernels.cpp (baseline set, plus the
//     accessor of step 3), foo_kernels_avx2.cpp and foo_kernels_avx512.cpp,
//     each defining its set.  CMakeLists.txt compiles every `*_avx2.cpp` and
//     `*_avx512.cpp` with that level's flags, and only on x86.
//  3. Pick once: `static const FooKernels& k = cpu::select(kFooBaseline,
//     LUMI_X86_KERNELS_OF(kFooAvx2), LUMI_X86_KERNELS_OF(kFooAvx512));`
//     (nullptr for a level falls back to the next lower set).
// A level's file must not define or instantiate anything with external
// linkage but its set: inline functions and templates (std:: algorithms,
// header inlines) are emitted there as weak copies holding that level's
// instructions, and the linker may hand such a copy to baseline callers.
#pragma once

#include <type_traits>

namespace lumi::cpu {

enum class Level : int { Baseline = 0, Avx2 = 1, Avx512 = 2 };

// The best level this CPU and OS support, capped by LUMIVANDER_ISA, and by
// the kernel sets built in (baseline only off x86).  Computed once.
Level active() noexcept;

// "baseline", "avx2", "avx512".
const char* level_name(Level level) noexcept;

// The set for the active level: the highest non-null one at or below it.
template <class Set>
const Set& select(const Set& baseline, std::type_identity_t<const Set*> avx2,
                  std::type_identity_t<const Set*> avx512) noexcept {
    const Level level = active();
    if (level >= Level::Avx512 && avx512) return *avx512;
    if (level >= Level::Avx2 && avx2) return *avx2;
    return baseline;
}

}  // namespace lumi::cpu

// The address of a per-level set where such sets are built (x86), nullptr
// elsewhere.  LUMI_X86_KERNELS comes from CMakeLists.txt.
#ifdef LUMI_X86_KERNELS
#define LUMI_X86_KERNELS_OF(set) (&(set))
#else
#define LUMI_X86_KERNELS_OF(set) nullptr
#endif
