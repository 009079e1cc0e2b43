// CPU feature detection (CPUID and XGETBV) and the LUMIVANDER_ISA cap.
#include "base/cpu.hpp"

#include <cstdint>
#include <cstdlib>

// Detection only where the x86 kernel sets are built (see CMakeLists.txt).
#if (defined(__x86_64__) || defined(__i386__)) && defined(LUMI_X86_KERNELS)
#include <cpuid.h>
#define LUMI_CPU_X86 1
#endif

namespace lumi::cpu {

namespace {

#ifdef LUMI_CPU_X86
constexpr unsigned bit(unsigned reg, int n) noexcept { return (reg >> n) & 1u; }

// Register state the OS saves on context switches (XCR0).  Only called when
// CPUID reports OSXSAVE, i.e. when the instruction exists and is enabled.
std::uint64_t os_saved_state() noexcept {
    std::uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (std::uint64_t{hi} << 32) | lo;
}

Level detect() noexcept {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return Level::Baseline;
    const bool fma = bit(c, 12), popcnt = bit(c, 23), osxsave = bit(c, 27), avx = bit(c, 28);
    if (!(osxsave && avx)) return Level::Baseline;
    const std::uint64_t xcr0 = os_saved_state();
    constexpr std::uint64_t kYmm = 0x6;      // SSE and AVX state
    constexpr std::uint64_t kZmm = 0xE0;     // opmask and both halves of the AVX-512 registers
    if ((xcr0 & kYmm) != kYmm) return Level::Baseline;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return Level::Baseline;
    const bool bmi1 = bit(b, 3), avx2 = bit(b, 5), bmi2 = bit(b, 8);
    if (!(avx2 && fma && bmi1 && bmi2 && popcnt)) return Level::Baseline;
    const bool f = bit(b, 16), dq = bit(b, 17), bw = bit(b, 30), vl = bit(b, 31);
    if (f && dq && bw && vl && (xcr0 & kZmm) == kZmm) return Level::Avx512;
    return Level::Avx2;
}
#endif

// Lower-case comparison of an environment value with a level name.
bool names(const char* value, const char* name) noexcept {
    for (; *value && *name; ++value, ++name) {
        char ch = *value;
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        if (ch != *name) return false;
    }
    return *value == '\0' && *name == '\0';
}

// The level a variable names; false when unset or not a level name.
bool parse_cap(const char* value, Level& out) noexcept {
    if (!value) return false;
    constexpr Level kLevels[] = {Level::Baseline, Level::Avx2, Level::Avx512};
    for (Level level : kLevels) {
        if (names(value, level_name(level))) {
            out = level;
            return true;
        }
    }
    return false;
}

Level compute_active() noexcept {
#ifdef LUMI_CPU_X86
    Level level = detect();
#else
    Level level = Level::Baseline;
#endif
    Level cap = Level::Avx512;
    if (!parse_cap(std::getenv("LUMIVANDER_ISA"), cap)) parse_cap(std::getenv("LUMIVANDER_MATMUL_ISA"), cap);
    return cap < level ? cap : level;
}

}  // namespace

Level active() noexcept {
    static const Level level = compute_active();
    return level;
}

const char* level_name(Level level) noexcept {
    switch (level) {
        case Level::Baseline: break;
        case Level::Avx2: return "avx2";
        case Level::Avx512: return "avx512";
    }
    return "baseline";
}

}  // namespace lumi::cpu
