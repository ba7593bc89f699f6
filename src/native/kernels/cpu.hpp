// Instruction sets chosen at run time. The library is built for baseline
// x86-64; wider kernels carry target attributes. The kernel set is chosen once
// per process, as a table of entry points, so no kernel asks for the level
// inside its loops.
#pragma once

#include "kernels.hpp"

namespace morvane::kernels::cpu {

enum class Level { Base = 0, Avx2 = 1, Avx512 = 2 };

// Widest level both the processor and the operating system support (libgcc's
// probe checks the saved register state, not only CPUID).
inline Level detect() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return Level::Avx512;
    if (__builtin_cpu_supports("avx2")) return Level::Avx2;
#endif
    return Level::Base;
}

// The entry points that have a form per level, with the public signatures.
struct Table {
    Level level;
    decltype(&kernels::pwm_score) pwm_score;
    decltype(&kernels::dwm_score) dwm_score;
};

// The table of the widest level, made at first use.
const Table& table();

// Rebuilds the table for min(cap, widest): lets the tests run every narrower
// path on a wide machine. Not for use while kernels run on other threads.
Level limit(Level cap);

// One form of each entry per level (pwm.cpp, dwm.cpp).
template <Level>
std::int64_t pwm_score_at(Strided<std::int64_t> seq, Grid2 pssm, double* out);
template <Level>
std::int64_t dwm_score_at(Strided<std::int64_t> seq, std::int32_t L, Grid2 bias_pwm, Grid2 bg_pwm, Grid4 bias_dwm,
                          Grid4 bg_dwm, double* out);

}  // namespace morvane::kernels::cpu
