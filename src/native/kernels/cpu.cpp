// The per-process choice of kernels, and the public entries that call through it.
#include "cpu.hpp"

namespace morvane::kernels {
namespace cpu {
namespace {

constexpr Level scoring(Level l) { return l == Level::Avx512Vbmi ? Level::Avx512 : l; }

// The scanner filters groups of two columns where a 16-entry table fits a
// byte shuffle (AVX2, and AVX-512 without byte permutes), of three where one
// permute looks up 64 entries, and one window at a time, where the larger
// groups make the fewest lookups.
constexpr int scan_group(Level l) { return l == Level::Avx2 || l == Level::Avx512 ? 2 : 3; }

constexpr Level pairs(Level l) { return l == Level::Base ? Level::Base : Level::Avx2; }

template <Level L>
constexpr Table forms{L,
                      &pwm_score_at<scoring(L)>,
                      &dwm_score_at<scoring(L)>,
                      &scan_head_at<L>,
                      scan_group(L),
                      &dwm_head_at<pairs(L)>,
                      nullptr};

Table of_level(Level level) {
    switch (level) {
        case Level::Avx512Vbmi: return forms<Level::Avx512Vbmi>;
        case Level::Avx512: return forms<Level::Avx512>;
        case Level::Avx2: return forms<Level::Avx2>;
        case Level::Base: break;
    }
    return forms<Level::Base>;
}

Table for_level(Level level) {
    Table t = of_level(level);
    t.dwm_window = dwm_window_for(level);
    return t;
}

Table& current() {
    static Table t = for_level(widest());
    return t;
}

}  // namespace

Level widest() {
    static const Level level = probe();
    return level;
}

bool has_fma() {
    static const bool fma = probe_fma();
    return fma;
}

const Table& table() { return current(); }

Level limit(Level cap) {
    current() = for_level(static_cast<int>(cap) < static_cast<int>(widest()) ? cap : widest());
    return current().level;
}

}  // namespace cpu

std::int64_t pwm_score(Strided<std::int64_t> seq, Grid2 pssm, double* out) {
    return cpu::table().pwm_score(seq, pssm, out);
}

std::int64_t dwm_score(Strided<std::int64_t> seq, std::int32_t L, Grid2 bias_pwm, Grid2 bg_pwm, Grid4 bias_dwm,
                       Grid4 bg_dwm, double* out) {
    return cpu::table().dwm_score(seq, L, bias_pwm, bg_pwm, bias_dwm, bg_dwm, out);
}

}  // namespace morvane::kernels
