// P-values read off kept tables; see tails.hpp.
#include "kernels/tails.hpp"

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
            const std::int64_t k = t.upper ? out_below(t.fine, t, x) - t.fine_b : -1;
            if (k < 0) {
                p[i] = kNotServed;
                continue;
            }
            const double u = t.upper[k < t.n_upper ? k : t.n_upper - 1];
            p[i] = u < 1.0 ? u : 1.0;
        }
    }
    search(t, v, at, m, p);
}

}  // namespace morvane::kernels::tails
