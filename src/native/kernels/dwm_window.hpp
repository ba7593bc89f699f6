// The exact score of one DWM window, shared by the module's scorer
// (dwm_score) and the scanner (dwm_scan.hpp): both give the same doubles
// because both run these tables through the same per-level sums.
#pragma once

#include <cstdint>
#include <vector>

#include "cpu.hpp"
#include "kernels.hpp"

namespace morvane::kernels::dwm {

// The differences DWM[b, a, n, m] - PWM[a, m] of both models, laid out as
// D[b][n][m][lane] with the eight lanes (bg a=0..3, bias a=0..3), the
// diagonal n == m holding -0.0, and P[m][lane] = PWM[a, m]. Rows and
// codes 0..3 and positions < L of the four log matrices are read.
struct Tables {
    std::int64_t L = 0;
    std::vector<double> store;
    double* D = nullptr;  // [b][n][m][8], 64-byte aligned
    double* P = nullptr;  // [m][8], 64-byte aligned

    Tables() = default;
    Tables(std::int64_t L, Grid2 bias_pwm, Grid2 bg_pwm, Grid4 bias_dwm, Grid4 bg_dwm);
    Tables(const Tables&) = delete;  // D and P point into store
    Tables& operator=(const Tables&) = delete;

    const double* d(int b, std::int64_t n, std::int64_t m) const { return D + ((b * L + n) * L + m) * 8; }
};

// The per-window sums and powers of width L, 64-byte aligned.
struct Scratch {
    std::vector<double> store;
    double* X;
    explicit Scratch(std::int64_t L);
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
};

// cpu::DwmWindow: bias_score_log - bg_score_log of the N-free window
// S[0..L) (codes 0..3), the doubles of the straightforward evaluation, with
// X the .X of a Scratch of width L. cpu::table().dwm_window is the level's.

}  // namespace morvane::kernels::dwm
