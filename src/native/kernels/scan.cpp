// Fused scanning: every motif, both strands, threshold applied inside.
#include "scan.hpp"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "cpu.hpp"

namespace morvane::kernels::scan {

namespace {

struct ByteCodes {
    std::array<std::uint8_t, 256> code{};
    constexpr ByteCodes() {
        for (int c = 0; c < 256; ++c) code[c] = static_cast<std::uint8_t>(code_of(static_cast<std::uint32_t>(c)));
    }
};
constexpr ByteCodes kBytes{};

template <class Ch>
void encode_wide(const Ch* text, std::int64_t n, std::uint8_t* out) {
    for (std::int64_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(code_of(text[i]));
}

}  // namespace

void encode(const std::uint8_t* text, std::int64_t n, std::uint8_t* out) {
    for (std::int64_t i = 0; i < n; ++i) out[i] = kBytes.code[text[i]];
}
void encode(const std::uint16_t* text, std::int64_t n, std::uint8_t* out) { encode_wide(text, n, out); }
void encode(const std::uint32_t* text, std::int64_t n, std::uint8_t* out) { encode_wide(text, n, out); }

// ------------------------------------------------------------ prepared motifs
//
// A window is found in two steps. Filtering: the window's columns fall into
// groups of a few consecutive columns; a group's table, indexed by the k-mer
// of codes under it, holds those columns' sum. The groups seen so far plus
// the largest table entry of each group still unseen bound the window's score
// from above, up to rounding; a window whose bound stays below the threshold
// by more than a safe margin for that rounding cannot reach it and is dropped.
// Scoring: each survivor gets the ordered sum itself, from 0.0, column by
// column. Filtering only decides which windows get scored, never what they
// score, so every level and every grouping gives the same hits.
//
// Two groupings: six columns in double tables read by loads or gathers, and,
// for AVX-512, two columns in tables of sixteen floats that live in one
// register and are read by permutes, far cheaper than gathers.

constexpr int kQ = 6;  // bases per table lookup
constexpr std::int64_t kTable = std::int64_t{1} << (2 * kQ);
constexpr std::int64_t kBlock = 8192;  // windows per block of a chunk
constexpr std::size_t kMaxFused = 4;    // stages the first pass may sum
constexpr int kPairs = 2;               // bases per register table

struct Stage {
    std::int64_t first = 0;   // first column
    std::int64_t offset = 0;  // window offset of the k-mer that indexes the table
    double limit = 0.0;       // a running sum below this after the stage cannot reach the threshold
    double top = 0.0;         // largest table entry
    double loss = 0.0;        // top less the mean entry: what a typical window loses here
    std::vector<double> table;
};

// One strand of one motif.
struct Side {
    std::int8_t sign = 1;
    std::int64_t L = 0;
    double threshold = 0.0;
    bool prune = false;          // false: every N-free window is scored in full
    std::vector<double> cols;    // cols[m*4 + c]: column m's value for the forward code c it reads
    std::vector<Stage> stages;   // six-column stages in filtering order
    std::size_t fused = 1;       // stages summed by the first pass over every window
    // Two-column groups in filtering order: 16 floats each, rounded up, so
    // that they still bound the double sums; a float sum below limit after
    // group j cannot reach the threshold.
    std::vector<float> pairs;
    std::vector<std::int32_t> pair_offset;
    std::vector<float> pair_limit;
    std::size_t pair_check = 0;  // after this group a batch of windows may leave early (0: never)
    // Window offset of the code column m reads.
    std::int64_t offset(std::int64_t m) const { return sign > 0 ? m : L - 1 - m; }
};

struct Motif {
    Side side[2];  // forward, reverse
};

namespace {

// Stages of q consecutive columns (fewer for the last one), most telling
// first; tables indexed by q-mers, first base most significant.
std::vector<Stage> build_stages(const Side& sd, int q) {
    const std::int64_t L = sd.L;
    const std::int64_t size = std::int64_t{1} << (2 * q);
    const std::int64_t step = L < q ? L : q;
    std::vector<Stage> stages;
    for (std::int64_t a = 0; a < L; a += step) {
        const std::int64_t b = std::min(a + step, L);
        Stage st;
        st.first = a;
        // The q-mer under the stage starts inside the window when it fits.
        const std::int64_t lo = std::min(sd.offset(a), sd.offset(b - 1));
        st.offset = L >= q ? std::min(lo, L - q) : 0;
        st.table.resize(static_cast<std::size_t>(size));
        double total = 0.0;
        for (std::int64_t x = 0; x < size; ++x) {
            double v = 0.0;
            for (std::int64_t m = a; m < b; ++m) {
                const std::int64_t digit = sd.offset(m) - st.offset;
                v += sd.cols[m * 4 + ((x >> (2 * (q - 1 - digit))) & 3)];
            }
            st.table[x] = v;
            st.top = x == 0 ? v : std::fmax(st.top, v);
            total += v;
        }
        st.loss = st.top - total / static_cast<double>(size);
        stages.push_back(std::move(st));
    }
    // The stages that lose most first, so that most windows leave early.
    std::stable_sort(stages.begin(), stages.end(), [](const Stage& x, const Stage& y) { return x.loss > y.loss; });
    return stages;
}

// How many stages the first pass should sum: it costs one lookup per stage
// and window, a later stage about two per window still alive. Survival is
// estimated on uniformly random windows (a fixed sample).
std::size_t choose_fused(const Side& sd) {
    constexpr int kSamples = 2048;
    const std::size_t S = sd.stages.size();
    std::vector<int> alive(S, 0);
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    for (int i = 0; i < kSamples; ++i) {
        double acc = 0.0;
        for (std::size_t j = 0; j < S; ++j) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            acc += sd.stages[j].table[(state >> 33) % kTable];
            if (!(acc >= sd.stages[j].limit)) break;
            ++alive[j];
        }
    }
    std::size_t best = 1;
    double best_cost = 0.0;
    for (std::size_t F = 1; F <= std::min(S, kMaxFused); ++F) {
        double cost = static_cast<double>(F);
        for (std::size_t j = F; j < S; ++j) cost += 2.0 * alive[j - 1] / kSamples;
        if (F == 1 || cost < best_cost) best = F, best_cost = cost;
    }
    return best;
}

// Where a batch of 16 windows should test whether any of them is still
// alive: the first group after which, on uniformly random windows (a fixed
// sample), a whole batch is gone nine times in ten. Testing earlier costs
// mispredicted branches, later costs lookups.
std::size_t choose_check(const Side& sd) {
    constexpr int kSamples = 4096;
    const std::size_t G = sd.pair_limit.size();
    std::vector<int> alive(G, 0);
    std::uint64_t state = 0x2545F4914F6CDD1Du;
    for (int i = 0; i < kSamples; ++i) {
        float acc = 0.0f;
        for (std::size_t g = 0; g < G; ++g) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            acc += sd.pairs[16 * g + ((state >> 33) & 15)];
            alive[g] += acc >= sd.pair_limit[g];
        }
    }
    for (std::size_t g = 1; g + 1 < G; ++g)
        if (std::pow(1.0 - static_cast<double>(alive[g]) / kSamples, 16) >= 0.9) return g;
    return 0;
}

float float_up(double v) {
    float f = static_cast<float>(v);
    return static_cast<double>(f) < v ? std::nextafter(f, std::numeric_limits<float>::infinity()) : f;
}
float float_down(double v) {
    float f = static_cast<float>(v);
    return static_cast<double>(f) > v ? std::nextafter(f, -std::numeric_limits<float>::infinity()) : f;
}

// Builds the side's filters from its columns.
//
// Pruning needs finite values of moderate size: then every partial sum,
// table entry and top lies within sum_abs of zero, and each of the at most
// 4L + 8 roundings between the ordered sum and a limit moves a value by at
// most one unit in the last place of sum_abs + |threshold| (in double, or in
// float for the register tables), or by a subnormal step, far below the
// absolute floor added. Twice that total is the margin.
void prepare(Side& sd) {
    const std::int64_t L = sd.L;
    double sum_abs = 0.0;
    bool finite = std::isfinite(sd.threshold);
    for (std::int64_t m = 0; m < L; ++m) {
        double big = 0.0;
        for (int c = 0; c < 4; ++c) {
            const double v = sd.cols[m * 4 + c];
            finite = finite && std::isfinite(v);
            big = std::fmax(big, std::fabs(v));
        }
        sum_abs += big;
    }
    const double scale = sum_abs + std::fabs(sd.threshold);
    sd.prune = finite && scale < 1e30;
    if (!sd.prune) return;
    const double rounds = 2.0 * static_cast<double>(4 * L + 8);

    sd.stages = build_stages(sd, kQ);
    const double margin = rounds * 0x1p-53 * scale + 1e-300;
    double rest = 0.0;  // tops of the stages after this one
    for (std::size_t j = sd.stages.size(); j-- > 0;) {
        sd.stages[j].limit = sd.threshold - rest - margin;
        rest += sd.stages[j].top;
    }
    sd.fused = choose_fused(sd);

    const std::vector<Stage> groups = build_stages(sd, kPairs);
    const double margin_f = rounds * 0x1p-24 * scale + 1e-30;
    sd.pair_limit.resize(groups.size());
    rest = 0.0;
    for (std::size_t j = groups.size(); j-- > 0;) {
        sd.pair_limit[j] = float_down(sd.threshold - rest - margin_f);
        float top = float_up(groups[j].top);
        rest += top;
    }
    for (const Stage& g : groups) {
        for (double v : g.table) sd.pairs.push_back(float_up(v));
        sd.pair_offset.push_back(static_cast<std::int32_t>(g.offset));
    }
    sd.pair_check = choose_check(sd);
}

}  // namespace

Scanner::Scanner(const std::vector<Grid2>& matrices, const std::vector<double>& thresholds, Strands strands)
    : strands_(strands) {
    motifs_.resize(matrices.size());
    for (std::size_t k = 0; k < matrices.size(); ++k) {
        const Grid2& P = matrices[k];
        const std::int64_t L = P.shape[1];
        for (int r = 0; r < 2; ++r) {
            Side& sd = motifs_[k].side[r];
            sd.sign = r == 0 ? 1 : -1;
            sd.L = L;
            sd.threshold = thresholds[k];
            sd.cols.resize(static_cast<std::size_t>(L * 4));
            // The reverse strand reads the complement of the forward code.
            for (std::int64_t m = 0; m < L; ++m)
                for (int c = 0; c < 4; ++c) sd.cols[m * 4 + c] = P.load(r == 0 ? c : c ^ 1, m);
            if (strands & (r == 0 ? kForward : kReverse)) prepare(sd);
        }
        widths_.push_back(L);
        widest_ = std::max(widest_, L);
    }
}

Scanner::~Scanner() = default;

namespace {

// Per-scan scratch for one block of windows.
struct Work {
    std::vector<std::uint8_t> pad;        // the codes of a block that reaches the end, N past it
    const std::uint8_t* codes = nullptr;  // the block's codes (in place, or pad)
    bool clean = false;                   // no N among the positions the block's windows touch
    std::vector<std::int32_t> run;        // base codes in a row from each position (blocks with N)
    std::vector<std::uint16_t> kmer;      // the kQ-mer starting at each position, N read as any base
    std::vector<std::uint32_t> pair;      // the 2-mer starting at each position (AVX-512)
    std::vector<std::int32_t> list;       // surviving window starts
    std::vector<double> acc;              // their running sums
    std::vector<Hit> hits;
};

// The baseline's first pass: for every window s < B, the sum of the side's
// first `fused` stages, in stage order; the N-free windows whose sum reaches
// the last fused stage's limit go to list/acc. Returns their number.
struct Pass {
    const double* T[kMaxFused];
    const std::uint16_t* x[kMaxFused];
    std::size_t F;
    double limit;
    std::int32_t L;
};

template <bool CheckN>
std::int64_t first_pass(const Pass& p, const std::int32_t* run, std::int64_t B, std::int32_t* list, double* acc) {
    std::int64_t count = 0;
    for (std::int32_t s = 0; s < B; ++s) {
        double v = p.T[0][p.x[0][s]];
        for (std::size_t j = 1; j < p.F; ++j) v += p.T[j][p.x[j][s]];
        list[count] = s;
        acc[count] = v;
        count += CheckN ? (v >= p.limit) & (run[s] >= p.L) : v >= p.limit;
    }
    return count;
}

// Appends the windows base + bit of mask to list, in ascending order.
inline std::int64_t keep_bits(unsigned mask, std::int32_t base, std::int32_t* list, std::int64_t count) {
    while (mask) {
        list[count++] = base + __builtin_ctz(mask);
        mask &= mask - 1;
    }
    return count;
}

// T[x[i]] for 8 consecutive indexes (only their low four bits count): the
// two halves of the table are permuted and bit 3 picks between them.
__attribute__((target("avx2"))) inline __m256 lookup8(const float* T, const std::uint32_t* x) {
    const __m256i i = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x));
    const __m256 lo = _mm256_permutevar8x32_ps(_mm256_loadu_ps(T), i);
    const __m256 hi = _mm256_permutevar8x32_ps(_mm256_loadu_ps(T + 8), i);
    return _mm256_blendv_ps(lo, hi, _mm256_castsi256_ps(_mm256_slli_epi32(i, 28)));
}

__attribute__((target("avx2"))) inline unsigned at_least8(__m256 a, const float* limit) {
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, _mm256_broadcast_ss(limit), _CMP_GE_OQ)));
}

// The register-table filter on AVX2, in the same batches of 16 windows as
// on AVX-512 (two registers of 8).
template <bool CheckN>
__attribute__((target("avx2"))) std::int64_t pairs_avx2(const Side& sd, const std::uint32_t* pair,
                                                        const std::int32_t* run, std::int64_t B, std::int32_t* list) {
    const std::size_t G = sd.pair_limit.size();
    const float* T = sd.pairs.data();
    const std::int32_t* off = sd.pair_offset.data();
    const float* lim = sd.pair_limit.data();
    const std::size_t check = sd.pair_check;
    const __m256i L1 = _mm256_set1_epi32(static_cast<std::int32_t>(sd.L - 1));
    std::int64_t count = 0;
    for (std::int32_t s = 0; s < B; s += 16) {
        __m256 a0 = lookup8(T, pair + s + off[0]);
        __m256 a1 = lookup8(T, pair + s + 8 + off[0]);
        std::size_t g = 1;
        if (check) {
            for (; g <= check; ++g) {
                a0 = _mm256_add_ps(a0, lookup8(T + 16 * g, pair + s + off[g]));
                a1 = _mm256_add_ps(a1, lookup8(T + 16 * g, pair + s + 8 + off[g]));
            }
            if (!(at_least8(a0, lim + check) | at_least8(a1, lim + check))) continue;
        }
        for (; g < G; ++g) {
            a0 = _mm256_add_ps(a0, lookup8(T + 16 * g, pair + s + off[g]));
            a1 = _mm256_add_ps(a1, lookup8(T + 16 * g, pair + s + 8 + off[g]));
        }
        unsigned mask = at_least8(a0, lim + G - 1) | at_least8(a1, lim + G - 1) << 8;
        if (CheckN && mask) {
            const __m256i r0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(run + s));
            const __m256i r1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(run + s + 8));
            mask &= static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(r0, L1)))) |
                    static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(r1, L1)))) << 8;
        }
        if (B - s < 16) mask &= (1u << (B - s)) - 1;
        count = keep_bits(mask, s, list, count);
    }
    return count;
}

// T[x[i]] for 16 consecutive indexes (only their low four bits count).
__attribute__((target("avx512f"))) inline __m512 lookup16(const float* T, const std::uint32_t* x) {
    const __m512 t = _mm512_loadu_ps(T);
    // The full-mask form: the unmasked one passes an "undefined" source gcc 12 flags.
    return _mm512_mask_permutexvar_ps(t, static_cast<__mmask16>(0xFFFF), _mm512_loadu_si512(x), t);
}

// The register-table filter: for each 16 windows, the two-column groups'
// floats summed in filtering order; a batch leaves as soon as none of its
// windows can still reach the threshold. Windows past B are masked off (the
// pair and run arrays are padded). Survivors go to list.
template <bool CheckN>
__attribute__((target("avx512f"))) std::int64_t pairs_avx512(const Side& sd, const std::uint32_t* pair,
                                                            const std::int32_t* run, std::int64_t B,
                                                            std::int32_t* list) {
    const std::size_t G = sd.pair_limit.size();
    const float* T = sd.pairs.data();
    const std::int32_t* off = sd.pair_offset.data();
    const float* lim = sd.pair_limit.data();
    const std::size_t check = sd.pair_check;
    const __m512i L1 = _mm512_set1_epi32(static_cast<std::int32_t>(sd.L - 1));
    std::int64_t count = 0;
    for (std::int32_t s = 0; s < B; s += 16) {
        __m512 acc = lookup16(T, pair + s + off[0]);
        std::size_t g = 1;
        if (check) {
            for (; g <= check; ++g) acc = _mm512_add_ps(acc, lookup16(T + 16 * g, pair + s + off[g]));
            if (!_mm512_cmp_ps_mask(acc, _mm512_set1_ps(lim[check]), _CMP_GE_OQ)) continue;
        }
        for (; g < G; ++g) acc = _mm512_add_ps(acc, lookup16(T + 16 * g, pair + s + off[g]));
        unsigned mask = _mm512_cmp_ps_mask(acc, _mm512_set1_ps(lim[G - 1]), _CMP_GE_OQ);
        if (CheckN) mask &= _mm512_cmpgt_epi32_mask(_mm512_loadu_si512(run + s), L1);
        if (B - s < 16) mask &= (1u << (B - s)) - 1;
        count = keep_bits(mask, s, list, count);
    }
    return count;
}

using PairPass = std::int64_t (*)(const Side&, const std::uint32_t*, const std::int32_t*, std::int64_t,
                                  std::int32_t*);

// The register-table filter of the level chosen for this process, [without,
// with] N checks; null on the baseline, where the six-column stages filter.
struct Level {
    PairPass pairs[2];
};

Level level_of(cpu::Level l) {
    switch (l) {
        case cpu::Level::Avx512: return {{pairs_avx512<false>, pairs_avx512<true>}};
        case cpu::Level::Avx2: return {{pairs_avx2<false>, pairs_avx2<true>}};
        default: return {{nullptr, nullptr}};
    }
}

// Survivors of the six-column stages.
std::int64_t filter_stages(const Side& sd, std::int64_t B, Work& w) {
    const std::uint16_t* kmer = w.kmer.data();
    std::int32_t* list = w.list.data();
    double* acc = w.acc.data();
    Pass p;
    p.F = sd.fused;
    for (std::size_t j = 0; j < p.F; ++j) {
        p.T[j] = sd.stages[j].table.data();
        p.x[j] = kmer + sd.stages[j].offset;
    }
    p.limit = sd.stages[p.F - 1].limit;
    p.L = static_cast<std::int32_t>(sd.L);
    std::int64_t count = w.clean ? first_pass<false>(p, w.run.data(), B, list, acc)
                                 : first_pass<true>(p, w.run.data(), B, list, acc);
    for (std::size_t j = p.F; j < sd.stages.size() && count; ++j) {
        const Stage& sj = sd.stages[j];
        const double* Tj = sj.table.data();
        const std::uint16_t* xj = kmer + sj.offset;
        const double lj = sj.limit;
        std::int64_t kept = 0;
        for (std::int64_t i = 0; i < count; ++i) {
            const std::int32_t s = list[i];
            const double v = acc[i] + Tj[xj[s]];
            list[kept] = s;
            acc[kept] = v;
            kept += v >= lj;
        }
        count = kept;
    }
    return count;
}

// Hits of one side in the block at b0: filter, then score the survivors.
void scan_side(const Side& sd, std::int32_t k, std::int64_t b0, std::int64_t B, const Level& lv, Work& w) {
    const std::int64_t L = sd.L;
    std::int32_t* list = w.list.data();
    std::int64_t count = 0;
    if (!sd.prune) {
        for (std::int32_t s = 0; s < B; ++s) {
            list[count] = s;
            count += w.clean || w.run[s] >= L;
        }
    } else if (lv.pairs[0]) {
        count = lv.pairs[!w.clean](sd, w.pair.data(), w.run.data(), B, list);
    } else {
        count = filter_stages(sd, B, w);
    }
    // The ordered sum from 0.0, as the module's scorer adds it.
    const double* cols = sd.cols.data();
    const std::uint8_t* c = w.codes;
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int32_t s = list[i];
        double sum = 0.0;
        if (sd.sign > 0) {
            for (std::int64_t m = 0; m < L; ++m) sum += cols[m * 4 + c[s + m]];
        } else {
            for (std::int64_t m = 0; m < L; ++m) sum += cols[m * 4 + c[s + L - 1 - m]];
        }
        if (sum >= sd.threshold) w.hits.push_back({b0 + s, k, sd.sign, sum});
    }
}

constexpr std::int64_t kSlack = 16;  // positions past the span a 16-window batch may read

// Fills w for the block of windows at b0 whose windows touch span positions.
void stage_block(const std::uint8_t* codes, std::int64_t n, std::int64_t b0, std::int64_t span, bool pairs,
                 Work& w) {
    const std::int64_t len = span + kSlack;   // positions that get k-mers
    const std::int64_t need = len + kQ - 1;   // codes those k-mers read
    if (b0 + need <= n) {
        w.codes = codes + b0;
    } else {
        const std::int64_t have = n - b0;
        std::copy(codes + b0, codes + n, w.pad.begin());
        std::fill(w.pad.begin() + have, w.pad.begin() + need, std::uint8_t{4});
        w.codes = w.pad.data();
    }
    const std::uint8_t* c = w.codes;
    std::uint8_t top = 0;
    for (std::int64_t i = 0; i < span; ++i) top = std::max(top, c[i]);
    w.clean = top <= 3;
    if (!w.clean) {
        std::int32_t r = 0;
        for (std::int64_t i = len; i-- > 0;) {
            r = c[i] > 3 ? 0 : r + 1;
            w.run[i] = r;
        }
    }
    // One index per position serves every filter of every motif on both strands.
    if (pairs) {
        std::uint32_t* x = w.pair.data();
        for (std::int64_t i = 0; i < len; ++i) x[i] = static_cast<std::uint32_t>((c[i] & 3) << 2 | (c[i + 1] & 3));
        return;
    }
    std::uint16_t* x = w.kmer.data();
    static_assert(kQ == 6, "the k-mer below spells out six bases");
    for (std::int64_t i = 0; i < len; ++i)
        x[i] = static_cast<std::uint16_t>((c[i] & 3) << 10 | (c[i + 1] & 3) << 8 | (c[i + 2] & 3) << 6 |
                                          (c[i + 3] & 3) << 4 | (c[i + 4] & 3) << 2 | (c[i + 5] & 3));
}

}  // namespace

void Scanner::scan(const std::uint8_t* codes, std::int64_t n, std::int64_t limit, std::vector<Hit>& hits,
                   std::int64_t* tested) const {
    const std::int64_t end = std::min(limit, n);
    const std::int32_t K = static_cast<std::int32_t>(motifs_.size());
    if (K == 0 || end <= 0) return;
    const Level lv = level_of(cpu::level());
    const std::int64_t span = kBlock + widest_ - 1;  // positions a block's windows touch
    const auto len = static_cast<std::size_t>(span + kSlack);
    Work w;
    w.pad.resize(len + kQ);
    w.run.resize(len);
    (lv.pairs[0] ? w.pair.resize(len) : w.kmer.resize(len));
    w.list.resize(static_cast<std::size_t>(kBlock));
    w.acc.resize(static_cast<std::size_t>(kBlock));
    for (std::int64_t b0 = 0; b0 < end; b0 += kBlock) {
        const std::int64_t B = std::min(kBlock, end - b0);
        stage_block(codes, n, b0, B + widest_ - 1, lv.pairs[0] != nullptr, w);
        w.hits.clear();
        for (std::int32_t k = 0; k < K; ++k) {
            const Motif& mo = motifs_[k];
            const std::int32_t L = static_cast<std::int32_t>(mo.side[0].L);
            std::int64_t t = B;
            if (!w.clean) {
                t = 0;
                for (std::int64_t s = 0; s < B; ++s) t += w.run[s] >= L;
            }
            tested[k] += t;
            if (strands_ & kForward) scan_side(mo.side[0], k, b0, B, lv, w);
            if (strands_ & kReverse) scan_side(mo.side[1], k, b0, B, lv, w);
        }
        std::sort(w.hits.begin(), w.hits.end(), [](const Hit& a, const Hit& b) {
            if (a.start != b.start) return a.start < b.start;
            if (a.motif != b.motif) return a.motif < b.motif;
            return a.strand > b.strand;
        });
        hits.insert(hits.end(), w.hits.begin(), w.hits.end());
    }
}

}  // namespace morvane::kernels::scan
