// Instruction sets chosen at run time. The library is built for baseline x86-64;
// wider kernels carry target attributes and are picked by the level found once
// per process.
#pragma once

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

inline Level& active() {
    static Level l = detect();
    return l;
}

inline Level level() { return active(); }

// Lets the tests run every narrower path on a wide machine; never widens.
inline Level limit(Level cap) {
    Level widest = detect();
    active() = static_cast<int>(cap) < static_cast<int>(widest) ? cap : widest;
    return active();
}

}  // namespace morvane::kernels::cpu
