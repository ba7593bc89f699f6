// Instruction sets chosen at run time. The library is built for baseline
// x86-64; wider kernels carry the target attributes below. The level is
// probed once per process and its kernels are one table of entry points, so
// no kernel asks for the level inside its loops. Every fact about the levels
// (their features, names and probe) is in this file.
#pragma once

#include <cstring>

#include "kernels.hpp"

// What the instructions of each wider form need.
#define MORVANE_AVX2 __attribute__((target("avx2")))
#define MORVANE_AVX2_FMA __attribute__((target("avx2,fma")))
#define MORVANE_AVX512 __attribute__((target("avx512f")))
#define MORVANE_AVX512_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace morvane::kernels {

namespace scan {
struct Filter;
struct PairFilter;
}  // namespace scan

namespace dwm {
struct Tables;
}

namespace cpu {

// Avx512Vbmi: AVX-512 with byte permutes (avx512bw and avx512vbmi); the
// first AVX-512 processors lack them.
enum class Level { Base = 0, Avx2 = 1, Avx512 = 2, Avx512Vbmi = 3 };
constexpr int kLevels = 4;

// The levels' names, narrowest first: X(name) for each.
#define MORVANE_LEVELS(X) X(base) X(avx2) X(avx512) X(avx512vbmi)
// The names as one text for messages and docs: " base avx2 ...".
#define MORVANE_LEVEL_WORD(name) " " #name
#define MORVANE_LEVEL_NAMES MORVANE_LEVELS(MORVANE_LEVEL_WORD)

#define MORVANE_LEVEL_TEXT(name) #name,
constexpr const char* kNames[kLevels] = {MORVANE_LEVELS(MORVANE_LEVEL_TEXT)};
#undef MORVANE_LEVEL_TEXT

inline const char* name(Level l) { return kNames[static_cast<int>(l)]; }

// The level of a name; false for any other text.
inline bool parse(const char* text, Level* out) {
    for (int l = 0; l < kLevels; ++l)
        if (std::strcmp(text, kNames[l]) == 0) return *out = static_cast<Level>(l), true;
    return false;
}

// Widest level both the processor and the operating system support (libgcc's
// probe checks the saved register state, not only CPUID). widest() keeps it.
inline Level probe() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f"))
        return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi") ? Level::Avx512Vbmi
                                                                                          : Level::Avx512;
    if (__builtin_cpu_supports("avx2")) return Level::Avx2;
#endif
    return Level::Base;
}

// Whether the processor has FMA, which the AVX2 form of pow(2, x) needs
// (every AVX-512 processor has it, not every AVX2 one).
inline bool probe_fma() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

// probe() and probe_fma(), made once per process.
Level widest();
bool has_fma();

// The scanner's filter head (scan.cpp): the windows of a block that the first
// groups of a filter leave.
using ScanHead = std::int64_t (*)(const scan::Filter&, const std::uint8_t* mer, std::int64_t B, std::int32_t* list,
                                  std::uint8_t* part);

// The DWM scanner's head (dwm_scan.cpp): the windows of a block that the
// head of a pair filter leaves, from the codes' low bits shifted (c4) and not.
using DwmHead = std::int64_t (*)(const scan::PairFilter&, const std::uint8_t* c4, const std::uint8_t* c2,
                                 std::int64_t B, std::int32_t* list);
// The exact score of one DWM window (dwm_window.hpp).
using DwmWindow = double (*)(const dwm::Tables&, const std::uint8_t* S, double* X);

// The entry points that have a form per level, with the public signatures.
struct Table {
    Level level;
    decltype(&kernels::pwm_score) pwm_score;
    decltype(&kernels::dwm_score) dwm_score;
    ScanHead scan_head;
    int scan_group;  // columns per group of the filter scan_head reads: 2 or 3
    DwmHead dwm_head;
    DwmWindow dwm_window;  // chosen when the table is made: pow's lanes only where they agree
};

// The table of the widest level, made at first use.
const Table& table();

// Rebuilds the table for min(cap, widest()) and returns that level: lets the
// tests run every narrower path on a wide machine. Not for use while kernels
// run on other threads.
Level limit(Level cap);

// One form of each entry per level: scoring has three (pwm.cpp, dwm.cpp; the
// byte permutes add nothing there), the scanner's head four (scan.cpp), the
// DWM scanner's head two (dwm_scan.cpp: AVX2's serves every wider level).
template <Level>
std::int64_t pwm_score_at(Strided<std::int64_t> seq, Grid2 pssm, double* out);
template <Level>
std::int64_t dwm_score_at(Strided<std::int64_t> seq, std::int32_t L, Grid2 bias_pwm, Grid2 bg_pwm, Grid4 bias_dwm,
                          Grid4 bg_dwm, double* out);
template <Level>
std::int64_t dwm_head_at(const scan::PairFilter& f, const std::uint8_t* c4, const std::uint8_t* c2, std::int64_t B,
                         std::int32_t* list);
// The exact DWM window score of a level (dwm.cpp).
DwmWindow dwm_window_for(Level level);
template <Level>
std::int64_t scan_head_at(const scan::Filter& f, const std::uint8_t* mer, std::int64_t B, std::int32_t* list,
                          std::uint8_t* part);

}  // namespace cpu
}  // namespace morvane::kernels
