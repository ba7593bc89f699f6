// The straightforward one-window-at-a-time scorers, in the operation order the
// kernels must reproduce: the kernel tests compare against them bit for bit and
// the micro-benchmark times them. Codes are taken as non-negative.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "kernels/kernels.hpp"

namespace morvane::reference {

using kernels::Grid2;
using kernels::Grid4;

// Window centres get the sum of pssm[code, m]; every other element, and every
// window holding a code above 3, is NaN. out must hold seq.size() elements.
inline void pwm_score(const std::vector<std::int64_t>& seq, Grid2 pssm, double* out) {
    const std::int64_t n = static_cast<std::int64_t>(seq.size()), L = pssm.shape[1], F = L / 2;
    for (std::int64_t i = 0; i < n; ++i) out[i] = std::numeric_limits<double>::quiet_NaN();
    for (std::int64_t s = 0; s + L <= n; ++s) {
        if (s + F >= n) continue;  // L == 0: the centre lies past the end
        double sum = 0.0;
        bool hasN = false;
        for (std::int64_t m = 0; m < L; ++m) {
            const std::int64_t c = seq[s + m];
            if (c >= 4)
                hasN = true;
            else
                sum += pssm.load(c, m);
        }
        if (!hasN) out[s + F] = sum;
    }
}

// log2 P(w[m] | the rest of the window). With pw/lg, records the four pow(2, x)
// arguments and the log2 argument.
inline double proba(const std::int64_t* w, std::int64_t L, std::int64_t m, Grid2 PWM, Grid4 DWM, double* pw = nullptr,
                    double* lg = nullptr) {
    const std::int64_t Sm = w[m];
    double Cn = 0.0;
    for (std::int64_t a = 0; a < 4; ++a) {
        double prod_log = 0.0;
        for (std::int64_t n = 0; n < L; ++n)
            if (n != m) prod_log += (DWM.load(w[n], a, n, m) - PWM.load(a, m));
        if (pw) pw[a] = prod_log + PWM.load(a, m);
        Cn += std::pow(2.0, prod_log + PWM.load(a, m));
    }
    double cond_log = 0.0;
    for (std::int64_t n = 0; n < L; ++n)
        if (n != m) cond_log += (DWM.load(w[n], Sm, n, m) - PWM.load(Sm, m));
    if (lg) *lg = Cn;
    return (cond_log + PWM.load(Sm, m)) - std::log2(Cn);
}

// Bias minus background log-probability of every window, placed as pwm_score
// places its sums. With pw/lg, records every pow and log2 argument in order.
inline void dwm_score(const std::vector<std::int64_t>& seq, std::int64_t L, Grid2 bias_pwm, Grid2 bg_pwm,
                      Grid4 bias_dwm, Grid4 bg_dwm, double* out, double* pw = nullptr, double* lg = nullptr) {
    const std::int64_t n = static_cast<std::int64_t>(seq.size()), F = L / 2;
    for (std::int64_t i = 0; i < n; ++i) out[i] = std::numeric_limits<double>::quiet_NaN();
    for (std::int64_t i = 0; i + L <= n; ++i) {
        bool hasN = false;
        for (std::int64_t m = 0; m < L; ++m) hasN |= seq[i + m] > 3;
        if (hasN) continue;
        double bias_score_log = 0.0, bg_score_log = 0.0;
        for (std::int64_t m = 0; m < L; ++m) {
            bg_score_log += proba(&seq[i], L, m, bg_pwm, bg_dwm, pw, lg);
            if (pw) pw += 4, lg += 1;
            bias_score_log += proba(&seq[i], L, m, bias_pwm, bias_dwm, pw, lg);
            if (pw) pw += 4, lg += 1;
        }
        out[i + F] = bias_score_log - bg_score_log;
    }
}

}  // namespace morvane::reference
