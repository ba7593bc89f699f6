// DWM counting, pair probabilities and scoring.
//
// Scoring. For a window with codes S and a position m, each model needs the
// four sums prod_log[a] = sum over n != m, ascending, of (DWM[S[n], a, n, m] -
// PWM[a, m]); the observed code's conditional sum is prod_log[S[m]] term for
// term, so it is not summed again. The differences are the same doubles
// wherever they are computed, so a per-call table holds them, laid out as
// D[b][n][m][lane] with the eight lanes (bg a=0..3, bias a=0..3). The
// diagonal n == m holds -0.0: a sum that starts at +0.0 is never -0.0, and
// adding -0.0 to anything that is not -0.0 returns it unchanged, so the skipped
// term can be added without changing a bit. Each accumulator still receives its
// terms in ascending n; only independent accumulators are interleaved.
//
// The pow and log2 calls dominate. log2 is always the C library's; pow(2.0, x)
// is too, except on AVX-512 and on AVX2 with FMA, where pow2.hpp repeats its
// exact operations eight or four lanes at a time once they were checked to agree.
#include <immintrin.h>

#include <cmath>
#include <limits>
#include <vector>

#include "cpu.hpp"
#include "dwm_window.hpp"
#include "kernels.hpp"
#include "pow2.hpp"

namespace morvane::kernels {

void dwm_count(Strided<std::int64_t> seq, std::int32_t L, Grid4 counts, double amount) {
    if (L <= 0) return;
    std::int64_t stack[256];
    std::vector<std::int64_t> heap;
    std::int64_t* col = stack;
    if (L > 256) {
        heap.resize(static_cast<std::size_t>(L));
        col = heap.data();
    }
    // Byte offset of [Sn, n] within a [Sm, m] plane, once per call rather than
    // once per pair.
    for (std::int32_t n = 0; n < L; ++n) col[n] = seq.load(n) * counts.strides[1] + n * counts.strides[3];
    auto plane = [&](std::int32_t m) { return counts.base + seq.load(m) * counts.strides[0] + m * counts.strides[2]; };
    auto add = [amount](char* p) {
        double v;
        std::memcpy(&v, p, sizeof v);
        v += amount;
        std::memcpy(p, &v, sizeof v);
    };
    std::int32_t m = 0;
    // Every visit adds the same amount, so visits may come in any order as long
    // as two elements either coincide or are disjoint, which whole-double
    // strides guarantee. Four rows then share each column offset: the loop runs
    // at about one store per cycle. Otherwise the pairs go in m, n order.
    if (((counts.strides[0] | counts.strides[1] | counts.strides[2] | counts.strides[3]) % 8) == 0)
        for (; m + 4 <= L; m += 4) {
            char* a = plane(m);
            char* b = plane(m + 1);
            char* c = plane(m + 2);
            char* d = plane(m + 3);
            for (std::int32_t n = 0; n < L; ++n) {
                const std::int64_t o = col[n];
                add(a + o);
                add(b + o);
                add(c + o);
                add(d + o);
            }
        }
    for (; m < L; ++m) {
        char* a = plane(m);
#pragma GCC unroll 4
        for (std::int32_t n = 0; n < L; ++n) add(a + col[n]);
    }
}

namespace {

// One pair element, in the operation order that fixes its rounding.
inline double pair_value(double count, double pseudo, double pwm_n, double pwm_m, double denom) {
    const double t1 = pseudo * pwm_n;
    const double t2 = t1 * pwm_m;
    return (count + t2) / denom;
}

}  // namespace

void dwm_pairs(Grid4 counts, Grid2 pwm, double pseudo, double denom, std::int64_t L, Grid4 dwm) {
    for (std::int64_t m = 0; m < L; ++m)
        for (std::int64_t n = 0; n < L; ++n)
            for (std::int64_t Sm = 0; Sm < 5; ++Sm) {
                const double pm = pwm.load(Sm, m);
                for (std::int64_t Sn = 0; Sn < 5; ++Sn)
                    dwm.store(Sm, Sn, m, n, pair_value(counts.load(Sm, Sn, m, n), pseudo, pwm.load(Sn, n), pm, denom));
            }
}

void dwm_pairs_interleaved(const PairModel& bias, const PairModel& bg, std::int64_t L) {
    auto element = [](const PairModel& p, std::int64_t m, std::int64_t n, std::int64_t Sm, std::int64_t Sn) {
        const double pn = p.pwm.load(Sn, n);
        p.dwm.store(Sm, Sn, m, n, pair_value(p.counts.load(Sm, Sn, m, n), p.pseudo, pn, p.pwm.load(Sm, m), p.denom));
    };
    for (std::int64_t m = 0; m < L; ++m)
        for (std::int64_t n = 0; n < L; ++n)
            for (std::int64_t Sm = 0; Sm < 5; ++Sm)
                for (std::int64_t Sn = 0; Sn < 5; ++Sn) {
                    element(bias, m, n, Sm, Sn);
                    element(bg, m, n, Sm, Sn);
                }
}

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t kBlock = 4096;

double* align64(double* p) {
    while (reinterpret_cast<std::uintptr_t>(p) % 64) ++p;
    return p;
}

}  // namespace

namespace dwm {

Tables::Tables(std::int64_t L_, Grid2 bias_pwm, Grid2 bg_pwm, Grid4 bias_dwm, Grid4 bg_dwm) : L(L_) {
    const std::size_t nd = table_size({4, L, L, 8}), np = table_size({L, 8});
    store.assign(nd + np + 16, 0.0);
    D = align64(store.data());
    P = align64(D + nd);
    const Grid2 pwm[2] = {bg_pwm, bias_pwm};
    const Grid4 dwm[2] = {bg_dwm, bias_dwm};
    for (std::int64_t m = 0; m < L; ++m)
        for (int k = 0; k < 8; ++k) P[m * 8 + k] = pwm[k / 4].load(k % 4, m);
    for (std::int64_t b = 0; b < 4; ++b)
        for (std::int64_t n = 0; n < L; ++n)
            for (std::int64_t m = 0; m < L; ++m) {
                double* e = D + ((b * L + n) * L + m) * 8;
                for (int k = 0; k < 8; ++k)
                    e[k] = n == m ? -0.0 : dwm[k / 4].load(b, k % 4, n, m) - pwm[k / 4].load(k % 4, m);
            }
}

}  // namespace dwm

namespace {

using dwm::Tables;

// X[m][lane] = prod_log + PWM[a, m] for the window codes S[0..L).
void sums_base(const std::uint8_t* S, const Tables& t, double* X) {
    const std::int64_t L = t.L;
    for (std::int64_t i = 0; i < L * 8; ++i) X[i] = 0.0;
    for (std::int64_t n = 0; n < L; ++n) {
        const double* row = t.D + (S[n] * L + n) * L * 8;
        for (std::int64_t i = 0; i < L * 8; ++i) X[i] += row[i];
    }
    for (std::int64_t i = 0; i < L * 8; ++i) X[i] = X[i] + t.P[i];
}

// The accumulators must stay in registers: the j loops are unrolled at any
// optimisation level.
template <int G>
MORVANE_AVX2 __attribute__((always_inline)) inline void group256(const std::uint8_t* S, const Tables& t,
                                                                 std::int64_t m0, double* X) {
    const std::int64_t L = t.L;
    __m256d a[2 * G];
#pragma GCC unroll 16
    for (int j = 0; j < 2 * G; ++j) a[j] = _mm256_setzero_pd();
    for (std::int64_t n = 0; n < L; ++n) {
        const double* row = t.D + ((S[n] * L + n) * L + m0) * 8;
#pragma GCC unroll 16
        for (int j = 0; j < 2 * G; ++j) a[j] = _mm256_add_pd(a[j], _mm256_load_pd(row + 4 * j));
    }
    const double* p = t.P + m0 * 8;
#pragma GCC unroll 16
    for (int j = 0; j < 2 * G; ++j) _mm256_store_pd(X + m0 * 8 + 4 * j, _mm256_add_pd(a[j], _mm256_load_pd(p + 4 * j)));
}

MORVANE_AVX2 void sums256(const std::uint8_t* S, const Tables& t, double* X) {
    std::int64_t m = 0;
    for (; m + 4 <= t.L; m += 4) group256<4>(S, t, m, X);
    for (; m < t.L; ++m) group256<1>(S, t, m, X);
}

// sums256 and the powers 2^X by the C library's own operations (pow2.hpp);
// only for processors with FMA.
MORVANE_AVX2_FMA void sums256_pow(const std::uint8_t* S, const Tables& t, double* X, double* Pw) {
    sums256(S, t, X);
    for (std::int64_t i = 0; i < t.L * 8; i += 4) _mm256_store_pd(Pw + i, pow2::eval4(_mm256_load_pd(X + i)));
}

// With Pw, also the powers 2^X by the C library's own operations (pow2.hpp).
template <int G>
MORVANE_AVX512 __attribute__((always_inline)) inline void group512(const std::uint8_t* S, const Tables& t,
                                                                   std::int64_t m0, double* X, double* Pw) {
    const std::int64_t L = t.L;
    __m512d a[G];
#pragma GCC unroll 16
    for (int j = 0; j < G; ++j) a[j] = _mm512_setzero_pd();
    for (std::int64_t n = 0; n < L; ++n) {
        const double* row = t.D + ((S[n] * L + n) * L + m0) * 8;
#pragma GCC unroll 16
        for (int j = 0; j < G; ++j) a[j] = _mm512_add_pd(a[j], _mm512_load_pd(row + 8 * j));
    }
    const double* p = t.P + m0 * 8;
#pragma GCC unroll 16
    for (int j = 0; j < G; ++j) {
        const __m512d x = _mm512_add_pd(a[j], _mm512_load_pd(p + 8 * j));
        _mm512_store_pd(X + (m0 + j) * 8, x);
        if (Pw) _mm512_store_pd(Pw + (m0 + j) * 8, pow2::eval8(x));
    }
}

MORVANE_AVX512 void sums512(const std::uint8_t* S, const Tables& t, double* X, double* Pw) {
    std::int64_t m = 0;
    for (; m + 8 <= t.L; m += 8) group512<8>(S, t, m, X, Pw);
    if (m + 4 <= t.L) {
        group512<4>(S, t, m, X, Pw);
        m += 4;
    }
    for (; m < t.L; ++m) group512<1>(S, t, m, X, Pw);
}

// bias_score_log - bg_score_log of one N-free window from its sums X and,
// when given, their powers Pw.
double finish(const double* X, const double* Pw, const std::uint8_t* S, std::int64_t L) {
    double bias_score_log = 0.0, bg_score_log = 0.0;
    for (std::int64_t m = 0; m < L; ++m) {
        const double* x = X + m * 8;
        double own[8];
        const double* p = Pw ? Pw + m * 8 : own;
        if (!Pw)
            for (int k = 0; k < 8; ++k) own[k] = std::pow(2.0, x[k]);
        double Cn_bg = 0.0, Cn_bias = 0.0;
        for (int a = 0; a < 4; ++a) Cn_bg += p[a];
        for (int a = 0; a < 4; ++a) Cn_bias += p[4 + a];
        const int Sm = S[m];
        bg_score_log += x[Sm] - std::log2(Cn_bg);
        bias_score_log += x[4 + Sm] - std::log2(Cn_bias);
    }
    return bias_score_log - bg_score_log;
}

double window_base(const Tables& t, const std::uint8_t* S, double* X) {
    sums_base(S, t, X);
    return finish(X, nullptr, S, t.L);
}

MORVANE_AVX2 double window_avx2(const Tables& t, const std::uint8_t* S, double* X) {
    sums256(S, t, X);
    return finish(X, nullptr, S, t.L);
}

MORVANE_AVX2_FMA double window_avx2_pow(const Tables& t, const std::uint8_t* S, double* X) {
    sums256_pow(S, t, X, X + t.L * 8);
    return finish(X, X + t.L * 8, S, t.L);
}

MORVANE_AVX512 double window_avx512(const Tables& t, const std::uint8_t* S, double* X) {
    sums512(S, t, X, nullptr);
    return finish(X, nullptr, S, t.L);
}

MORVANE_AVX512 double window_avx512_pow(const Tables& t, const std::uint8_t* S, double* X) {
    sums512(S, t, X, X + t.L * 8);
    return finish(X, X + t.L * 8, S, t.L);
}

}  // namespace

namespace dwm {

Scratch::Scratch(std::int64_t L) : store(table_size({2 * L * 8 + 8})), X(align64(store.data())) {}

}  // namespace dwm

namespace cpu {

DwmWindow dwm_window_for(Level level) {
    // The lanes of pow2.hpp only where they were checked to agree with pow.
    const bool fast_pow = pow2::available(level);
    switch (level) {
        case Level::Avx512Vbmi:
        case Level::Avx512: return fast_pow ? window_avx512_pow : window_avx512;
        case Level::Avx2: return fast_pow ? window_avx2_pow : window_avx2;
        case Level::Base: break;
    }
    return window_base;
}

template <Level level>
std::int64_t dwm_score_at(Strided<std::int64_t> seq, std::int32_t L32, Grid2 bias_pwm, Grid2 bg_pwm, Grid4 bias_dwm,
                          Grid4 bg_dwm, double* out) {
    const std::int64_t n = seq.size;
    const std::int64_t L = L32;
    for (std::int64_t i = 0; i < n; ++i)
        if (seq.load(i) < 0) return i;
    for (std::int64_t i = 0; i < n; ++i) out[i] = kNaN;
    if (L < 1 || n < L) return -1;
    const std::int64_t F = L / 2;

    const Tables t(L, bias_pwm, bg_pwm, bias_dwm, bg_dwm);
    const DwmWindow window = dwm_window_for(level);
    dwm::Scratch scratch(L);
    std::vector<std::uint8_t> S(static_cast<std::size_t>(kBlock + L));
    const std::int64_t nw = n - L + 1;
    for (std::int64_t s0 = 0; s0 < nw; s0 += kBlock) {
        const std::int64_t B = nw - s0 < kBlock ? nw - s0 : kBlock;
        for (std::int64_t i = 0; i < B + L - 1; ++i) {
            const std::int64_t c = seq.load(s0 + i);
            S[i] = static_cast<std::uint8_t>(c > 3 ? 4 : c);
        }
        // last: latest N position within the block so far, or -1.
        std::int64_t last = -1;
        for (std::int64_t j = 0; j < L - 1; ++j)
            if (S[j] == 4) last = j;
        for (std::int64_t s = 0; s < B; ++s) {
            if (S[s + L - 1] == 4) last = s + L - 1;
            if (last >= s) continue;
            out[s0 + s + F] = window(t, S.data() + s, scratch.X);
        }
    }
    return -1;
}

// The forms the dispatch table holds.
template std::int64_t dwm_score_at<Level::Base>(Strided<std::int64_t>, std::int32_t, Grid2, Grid2, Grid4, Grid4,
                                                double*);
template std::int64_t dwm_score_at<Level::Avx2>(Strided<std::int64_t>, std::int32_t, Grid2, Grid2, Grid4, Grid4,
                                                double*);
template std::int64_t dwm_score_at<Level::Avx512>(Strided<std::int64_t>, std::int32_t, Grid2, Grid2, Grid4, Grid4,
                                                  double*);

}  // namespace cpu

}  // namespace morvane::kernels
