// Fused DWM scanning: a pairwise bound rules windows out, the exact score
// decides the rest.
//
// The bound. For one model and window position m, the window's term is the
// conditional log2 probability c_m = X[m][S_m] - log2 sum_a 2^X[m][a], with
// X[m][a] = P[a, m] + sum over n != m of E[S_n, a, n, m], E = DWM - PWM.
// The score is sum_m c_m(bias) - c_m(bg). Two inequalities make each term a
// sum of functions of two codes:
//   bias: for any distribution w over a, log2 sum_a 2^v_a >= sum_a w_a v_a +
//     H(w) (Gibbs), so c_m <= X[S_m] - sum_a w_a X[a] - H(w), linear in the
//     E terms; w may depend on m and S_m. It is exact where w is the true
//     conditional, so w is the geometric mean of the conditionals of windows
//     drawn from the motif's own position probabilities.
//   bg: -c_m = log2 sum_a 2^(X[a] - X[S_m]) <= log2 sum_a 2^(P[a, m] -
//     P[S_m, m]) + sum over n of max_a (E[S_n, a, n, m] - E[S_n, S_m, n, m]);
//     tight for a background of independent bases, where E hardly depends on a.
// Summed, the bound is one 16-entry table per pair of positions n < m,
// indexed by the pair's codes (the position terms folded into a neighbouring
// pair). Every table entry holds real-number values of the formulas above;
// the doubles differ by rounding only.
//
// Rounding. With u = 2^-53 and A the largest |X| any window can produce
// (|P| plus the largest |E| of each n), the double score of a window lies
// within eps_s = 64 u (L+2)^2 (A+4) of its real value, when every 2^X is a
// normal double (A <= 1000): each X is a sum of L rounded terms, each power
// and log2 is within 1 ulp (the C library's, or pow2.hpp's copy of it),
// and the position sums add 2L roundings more. The table entries, sums of
// at most 24 terms each no larger than A + 4, are within the same eps of
// their real values. So a window that reaches the threshold t has a real
// bound >= t - eps_s, and the real sum of its double entries is >= t - 2
// eps_s: the margin is four times that. Models with larger or non-finite
// entries are scored in full.
//
// The head sums the entries of the groups that tell most in whole units d
// (a power of two, entries rounded up, less each group's least, so one
// byte each: every real sum >= t' gives a unit sum >= ceil(t'/d)), in
// sixteen 16-bit lanes at a time, and drops a batch once no window of it
// can make up the rest with the largest entries of the groups it has not
// seen. The windows left get the bound as a sum of doubles over every
// group, then the exact score.
#include "dwm_scan.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "cpu.hpp"
#include "dwm_window.hpp"

namespace morvane::kernels::scan {

namespace {

constexpr std::int64_t kLanes = 16;  // windows per batch of the head
constexpr int kCheck = 4;            // groups between the head's checks
constexpr double kU = 0x1p-53;
constexpr double kTame = 1000.0;  // largest |X| for which every power 2^X is a normal double
constexpr int kSamples = 2048;    // windows that pick the weights of the bias bound

// splitmix64: the weights are the same in every process.
struct Random {
    std::uint64_t s;
    std::uint64_t next() {
        std::uint64_t z = (s += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1p-53; }
};

// lane offsets of the two models in dwm::Tables
constexpr int kBg = 0, kBias = 4;

double lse2(const double* v) {
    double top = std::max(std::max(v[0], v[1]), std::max(v[2], v[3]));
    double s = 0.0;
    for (int a = 0; a < 4; ++a) s += std::exp2(v[a] - top);
    return top + std::log2(s);
}

}  // namespace

// One strand of one model.
struct DwmSide {
    std::int8_t sign = 1;
    bool prune = false;  // false: every N-free window is scored in full
    bool none = false;   // no window can reach the threshold
    PairFilter filter;
};

struct DwmMotif {
    std::int64_t L = 0;
    double threshold = 0.0;
    dwm::Tables tables;
    bool reachable = true;
    DwmSide side[2];  // forward, reverse

    DwmMotif(const DwmModel& m, double t)
        : L(m.L), threshold(t), tables(m.L, m.bias_pwm, m.bg_pwm, m.bias_dwm, m.bg_dwm) {}
};

namespace {

// E[y, a, n, m] of a model (lanes kBg or kBias) and P[a, m].
struct Terms {
    const dwm::Tables& t;
    double E(int lane, int y, int a, std::int64_t n, std::int64_t m) const { return t.d(y, n, m)[lane + a]; }
    double P(int lane, int a, std::int64_t m) const { return t.P[m * 8 + lane + a]; }
};

// The largest |X| of a model, or +inf when an entry is not finite.
double reach(const Terms& T, int lane, std::int64_t L) {
    double A = 0.0;
    for (std::int64_t m = 0; m < L; ++m)
        for (int a = 0; a < 4; ++a) {
            double x = std::fabs(T.P(lane, a, m));
            for (std::int64_t n = 0; n < L; ++n) {
                if (n == m) continue;
                double top = 0.0;
                for (int y = 0; y < 4; ++y) top = std::fmax(top, std::fabs(T.E(lane, y, a, n, m)));
                for (int y = 0; y < 4; ++y)
                    if (!std::isfinite(T.E(lane, y, a, n, m))) return INFINITY;
                x += top;
            }
            if (!std::isfinite(T.P(lane, a, m))) return INFINITY;
            A = std::fmax(A, x);
        }
    return A;
}

// w[m][x][a]: the weights of the bias bound, dyadic with 2^20 as their exact
// sum, so that they are a distribution in double arithmetic too.
std::vector<double> bias_weights(const Terms& T, std::int64_t L) {
    std::vector<double> mean(static_cast<std::size_t>(L * 16), 0.0), seen(static_cast<std::size_t>(L * 4), 0.0);
    std::vector<double> cum(static_cast<std::size_t>(L * 4));
    for (std::int64_t m = 0; m < L; ++m) {
        double p[4], total = 0.0;
        for (int a = 0; a < 4; ++a) total += p[a] = std::exp2(T.P(kBias, a, m));
        double c = 0.0;
        for (int a = 0; a < 4; ++a) cum[m * 4 + a] = c += p[a] / total;
    }
    Random rng{0x5eed};
    std::vector<int> S(static_cast<std::size_t>(L));
    double X[4];
    for (int k = 0; k < kSamples; ++k) {
        for (std::int64_t m = 0; m < L; ++m) {
            const double r = rng.uniform();
            int a = 0;
            while (a < 3 && r >= cum[m * 4 + a]) ++a;
            S[m] = a;
        }
        for (std::int64_t m = 0; m < L; ++m) {
            for (int a = 0; a < 4; ++a) {
                X[a] = T.P(kBias, a, m);
                for (std::int64_t n = 0; n < L; ++n)
                    if (n != m) X[a] += T.E(kBias, S[n], a, n, m);
            }
            const double z = lse2(X);
            for (int a = 0; a < 4; ++a) mean[(m * 4 + S[m]) * 4 + a] += X[a] - z;
            seen[m * 4 + S[m]] += 1.0;
        }
    }
    std::vector<double> w(static_cast<std::size_t>(L * 16));
    for (std::int64_t m = 0; m < L; ++m)
        for (int x = 0; x < 4; ++x) {
            double* o = &w[(m * 4 + x) * 4];
            const double* g = &mean[(m * 4 + x) * 4];
            double v[4];
            for (int a = 0; a < 4; ++a) v[a] = seen[m * 4 + x] > 0 ? g[a] / seen[m * 4 + x] : a == x ? 0.0 : -30.0;
            const double z = lse2(v);
            double used = 0.0;
            int top = 0;
            for (int a = 0; a < 4; ++a) {
                o[a] = std::floor(std::exp2(v[a] - z) * 0x1p20);
                used += o[a];
                if (o[a] > o[top]) top = a;
            }
            o[top] += 0x1p20 - used;
            for (int a = 0; a < 4; ++a) o[a] *= 0x1p-20;
        }
    return w;
}

// The bound's pair tables on the forward strand: Q[(n * L + m) * 16 + (y << 2 | x)]
// for n < m, y = S_n, x = S_m, the position terms folded in.
std::vector<double> pair_bound(const Terms& T, std::int64_t L) {
    const std::vector<double> w = bias_weights(T, L);
    // Tm[(n * L + m) * 16 + y * 4 + x]: the terms of position m that read S_n = y, S_m = x
    std::vector<double> Tm(static_cast<std::size_t>(L * L * 16), 0.0), U(static_cast<std::size_t>(L * 4));
    for (std::int64_t m = 0; m < L; ++m)
        for (int x = 0; x < 4; ++x) {
            const double* wx = &w[(m * 4 + x) * 4];
            double u = T.P(kBias, x, m), v[4];
            for (int a = 0; a < 4; ++a) {
                u -= wx[a] * T.P(kBias, a, m);
                if (wx[a] > 0) u += wx[a] * std::log2(wx[a]);
                v[a] = T.P(kBg, a, m) - T.P(kBg, x, m);
            }
            U[m * 4 + x] = u + lse2(v);
            for (std::int64_t n = 0; n < L; ++n) {
                if (n == m) continue;
                for (int y = 0; y < 4; ++y) {
                    double e = T.E(kBias, y, x, n, m), top = -INFINITY;
                    for (int a = 0; a < 4; ++a) {
                        e -= wx[a] * T.E(kBias, y, a, n, m);
                        top = std::fmax(top, T.E(kBg, y, a, n, m) - T.E(kBg, y, x, n, m));
                    }
                    Tm[(n * L + m) * 16 + y * 4 + x] = e + top;
                }
            }
        }
    std::vector<double> Q(static_cast<std::size_t>(L * L * 16), 0.0);
    for (std::int64_t n = 0; n < L; ++n)
        for (std::int64_t m = n + 1; m < L; ++m)
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 4; ++x) {
                    double q = Tm[(n * L + m) * 16 + y * 4 + x] + Tm[(m * L + n) * 16 + x * 4 + y];
                    // position n's own terms go to the pair (n, n + 1); the last one's to (L - 2, L - 1)
                    if (m == n + 1) q += U[n * 4 + y];
                    if (m == L - 1 && n == L - 2) q += U[m * 4 + x];
                    Q[(n * L + m) * 16 + y * 4 + x] = q;
                }
    return Q;
}

// The filter of one strand over the forward pair tables Q, for windows that
// must reach `cut`; false when no window can.
bool build_filter(const std::vector<double>& Q, std::int64_t L, int sign, double cut, PairFilter& f) {
    struct Group {
        std::int32_t lo, hi;
        double v[16];
        double loss;
    };
    std::vector<Group> groups;
    for (std::int64_t n = 0; n < L; ++n)
        for (std::int64_t m = n + 1; m < L; ++m) {
            Group g;
            const double* q = &Q[(n * L + m) * 16];
            if (sign > 0) {
                g.lo = static_cast<std::int32_t>(n), g.hi = static_cast<std::int32_t>(m);
                for (int i = 0; i < 16; ++i) g.v[i] = q[i];
            } else {
                // reverse window position j reads the complement of forward offset L - 1 - j
                g.lo = static_cast<std::int32_t>(L - 1 - m), g.hi = static_cast<std::int32_t>(L - 1 - n);
                for (int u = 0; u < 4; ++u)
                    for (int v = 0; v < 4; ++v) g.v[u * 4 + v] = q[(v ^ 1) * 4 + (u ^ 1)];
            }
            double top = g.v[0], total = 0.0;
            for (double e : g.v) top = std::fmax(top, e), total += e;
            g.loss = top - total / 16.0;
            groups.push_back(g);
        }
    std::stable_sort(groups.begin(), groups.end(), [](const Group& a, const Group& b) { return a.loss > b.loss; });

    const std::size_t G = groups.size();
    double range = 0.0, big = 0.0;
    for (const Group& g : groups) {
        const auto [lo, hi] = std::minmax_element(g.v, g.v + 16);
        range = std::fmax(range, *hi - *lo);
        big += std::fmax(std::fabs(*lo), std::fabs(*hi));
    }
    // the doubles' own sum: G roundings, each within u of the sum so far
    f.cut = cut - 2.0 * static_cast<double>(G) * kU * big;
    // d >= range / 255, so every group's entries fit a byte, the largest
    // entries of all groups sum within 16 bits, and d is large enough that
    // every sum of units below is a whole double
    double ranges = 0.0;
    for (const Group& g : groups) {
        const auto [lo, hi] = std::minmax_element(g.v, g.v + 16);
        ranges += *hi - *lo;
    }
    int e = 0;
    std::frexp(std::fmax(std::fmax(range / 255.0, ranges / 65000.0), (big + std::fabs(cut)) * 0x1p-48), &e);
    const double d = std::ldexp(1.0, e);
    double need = std::ceil(cut / d);
    std::vector<double> top(G);
    for (std::size_t j = 0; j < G; ++j) {
        double base = INFINITY, most = -INFINITY;
        for (double v : groups[j].v) base = std::fmin(base, std::ceil(v / d)), most = std::fmax(most, std::ceil(v / d));
        need -= base;
        top[j] = most - base;
        for (double v : groups[j].v) f.tables.push_back(static_cast<std::uint8_t>(std::ceil(v / d) - base));
        for (double v : groups[j].v) f.exact.push_back(v);
        f.lo.push_back(groups[j].lo);
        f.hi.push_back(groups[j].hi);
    }
    double all = 0.0;
    for (double v : top) all += v;
    if (need > all) return false;
    // the head: every group, as long as their largest entries sum within 16 bits
    double held = 0.0;
    std::size_t H = 0;
    while (H < G && held + top[H] <= 65535.0) held += top[H++];
    f.head = H;
    f.limits.resize(H);
    double rest = all;  // the largest entries of the groups after the one just summed
    for (std::size_t j = 0; j < H; ++j) {
        rest -= top[j];
        f.limits[j] = static_cast<std::uint16_t>(std::clamp(need - rest, 0.0, 65535.0));
    }
    return true;
}

// Sets up both strands of a motif.
void prepare(DwmMotif& mo, Strands strands) {
    const std::int64_t L = mo.L;
    const Terms T{mo.tables};
    mo.side[0].sign = 1;
    mo.side[1].sign = -1;
    const double A = std::fmax(reach(T, kBg, L), reach(T, kBias, L));
    const double t = mo.threshold;
    if (!(A <= kTame) || L < 2 || !std::isfinite(t)) {
        // a tame model's windows all score finite: none reaches +inf
        if (A <= kTame && t == INFINITY) mo.reachable = false;
        return;
    }
    const double eps = 64.0 * kU * static_cast<double>((L + 2) * (L + 2)) * (A + 4.0);
    const std::vector<double> Q = pair_bound(T, L);
    mo.reachable = false;
    for (int r = 0; r < 2; ++r) {
        if (!(strands & (r == 0 ? kForward : kReverse))) continue;
        DwmSide& sd = mo.side[r];
        sd.prune = true;
        sd.none = !build_filter(Q, L, sd.sign, t - 4.0 * eps, sd.filter);
        mo.reachable = mo.reachable || !sd.none;
    }
}

// Per-scan scratch for one block of windows.
struct Work {
    std::vector<std::uint8_t> c2, c4;  // codes & 3 and (codes & 3) << 2, padded
    std::vector<std::int32_t> run;     // base codes in a row from each position
    bool clean = false;
    std::vector<std::int32_t> list;
    std::vector<std::uint8_t> window;  // a window as its strand reads it
    std::vector<Hit> hits;             // the block's, as found
};

void stage_block(const std::uint8_t* codes, std::int64_t n, std::int64_t b0, std::int64_t span, Work& w) {
    const std::int64_t len = span + kLanes;  // the head reads whole batches
    std::uint8_t top = 0;
    for (std::int64_t i = 0; i < len; ++i) {
        const std::uint8_t c = b0 + i < n ? codes[b0 + i] : 4;
        if (i < span) top = std::max(top, c);
        w.c2[i] = c & 3;
        w.c4[i] = static_cast<std::uint8_t>((c & 3) << 2);
        w.run[i] = c;  // the codes themselves until the runs are counted
    }
    w.clean = top <= 3;
    if (!w.clean) {
        std::int32_t r = 0;
        for (std::int64_t i = len; i-- > 0;) {
            r = w.run[i] > 3 ? 0 : r + 1;
            w.run[i] = r;
        }
    }
}

// Hits of one side of motif k in the block at b0.
void scan_side(const DwmMotif& mo, const DwmSide& sd, std::int32_t k, std::int64_t b0, std::int64_t B,
               const std::uint8_t* codes, const cpu::Table& lv, dwm::Scratch& scratch, Work& w) {
    const std::int64_t L = mo.L;
    std::int32_t* list = w.list.data();
    std::int64_t count = 0;
    const PairFilter& f = sd.filter;
    const std::uint8_t* c4 = w.c4.data();
    const std::uint8_t* c2 = w.c2.data();
    if (!sd.prune) {
        for (std::int32_t s = 0; s < B; ++s) list[count++] = s;
    } else if (sd.none) {
        return;
    } else {
        count = lv.dwm_head(f, c4, c2, B, list);
    }
    std::uint8_t* S = w.window.data();
    const std::uint8_t* c = codes + b0;
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int32_t s = list[i];
        if (!w.clean && w.run[s] < L) continue;
        if (sd.prune) {
            double b = 0.0;
            const std::size_t G = f.size();
            for (std::size_t g = 0; g < G; ++g) b += f.exact[g * 16 + (c4[s + f.lo[g]] | c2[s + f.hi[g]])];
            if (b < f.cut) continue;
        }
        if (sd.sign > 0) {
            for (std::int64_t j = 0; j < L; ++j) S[j] = c[s + j];
        } else {
            for (std::int64_t j = 0; j < L; ++j) S[j] = c[s + L - 1 - j] ^ 1;
        }
        const double score = lv.dwm_window(mo.tables, S, scratch.X);
        if (score >= mo.threshold) w.hits.push_back({b0 + s, k, sd.sign, score});
    }
}

}  // namespace

DwmScanner::DwmScanner(const std::vector<DwmModel>& models, const std::vector<double>& thresholds, Strands strands)
    : strands_(strands) {
    for (std::size_t k = 0; k < models.size(); ++k) {
        motifs_.push_back(std::make_unique<DwmMotif>(models[k], thresholds[k]));
        prepare(*motifs_.back(), strands);
        widths_.push_back(models[k].L);
        widest_ = std::max(widest_, models[k].L);
    }
}

DwmScanner::~DwmScanner() = default;

void DwmScanner::scan(const std::uint8_t* codes, std::int64_t n, std::int64_t limit, Records& out,
                      std::int64_t* tested) const {
    const std::int64_t end = std::min(limit, n);
    const std::int32_t K = static_cast<std::int32_t>(motifs_.size());
    if (K == 0 || end <= 0) return;
    const cpu::Table& lv = cpu::table();
    const int sides = (strands_ & kForward ? 1 : 0) + (strands_ & kReverse ? 1 : 0);
    const std::int64_t span = kBlock + widest_ - 1;
    const auto len = static_cast<std::size_t>(span + kLanes);
    Work w;
    w.c2.resize(len + widest_);
    w.c4.resize(len + widest_);
    w.run.resize(len);
    w.list.resize(static_cast<std::size_t>(kBlock));
    w.window.resize(static_cast<std::size_t>(widest_));
    dwm::Scratch scratch(widest_);
    for (std::int64_t b0 = 0; b0 < end; b0 += kBlock) {
        const std::int64_t B = std::min(kBlock, end - b0);
        stage_block(codes, n, b0, B + widest_ - 1, w);
        w.hits.clear();
        for (std::int32_t k = 0; k < K; ++k) {
            const DwmMotif& mo = *motifs_[k];
            std::int64_t t = 0;
            // windows that fit in codes and hold no N
            for (std::int64_t s = 0; s < B; ++s) t += b0 + s + mo.L <= n && (w.clean || w.run[s] >= mo.L);
            tested[k] += t * sides;
            if (!mo.reachable) continue;
            // windows past the end of codes: run[] reads the padding as N
            const std::int64_t Bk = std::min(B, n - mo.L + 1 - b0);
            if (Bk <= 0) continue;
            if (strands_ & kForward) scan_side(mo, mo.side[0], k, b0, Bk, codes, lv, scratch, w);
            if (strands_ & kReverse) scan_side(mo, mo.side[1], k, b0, Bk, codes, lv, scratch, w);
        }
        out.add_block(w.hits.data(), static_cast<std::int64_t>(w.hits.size()), b0, codes, n);
    }
}

// ------------------------------------------------------------ the heads

namespace {

// One window at a time, stopping where the window can no longer reach.
std::int64_t head_base(const PairFilter& f, const std::uint8_t* c4, const std::uint8_t* c2, std::int64_t B,
                       std::int32_t* list) {
    const std::size_t H = f.head;
    const std::uint8_t* T = f.tables.data();
    const std::int32_t* lo = f.lo.data();
    const std::int32_t* hi = f.hi.data();
    const std::uint16_t* limits = f.limits.data();
    std::int64_t count = 0;
    for (std::int32_t s = 0; s < B; ++s) {
        unsigned acc = 0;
        bool alive = true;
        for (std::size_t g = 0; g < H; ++g) {
            acc += T[16 * g + (c4[s + lo[g]] | c2[s + hi[g]])];
            if ((g + 1) % kCheck == 0 && acc < limits[g]) {
                alive = false;
                break;
            }
        }
        if (alive && H > 0 && acc < limits[H - 1]) alive = false;
        list[count] = s;
        count += alive;
    }
    return count;
}

MORVANE_AVX2 inline __m256i at_least16(__m256i acc, std::uint16_t limit) {
    const __m256i l = _mm256_set1_epi16(static_cast<short>(limit));
    return _mm256_cmpeq_epi16(_mm256_max_epu16(acc, l), acc);
}

// Sixteen windows per batch, one byte shuffle per group.
MORVANE_AVX2 std::int64_t head_avx2(const PairFilter& f, const std::uint8_t* c4, const std::uint8_t* c2, std::int64_t B,
                                    std::int32_t* list) {
    const std::size_t H = f.head;
    const std::uint8_t* T = f.tables.data();
    const std::int32_t* lo = f.lo.data();
    const std::int32_t* hi = f.hi.data();
    const std::uint16_t* limits = f.limits.data();
    std::int64_t count = 0;
    for (std::int32_t s = 0; s < B; s += kLanes) {
        __m256i acc = _mm256_setzero_si256();
        bool dead = false;
        for (std::size_t g = 0; g < H; ++g) {
            const __m128i idx = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c4 + s + lo[g])),
                                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(c2 + s + hi[g])));
            const __m128i v = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(T + 16 * g)), idx);
            acc = _mm256_add_epi16(acc, _mm256_cvtepu8_epi16(v));
            if ((g + 1) % kCheck == 0 && !_mm256_movemask_epi8(at_least16(acc, limits[g]))) {
                dead = true;
                break;
            }
        }
        if (dead) continue;
        std::uint32_t mask = H ? static_cast<std::uint32_t>(_mm256_movemask_epi8(at_least16(acc, limits[H - 1]))) : ~0u;
        if (B - s < kLanes) mask &= (std::uint32_t{1} << (2 * (B - s))) - 1;
        while (mask) {
            const int bit = __builtin_ctz(mask);
            list[count++] = s + bit / 2;
            mask &= ~(std::uint32_t{3} << bit);
        }
    }
    return count;
}

}  // namespace

}  // namespace morvane::kernels::scan

namespace morvane::kernels::cpu {

template <Level level>
std::int64_t dwm_head_at(const scan::PairFilter& f, const std::uint8_t* c4, const std::uint8_t* c2, std::int64_t B,
                         std::int32_t* list) {
    if constexpr (level == Level::Base)
        return scan::head_base(f, c4, c2, B, list);
    else
        return scan::head_avx2(f, c4, c2, B, list);
}

template std::int64_t dwm_head_at<Level::Base>(const scan::PairFilter&, const std::uint8_t*, const std::uint8_t*,
                                               std::int64_t, std::int32_t*);
template std::int64_t dwm_head_at<Level::Avx2>(const scan::PairFilter&, const std::uint8_t*, const std::uint8_t*,
                                               std::int64_t, std::int32_t*);

}  // namespace morvane::kernels::cpu
