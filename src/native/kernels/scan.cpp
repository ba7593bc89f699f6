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

// Sixteen bytes at a time with SSE2 (every x86-64 has it): clearing bit 5
// folds exactly a/t/c/g onto A/T/C/G, whatever it does to other bytes.
void encode(const std::uint8_t* text, std::int64_t n, std::uint8_t* out) {
    const __m128i fold = _mm_set1_epi8(static_cast<char>(0xDF));
    const __m128i A = _mm_set1_epi8('A'), T = _mm_set1_epi8('T'), C = _mm_set1_epi8('C'), G = _mm_set1_epi8('G');
    const __m128i one = _mm_set1_epi8(1), two = _mm_set1_epi8(2), three = _mm_set1_epi8(3), four = _mm_set1_epi8(4);
    std::int64_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i u = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i)), fold);
        const __m128i a = _mm_cmpeq_epi8(u, A), t = _mm_cmpeq_epi8(u, T), c = _mm_cmpeq_epi8(u, C),
                      g = _mm_cmpeq_epi8(u, G);
        const __m128i base = _mm_or_si128(_mm_or_si128(a, t), _mm_or_si128(c, g));
        const __m128i code = _mm_or_si128(_mm_andnot_si128(base, four),
                                          _mm_or_si128(_mm_and_si128(t, one),
                                                       _mm_or_si128(_mm_and_si128(c, two), _mm_and_si128(g, three))));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), code);
    }
    for (; i < n; ++i) out[i] = kBytes.code[text[i]];
}
void encode(const std::uint16_t* text, std::int64_t n, std::uint8_t* out) { encode_wide(text, n, out); }
void encode(const std::uint32_t* text, std::int64_t n, std::uint8_t* out) { encode_wide(text, n, out); }

// ------------------------------------------------------------ prepared motifs
//
// A window is found in two steps. Filtering: the window's columns fall into
// groups of two; a group's table, indexed by the 2-mer of codes under it,
// holds those columns' sum as a float rounded up, so sixteen entries fill one
// SIMD register and a lookup is a permute, far cheaper than a gather. The
// groups seen so far plus the largest entry of each group still unseen bound
// the window's score from above, up to rounding; a window whose bound stays
// below the threshold by more than a safe margin for that rounding cannot
// reach it and is dropped. Scoring: each survivor gets the ordered sum
// itself, in double, from 0.0, column by column. Filtering only decides which
// windows get scored, never what they score; every level sums the same floats
// in the same order anyway, so every level keeps the same windows.

constexpr int kQ = 2;                  // bases per table
constexpr std::int64_t kBlock = 8192;  // windows per block of a chunk
constexpr int kBatch = 16;             // windows filtered together

struct Group {
    std::int64_t offset = 0;  // window offset of the k-mer that indexes the table
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
    // Groups in filtering order: a table of 16 floats each, the window
    // offset of each group's 2-mer, and limits: a float sum below limits[j]
    // after group j cannot reach the threshold.
    std::vector<float> tables;
    std::vector<std::int32_t> offsets;
    std::vector<float> limits;
    std::size_t check = 0;       // after this group a batch of windows may leave early (0: never)
    // Window offset of the code column m reads.
    std::int64_t offset(std::int64_t m) const { return sign > 0 ? m : L - 1 - m; }
};

struct Motif {
    Side side[2];  // forward, reverse
    bool reachable = true;  // false: no window of either strand can reach the threshold
};

namespace {

// Groups of kQ consecutive columns (fewer for the last one), most telling
// first; tables indexed by kQ-mers, first base most significant.
std::vector<Group> build_groups(const Side& sd) {
    constexpr int q = kQ;
    const std::int64_t L = sd.L;
    const std::int64_t size = std::int64_t{1} << (2 * q);
    const std::int64_t step = L < q ? L : q;
    std::vector<Group> groups;
    for (std::int64_t a = 0; a < L; a += step) {
        const std::int64_t b = std::min(a + step, L);
        Group st;
        // The q-mer under the group starts inside the window when it fits.
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
        groups.push_back(std::move(st));
    }
    // The groups that lose most first, so that most windows leave early.
    std::stable_sort(groups.begin(), groups.end(), [](const Group& x, const Group& y) { return x.loss > y.loss; });
    return groups;
}

// Where a batch of 16 windows should test whether any of them is still
// alive: the first group after which, on uniformly random windows (a fixed
// sample), a whole batch is gone nine times in ten. Testing earlier costs
// mispredicted branches, later costs lookups.
std::size_t choose_check(const Side& sd) {
    constexpr int kSamples = 4096;
    const std::size_t G = sd.limits.size();
    std::vector<int> alive(G, 0);
    std::uint64_t state = 0x2545F4914F6CDD1Du;
    for (int i = 0; i < kSamples; ++i) {
        float acc = 0.0f;
        for (std::size_t g = 0; g < G; ++g) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            acc += sd.tables[16 * g + ((state >> 33) & 15)];
            alive[g] += acc >= sd.limits[g];
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
// Pruning needs finite values of moderate size (floats hold them): then
// every partial sum, table entry and top lies within sum_abs of zero, and
// each of the at most 4L + 8 roundings between the ordered double sum and a
// float limit (the double sums, their rounding to floats, the float
// additions, the limit itself) moves a value by at most one float unit in
// the last place of sum_abs + |threshold|, or by a subnormal step, far below
// the absolute floor added. Twice that total is the margin.
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

    const std::vector<Group> groups = build_groups(sd);
    const double margin = rounds * 0x1p-24 * scale + 1e-30;
    sd.limits.resize(groups.size());
    double rest = 0.0;  // tops of the groups after this one
    for (std::size_t j = groups.size(); j-- > 0;) {
        sd.limits[j] = float_down(sd.threshold - rest - margin);
        rest += float_up(groups[j].top);
    }
    for (const Group& g : groups) {
        for (double v : g.table) sd.tables.push_back(float_up(v));
        sd.offsets.push_back(static_cast<std::int32_t>(g.offset));
    }
    sd.check = choose_check(sd);
}

// Whether some window may reach threshold. Rounded addition is monotone, so
// no window's ordered sum exceeds the ordered sum of the column maxima (both
// strands read the same columns), unless that sum meets +inf and -inf and is
// NaN; a window whose sum is NaN is never a hit. Maxima skip NaN entries:
// a window reading one scores NaN.
bool reachable(const Grid2& P, double threshold) {
    double best = 0.0;
    for (std::int64_t m = 0; m < P.shape[1]; ++m) {
        double top = P.load(0, m);
        for (int c = 1; c < 4; ++c) top = std::fmax(top, P.load(c, m));
        best += top;
    }
    return !(best < threshold);
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
        motifs_[k].reachable = reachable(P, thresholds[k]);
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
    std::vector<std::uint32_t> pair;      // the 2-mer starting at each position, N read as any base
    std::vector<std::int32_t> list;       // surviving window starts
    std::vector<Hit> hits;
};

// The filter, one window at a time, in the batches and order of the SIMD
// levels. Windows past B are masked off (the pair and run arrays are
// padded). Survivors go to list; returns their number.
template <bool CheckN>
std::int64_t pairs_base(const Side& sd, const std::uint32_t* pair, const std::int32_t* run, std::int64_t B,
                        std::int32_t* list) {
    const std::size_t G = sd.limits.size();
    const float* T = sd.tables.data();
    const std::int32_t* off = sd.offsets.data();
    const float* lim = sd.limits.data();
    const std::size_t check = sd.check;
    std::int64_t count = 0;
    float acc[kBatch];
    for (std::int32_t s = 0; s < B; s += kBatch) {
        for (int i = 0; i < kBatch; ++i) acc[i] = T[pair[s + i + off[0]] & 15];
        std::size_t g = 1;
        if (check) {
            bool any = false;
            for (; g <= check; ++g)
                for (int i = 0; i < kBatch; ++i) acc[i] += T[16 * g + (pair[s + i + off[g]] & 15)];
            for (int i = 0; i < kBatch; ++i) any |= acc[i] >= lim[check];
            if (!any) continue;
        }
        for (; g < G; ++g)
            for (int i = 0; i < kBatch; ++i) acc[i] += T[16 * g + (pair[s + i + off[g]] & 15)];
        for (int i = 0; i < kBatch && s + i < B; ++i) {
            list[count] = s + i;
            count += acc[i] >= lim[G - 1] && (!CheckN || run[s + i] >= sd.L);
        }
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
    const std::size_t G = sd.limits.size();
    const float* T = sd.tables.data();
    const std::int32_t* off = sd.offsets.data();
    const float* lim = sd.limits.data();
    const std::size_t check = sd.check;
    const __m256i L1 = _mm256_set1_epi32(static_cast<std::int32_t>(sd.L - 1));
    std::int64_t count = 0;
    for (std::int32_t s = 0; s < B; s += kBatch) {
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
        if (B - s < kBatch) mask &= (1u << (B - s)) - 1;
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
    const std::size_t G = sd.limits.size();
    const float* T = sd.tables.data();
    const std::int32_t* off = sd.offsets.data();
    const float* lim = sd.limits.data();
    const std::size_t check = sd.check;
    const __m512i L1 = _mm512_set1_epi32(static_cast<std::int32_t>(sd.L - 1));
    std::int64_t count = 0;
    for (std::int32_t s = 0; s < B; s += kBatch) {
        __m512 acc = lookup16(T, pair + s + off[0]);
        std::size_t g = 1;
        if (check) {
            for (; g <= check; ++g) acc = _mm512_add_ps(acc, lookup16(T + 16 * g, pair + s + off[g]));
            if (!_mm512_cmp_ps_mask(acc, _mm512_set1_ps(lim[check]), _CMP_GE_OQ)) continue;
        }
        for (; g < G; ++g) acc = _mm512_add_ps(acc, lookup16(T + 16 * g, pair + s + off[g]));
        unsigned mask = _mm512_cmp_ps_mask(acc, _mm512_set1_ps(lim[G - 1]), _CMP_GE_OQ);
        if (CheckN) mask &= _mm512_cmpgt_epi32_mask(_mm512_loadu_si512(run + s), L1);
        if (B - s < kBatch) mask &= (1u << (B - s)) - 1;
        count = keep_bits(mask, s, list, count);
    }
    return count;
}

using Filter = std::int64_t (*)(const Side&, const std::uint32_t*, const std::int32_t*, std::int64_t,
                                std::int32_t*);

// The filter of the level chosen for this process, [without, with] N checks.
struct Level {
    Filter filter[2];
};

Level level_of(cpu::Level l) {
    switch (l) {
        case cpu::Level::Avx512: return {{pairs_avx512<false>, pairs_avx512<true>}};
        case cpu::Level::Avx2: return {{pairs_avx2<false>, pairs_avx2<true>}};
        default: return {{pairs_base<false>, pairs_base<true>}};
    }
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
    } else {
        count = lv.filter[!w.clean](sd, w.pair.data(), w.run.data(), B, list);
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

constexpr std::int64_t kSlack = kBatch;  // positions past the span a batch may read

// Fills w for the block of windows at b0 whose windows touch span positions.
void stage_block(const std::uint8_t* codes, std::int64_t n, std::int64_t b0, std::int64_t span, Work& w) {
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
    std::uint32_t* x = w.pair.data();
    static_assert(kQ == 2, "the index below spells out two bases");
    for (std::int64_t i = 0; i < len; ++i) x[i] = static_cast<std::uint32_t>((c[i] & 3) << 2 | (c[i + 1] & 3));
}

}  // namespace

void Scanner::scan(const std::uint8_t* codes, std::int64_t n, std::int64_t limit, std::vector<Hit>& hits,
                   std::int64_t* tested) const {
    const std::int64_t end = std::min(limit, n);
    const std::int32_t K = static_cast<std::int32_t>(motifs_.size());
    if (K == 0 || end <= 0) return;
    const Level lv = level_of(cpu::table().level);
    const std::int64_t span = kBlock + widest_ - 1;  // positions a block's windows touch
    const auto len = static_cast<std::size_t>(span + kSlack);
    Work w;
    w.pad.resize(len + kQ);
    w.run.resize(len);
    w.pair.resize(len);
    w.list.resize(static_cast<std::size_t>(kBlock));
    for (std::int64_t b0 = 0; b0 < end; b0 += kBlock) {
        const std::int64_t B = std::min(kBlock, end - b0);
        stage_block(codes, n, b0, B + widest_ - 1, w);
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
            if (!mo.reachable) continue;
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
