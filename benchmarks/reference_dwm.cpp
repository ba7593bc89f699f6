// Baselines for the DWM scoring benchmark, compiled by bench.py at run time
// (g++ -O2 -ffp-contract=off) and called through ctypes on the numpy arrays of a
// prepared DiNucleotideMatrix. Not part of the library.
//
// ref_dwm_score is the straightforward scalar evaluation of the window score:
// for every window and every position m, each model's
//     proba = (cond_log + PWM[Sm, m]) - log2(sum over a of 2^(prod_log[a] + PWM[a, m]))
// with prod_log[a] = sum over n != m, ascending, of (DWM[Sn, a, n, m] - PWM[a, m]).
// Windows holding a code above 3 are evaluated like the others and then left NaN.
//
// ref_dwm_record keeps the pow and log2 arguments of the first N-free windows, and
// ref_libm_calls makes exactly those C library calls, cycling over the recorded
// arguments, so that the cost of the transcendental calls alone can be timed.
//
// All arrays are C-contiguous: seq int64 [n], PWMs float64 [5, L], DWMs float64
// [5, 5, L, L] indexed [code at p, code at q, p, q], out float64 [n].
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

struct Model {
    const double* pwm;
    const double* dwm;
    std::int64_t L;

    double P(std::int64_t a, std::int64_t m) const { return pwm[a * L + m]; }
    double D(std::int64_t y, std::int64_t x, std::int64_t n, std::int64_t m) const {
        return dwm[((y * 5 + x) * L + n) * L + m];
    }
};

// log2 probability of the observed code at window position m under one model.
// When pw is given, the four pow arguments go to pw[0..4) and the log2
// argument to *lg.
double proba(const std::int64_t* w, std::int64_t m, const Model& M, double* pw, double* lg) {
    const std::int64_t L = M.L;
    const std::int64_t Sm = w[m];
    double Cn = 0.0;
    for (std::int64_t a = 0; a < 4; ++a) {
        double prod_log = 0.0;
        for (std::int64_t n = 0; n < L; ++n) {
            if (n == m) continue;
            prod_log += M.D(w[n], a, n, m) - M.P(a, m);
        }
        const double x = prod_log + M.P(a, m);
        if (pw) pw[a] = x;
        Cn += std::pow(2.0, x);
    }
    double cond_log = 0.0;
    for (std::int64_t n = 0; n < L; ++n) {
        if (n == m) continue;
        cond_log += M.D(w[n], Sm, n, m) - M.P(Sm, m);
    }
    if (lg) *lg = Cn;
    return (cond_log + M.P(Sm, m)) - std::log2(Cn);
}

// Scores windows [0, n - L] into out; with pw/lg records the call arguments of
// at most max_windows N-free windows. Returns the number of windows recorded.
std::int64_t run(const std::int64_t* seq, std::int64_t n, std::int32_t L32, const double* bias_pwm,
                 const double* bg_pwm, const double* bias_dwm, const double* bg_dwm, double* out, double* pw,
                 double* lg, std::int64_t max_windows) {
    const std::int64_t L = L32;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (out)
        for (std::int64_t i = 0; i < n; ++i) out[i] = nan;
    if (L < 1 || n - L + 1 <= 0) return 0;
    const std::int64_t F = static_cast<std::int64_t>(L * 0.5);
    const Model bias{bias_pwm, bias_dwm, L}, bg{bg_pwm, bg_dwm, L};
    std::int64_t recorded = 0;
    for (std::int64_t i = 0; i <= n - L; ++i) {
        const std::int64_t* w = seq + i;
        if (pw) {
            if (recorded >= max_windows) break;
            bool N = false;
            for (std::int64_t m = 0; m < L; ++m) N = N || w[m] > 3;
            if (N) continue;
        }
        double bias_score_log = 0.0, bg_score_log = 0.0;
        bool contain_N = false;
        for (std::int64_t m = 0; m < L; ++m) {
            if (w[m] > 3) {
                contain_N = true;
                continue;
            }
            bg_score_log += proba(w, m, bg, pw, lg);
            if (pw) pw += 4, lg += 1;
            bias_score_log += proba(w, m, bias, pw, lg);
            if (pw) pw += 4, lg += 1;
        }
        if (pw) ++recorded;
        if (!contain_N && out) out[i + F] = bias_score_log - bg_score_log;
    }
    return recorded;
}

}  // namespace

extern "C" {

void ref_dwm_score(const std::int64_t* seq, std::int64_t n, std::int32_t L, const double* bias_pwm,
                   const double* bg_pwm, const double* bias_dwm, const double* bg_dwm, double* out) {
    run(seq, n, L, bias_pwm, bg_pwm, bias_dwm, bg_dwm, out, nullptr, nullptr, 0);
}

// pw receives 8 * L doubles per recorded window (bg a = 0..3, then bias a = 0..3,
// for each m), lg 2 * L (bg, then bias, for each m).
std::int64_t ref_dwm_record(const std::int64_t* seq, std::int64_t n, std::int32_t L, const double* bias_pwm,
                            const double* bg_pwm, const double* bias_dwm, const double* bg_dwm, double* pw, double* lg,
                            std::int64_t max_windows) {
    return run(seq, n, L, bias_pwm, bg_pwm, bias_dwm, bg_dwm, nullptr, pw, lg, max_windows);
}

// total_pw calls pow(2.0, x) and total_lg calls log2(x), cycling over the given
// arguments; returns the sum of the results so that no call can be dropped.
double ref_libm_calls(const double* pw, std::int64_t npw, std::int64_t total_pw, const double* lg, std::int64_t nlg,
                      std::int64_t total_lg) {
    double acc = 0.0;
    for (std::int64_t done = 0; done < total_pw;) {
        const std::int64_t k = total_pw - done < npw ? total_pw - done : npw;
        for (std::int64_t i = 0; i < k; ++i) acc += std::pow(2.0, pw[i]);
        done += k;
    }
    for (std::int64_t done = 0; done < total_lg;) {
        const std::int64_t k = total_lg - done < nlg ? total_lg - done : nlg;
        for (std::int64_t i = 0; i < k; ++i) acc += std::log2(lg[i]);
        done += k;
    }
    return acc;
}

}  // extern "C"
