// P-values read off kept tables; see tails.hpp.
#include "kernels/tails.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace morvane::kernels::tails {
namespace {

double tau(const Table& t, double s) { return t.tau_factor * (t.abs + std::fabs(s)); }

// Clamped to +-2^62 before it becomes an integer: steps of any size (tables are checked by the
// caller, not trusted to be sane) then never overflow the conversion.
std::int64_t out_below(const Steps& g, const Table& t, double x) {
    constexpr double kFar = 4611686018427387904.0;  // 2^62
    const double q = std::floor((x - tau(t, x) - g.lo - g.r_max) / g.eps);
    return static_cast<std::int64_t>(q < -kFar ? -kFar : q > kFar ? kFar : q) - 1;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return q - (a % b != 0 && (a < 0) != (b < 0));
}

// Searches in step: for each j < m, p[at[j]] = cum[the listed scores (neg_d, ascending) at or
// below v[j]] (NumPy's searchsorted, side "right"), without branches.
constexpr int kInStep = 8;
void search(const Table& t, const double* v, const std::int64_t* at, int m, double* p) {
    const double* b[kInStep];
    for (int j = 0; j < m; ++j) b[j] = t.neg_d;
    for (std::int64_t n = t.n_listed; n > 1;) {
        const std::int64_t half = n / 2;
        for (int j = 0; j < m; ++j) b[j] = b[j][half] <= v[j] ? b[j] + half : b[j];
        n -= half;
    }
    for (int j = 0; j < m; ++j) {
        const std::int64_t k = t.n_listed ? (b[j] - t.neg_d) + (*b[j] <= v[j]) : 0;
        const double c = t.cum[k];
        p[at[j]] = c < 1.0 ? c : 1.0;
    }
}

}  // namespace

double fine_bound(const Table& t, double x) {
    const Steps& g = t.fine;
    // J substeps: no word whose sum lies more than J / kSubsteps steps below x's reaches it (the
    // spare substep takes the rounding of these operations)
    constexpr double kFar = 72057594037927936.0;  // 2^56: substeps of any table stay integers
    const double q = std::floor((x - tau(t, x) - g.lo - g.r_max) / g.eps * kSubsteps);
    const std::int64_t J = static_cast<std::int64_t>(q < -kFar ? -kFar : q > kFar ? kFar : q) - 1;
    // the first sum that may reach x; no word's sum is below 0, where a table may begin
    const std::int64_t k_lo = floor_div(J + kSubsteps - 1, kSubsteps) - t.fine_b;
    if (k_lo < 0 && t.fine_b > 0) return std::numeric_limits<double>::quiet_NaN();
    // from k_sure on, rise has no entry: the bound is the sums' probability
    const std::int64_t k_sure = floor_div(J + t.n_rise - 1, kSubsteps) + 1 - t.fine_b;
    const std::int64_t hi = std::clamp<std::int64_t>(k_sure, 0, t.n_fine), lo = std::clamp<std::int64_t>(k_lo, 0, hi);
    // Summed from the top down, so that a sum joining the band (counted whole, its ratio times its
    // rise past 1) leaves the bound as it was, and one leaving it at the bottom adds nothing more.
    double sum = t.tails[hi];
    for (std::int64_t k = hi - 1; k >= lo; --k) {
        const double above = t.tails[k + 1];
        double d = t.tails[k] - above;  // the sum's probability, rounded so that above + d stays within tails[k]
        if (above + d > t.tails[k]) d = std::nextafter(d, 0.0);
        const double r = static_cast<double>(t.ratio[k]) * t.rise[kSubsteps * (k + t.fine_b) - J];
        sum += r < 1.0 ? d * r : d;
    }
    // each difference within two ulps of the probability it stands for: at most this much in all
    sum += static_cast<double>(t.n_rise / kSubsteps + 2) * t.tails[lo] * 0x1p-51;
    sum *= 1.0 + kRounding;
    return sum < 1.0 ? sum : 1.0;
}

void fine_table(const double* prob, const double* tilt, std::int64_t m, std::int64_t pad, std::int64_t n, double* tails,
                float* ratio) {
    // the tails of sums base + k from the top, into tails[pad + k] where that is within n
    double above = 0.0;
    for (std::int64_t k = m - 1; k >= 0; --k) {
        above = k == m - 1 ? prob[k] : above + prob[k];
        if (pad + k <= n) tails[pad + k] = above;
    }
    if (pad + m <= n) tails[pad + m] = 0.0;
    const double first = m ? above : 0.0;  // every word's
    for (std::int64_t i = 0; i < pad && i <= n; ++i) tails[i] = first;
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t k = i - pad;
        float r = 1.0f;
        // a ratio of 1 or more never brings a sum's bound below its probability
        const double x = k >= 0 && tilt[k] >= 0x1p-1000 && prob[k] > 0.0 ? tilt[k] / prob[k] : 1.0;
        if (x < 1.0) {
            r = static_cast<float>(x);
            if (static_cast<double>(r) < x) r = std::nextafter(r, std::numeric_limits<float>::infinity());
        }
        ratio[i] = r;
    }
}

void read_off(const Table& t, const double* s, std::int64_t n, double* p) {
    constexpr double kNotServed = std::numeric_limits<double>::quiet_NaN();
    double v[kInStep];
    std::int64_t at[kInStep];
    int m = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        const double si = s[i];
        if (std::isnan(si)) {
            p[i] = kNotServed;
            continue;
        }
        if (si > t.max_score) {
            p[i] = 0.0;
            continue;
        }
        const double x = std::isinf(si) ? si : si - tau(t, si);
        if (x <= t.min_score) {
            p[i] = 1.0;
        } else if (si >= t.listed_from) {
            if (!t.neg_d || out_below(t.coarse, t, x) < t.words_b) {
                p[i] = kNotServed;
                continue;
            }
            v[m] = -x;
            at[m] = i;
            if (++m == kInStep) {
                search(t, v, at, m, p);
                m = 0;
            }
        } else {
            p[i] = t.tails ? fine_bound(t, x) : kNotServed;
        }
    }
    search(t, v, at, m, p);
}

}  // namespace morvane::kernels::tails
