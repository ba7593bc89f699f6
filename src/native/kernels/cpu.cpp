// The per-process choice of kernels, and the public entries that call through it.
#include "cpu.hpp"

namespace morvane::kernels {
namespace cpu {
namespace {

template <Level L>
constexpr Table forms{L, &pwm_score_at<L>, &dwm_score_at<L>};

Table for_level(Level level) {
    switch (level) {
        case Level::Avx512: return forms<Level::Avx512>;
        case Level::Avx2: return forms<Level::Avx2>;
        case Level::Base: break;
    }
    return forms<Level::Base>;
}

Table& current() {
    static Table t = for_level(detect());
    return t;
}

}  // namespace

const Table& table() { return current(); }

Level limit(Level cap) {
    const Level widest = detect();
    current() = for_level(static_cast<int>(cap) < static_cast<int>(widest) ? cap : widest);
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
