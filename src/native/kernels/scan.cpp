// Fused scanning: every motif, both strands, threshold applied inside.
#include "scan.hpp"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include "cpu.hpp"

namespace morvane::kernels::scan {

// ------------------------------------------------------------ prepared motifs
//
// A window is found in two steps. Filtering: the window's columns fall into
// groups of q = 2 or 3; a group's table, indexed by the q-mer of codes
// under it, holds those columns' sum as a small whole number of units (one
// byte, rounded up, less the group's least entry), so a table of 16 or 64
// entries fills a 128-bit lane or a 512-bit register and one byte shuffle
// or permute looks up a group for 64 windows at once. The units summed so
// far plus the largest entries of the groups still unseen bound the window's
// score from above, up to rounding; a window whose bound stays below the
// threshold by more than a safe margin for that rounding cannot reach it
// and is dropped. The first groups (the head) are looked up for whole
// batches of windows, the others only for the few windows the head leaves.
// Scoring: each survivor gets the ordered sum itself, in double, from 0.0,
// column by column. Filtering only decides which windows get scored, never
// what they score.

constexpr int kWidest = 3;  // bases per table, at most
constexpr int kFront = 16;  // bytes of letters before a block's first, read by a record's first window piece
constexpr int kBatch = 64;  // windows filtered together

struct Group {
    std::int64_t offset = 0;  // window offset of the q-mer that indexes the table
    double loss = 0.0;        // largest less the mean entry: what a typical window loses here
    std::vector<double> table;
};

// The filter over groups of q columns, groups in filtering order: a table
// of 4^q bytes each, the window offset of each group's q-mer, and limits: a
// window whose bytes summed with saturation stay below limits[j] after
// group j cannot reach the threshold.
struct Filter {
    int q = 2;
    std::vector<std::uint8_t> tables;
    std::vector<std::int32_t> offsets;
    std::vector<std::uint8_t> limits;
    std::size_t head = 0;  // groups looked up for whole batches; the rest only for their survivors
    std::size_t size() const { return std::size_t{1} << (2 * q); }
};

// One strand of one motif.
struct Side {
    std::int8_t sign = 1;
    std::int64_t L = 0;
    double threshold = 0.0;
    bool prune = false;        // false: every N-free window is scored in full
    std::vector<double> cols;  // cols[m*4 + c]: column m's value for the forward code c it reads
    Filter by[2];              // over groups of 2 and of 3 columns
    // Window offset of the code column m reads.
    std::int64_t offset(std::int64_t m) const { return sign > 0 ? m : L - 1 - m; }
};

struct Motif {
    Side side[2];           // forward, reverse
    bool reachable = true;  // false: no window of either strand can reach the threshold
};

namespace {

// Groups of q consecutive columns (fewer for the last one), most telling
// first; tables indexed by q-mers, first base most significant.
std::vector<Group> build_groups(const Side& sd, int q) {
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
        double top = 0.0, total = 0.0;
        for (std::int64_t x = 0; x < size; ++x) {
            double v = 0.0;
            for (std::int64_t m = a; m < b; ++m) {
                const std::int64_t digit = sd.offset(m) - st.offset;
                v += sd.cols[m * 4 + ((x >> (2 * (q - 1 - digit))) & 3)];
            }
            st.table[x] = v;
            top = x == 0 ? v : std::fmax(top, v);
            total += v;
        }
        st.loss = top - total / static_cast<double>(size);
        groups.push_back(std::move(st));
    }
    // The groups that lose most first, so that most windows leave early.
    std::stable_sort(groups.begin(), groups.end(), [](const Group& x, const Group& y) { return x.loss > y.loss; });
    return groups;
}

// How many groups the SIMD levels look up for every window, the rest being
// looked up one survivor at a time: the choice with the least work on
// uniformly random windows, where a group for a batch of windows costs one,
// a group for one window kOne, a survivor kKeep, and a mispredicted branch
// (a batch with survivors among batches without, or the reverse) kMiss.
// The share of windows alive after each group comes from the distribution
// of the saturated sum, group by group; a window below one limit is below
// every later one (a positive limit grows by the next group's largest
// entry), so its mass is dropped there.
std::size_t choose_head(const Filter& f) {
    constexpr double kOne = 2.0, kKeep = 6.0, kMiss = 40.0;
    const std::size_t G = f.limits.size(), size = f.size();
    std::array<double, 256> dist{}, next{};
    dist[0] = 1.0;
    std::size_t best = G;
    double best_cost = std::numeric_limits<double>::infinity();
    for (std::size_t g = 0; g < G; ++g) {
        std::array<int, 256> count{};  // of each entry in the group's table
        for (std::size_t x = 0; x < size; ++x) ++count[f.tables[size * g + x]];
        next.fill(0.0);
        for (int v = 0; v < 256; ++v) {
            if (dist[v] == 0.0) continue;
            const double w = dist[v] / static_cast<double>(size);
            for (int e = 0; e < 256; ++e)
                if (count[e]) next[std::min(255, v + e)] += w * count[e];
        }
        double a = 0.0;  // alive after this group
        for (int v = 0; v < 256; ++v) {
            if (v < f.limits[g]) next[v] = 0.0;
            a += next[v];
        }
        dist = next;
        const double h = static_cast<double>(g + 1);
        const double p = 1.0 - std::pow(1.0 - a, kBatch);  // a batch keeps some window
        const double cost = h + kBatch * a * (kOne * (static_cast<double>(G) - h) + kKeep) + kMiss * std::min(p, 1 - p);
        if (cost < best_cost) best = g + 1, best_cost = cost;
    }
    return best;
}

// The filter over groups of q columns for windows that must reach t, or
// false when whole numbers cannot serve (see prepare).
bool build_filter(const Side& sd, int q, double t, Filter& f) {
    const std::vector<Group> groups = build_groups(sd, q);
    double low = 0.0;  // the least bound any window can have
    for (const Group& g : groups) low += *std::min_element(g.table.begin(), g.table.end());
    if (!(t > low)) return false;  // every window would pass

    // The unit: about 1/255 of the way from low to t, doubled until the
    // final limit fits a byte.
    int e = 0;
    std::frexp((t - low) / 255.0, &e);
    for (double d = std::ldexp(1.0, e);; d *= 2.0) {
        // Small enough that sums of G + 1 of them stay exact.
        const double most = 0x1p52 / static_cast<double>(groups.size() + 1);
        // v / d is exact unless it falls below the normal range; a positive
        // one that rounds to zero still rounds up to 1.
        const auto whole = [d, most](double v, double& out) {
            out = v > 0.0 ? std::fmax(1.0, std::ceil(v / d)) : std::ceil(v / d);
            return std::fabs(out) < most;
        };
        double need = 0.0;
        if (!whole(t, need)) return false;
        std::vector<double> top(groups.size()), q_table;
        std::vector<std::uint8_t> tables;
        for (std::size_t j = 0; j < groups.size(); ++j) {
            q_table.resize(groups[j].table.size());
            for (std::size_t x = 0; x < q_table.size(); ++x)
                if (!whole(groups[j].table[x], q_table[x])) return false;
            const double base = *std::min_element(q_table.begin(), q_table.end());
            top[j] = *std::max_element(q_table.begin(), q_table.end()) - base;
            need -= base;
            for (double v : q_table) tables.push_back(static_cast<std::uint8_t>(std::min(255.0, v - base)));
        }
        if (need > 255.0) continue;
        if (need <= 0.0) return false;
        f.q = q;
        f.tables = std::move(tables);
        f.limits.resize(groups.size());
        double rest = 0.0;  // the largest entries of the groups after this one
        for (std::size_t j = groups.size(); j-- > 0;) {
            f.limits[j] = static_cast<std::uint8_t>(std::max(0.0, need - rest));
            rest += top[j];
        }
        break;
    }
    for (const Group& g : groups) f.offsets.push_back(static_cast<std::int32_t>(g.offset));
    f.head = choose_head(f);
    return true;
}

// Builds the side's filters from its columns.
//
// Pruning needs finite values: then every partial sum, table entry and
// threshold lies within scale = sum_abs + |threshold| of zero, and each of
// the at most 2L + 2 roundings between the ordered double sum and the
// threshold less the margin (the window's own sum, the groups' sums, that
// subtraction) moves a value by at most half a unit in the last place of
// scale, or by a subnormal step, far below the absolute floor added. The
// margin allows for four times that. Past it the chain is exact: with a unit
// d, a power of two, every table entry and the threshold divided by d and
// rounded up are whole numbers small enough to add exactly (else no
// pruning), and a window that reaches the threshold has group entries e_g
// with sum e_g >= t, so sum ceil(e_g/d) >= ceil(t/d). Each group then keeps
// ceil(e_g/d) less its least value, saturated to 255 (a window with a
// saturated entry passes anyway, as every limit is at most 255).
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
    if (!finite || !(scale < 1e300)) return;
    const double margin = static_cast<double>(4 * (2 * L + 2)) * 0x1p-53 * scale + 0x1p-1000;
    const double t = sd.threshold - margin;
    sd.prune = build_filter(sd, 2, t, sd.by[0]) && build_filter(sd, 3, t, sd.by[1]);
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
    // The q-mer starting at each position for q = 2 and 3 (those the level
    // reads), N read as some base.
    std::vector<std::uint8_t> mer[2];
    std::vector<std::int32_t> list;  // surviving window starts
    std::vector<std::uint8_t> part;  // each window's sum over the filter's head
    std::vector<Hit> hits;           // the block's, as found: hits[0..found)
    std::int64_t found = 0;
};

// Appends the windows base + bit of mask to list, in ascending order.
inline std::int64_t keep_bits(std::uint64_t mask, std::int32_t base, std::int32_t* list, std::int64_t count) {
    while (mask) {
        list[count++] = base + __builtin_ctzll(mask);
        mask &= mask - 1;
    }
    return count;
}

// The windows of a batch at s that lie before B.
inline std::uint64_t inside(std::int64_t s, std::int64_t B) {
    return B - s < kBatch ? (std::uint64_t{1} << (B - s)) - 1 : ~std::uint64_t{0};
}

// Calls of(H) for a head of H groups known at compile time (its tables then
// stay in registers), of(0) for any other.
template <class Of>
std::int64_t by_head(std::size_t head, Of of) {
    using H = std::size_t;
    switch (head) {
        case 1: return of(std::integral_constant<H, 1>{});
        case 2: return of(std::integral_constant<H, 2>{});
        case 3: return of(std::integral_constant<H, 3>{});
        case 4: return of(std::integral_constant<H, 4>{});
        case 5: return of(std::integral_constant<H, 5>{});
        case 6: return of(std::integral_constant<H, 6>{});
        case 7: return of(std::integral_constant<H, 7>{});
        case 8: return of(std::integral_constant<H, 8>{});
        default: return of(std::integral_constant<H, 0>{});
    }
}

// The first f.head groups of a filter for the windows before B, whose
// q-mers start at mer (the array is padded past B): those that pass go to
// list, their sums to part[window]; returns their number. Here one window
// at a time, without branches; exact sums pass where the SIMD forms'
// saturated ones do, as every limit is at most 255. H > 0: a head of H
// groups; 0: any head.
template <std::size_t H>
std::int64_t head_base_of(const Filter& f, const std::uint8_t* mer, std::int64_t B, std::int32_t* list,
                          std::uint8_t* part) {
    constexpr std::size_t R = H > 0 ? H : 1;
    const std::size_t h = H > 0 ? H : f.head;
    const std::size_t size = f.size();
    const std::uint8_t* T = f.tables.data();
    const std::int32_t* off = f.offsets.data();
    const std::uint8_t* x[R];  // the q-mers under each group, and each group's table
    const std::uint8_t* t[R];
    for (std::size_t g = 0; g < R; ++g) x[g] = mer + off[g], t[g] = T + size * g;
    const int limit = f.limits[h - 1];
    std::int64_t count = 0;
    for (std::int32_t s = 0; s < B; ++s) {
        int acc = 0;
        for (std::size_t g = 0; g < h; ++g) acc += H > 0 ? t[g][x[g][s]] : T[size * g + mer[s + off[g]]];
        part[s] = static_cast<std::uint8_t>(std::min(acc, 255));
        list[count] = s;
        count += acc >= limit;
    }
    return count;
}

// A 16-entry table in both lanes.
MORVANE_AVX2 inline __m256i table16(const std::uint8_t* T) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(T)));
}

// Table t looked up for the 32 windows whose indexes start at x.
MORVANE_AVX2 inline __m256i lookup32(__m256i t, const std::uint8_t* x) {
    return _mm256_shuffle_epi8(t, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x)));
}

MORVANE_AVX2 inline std::uint64_t at_least32(__m256i a, __m256i limit) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(a, limit), a)));
}

// The head on AVX2, groups of two columns (16-entry tables, one byte
// shuffle), in batches of 64 windows (two registers of 32). H as above.
template <std::size_t H>
MORVANE_AVX2 std::int64_t head_avx2_of(const Filter& f, const std::uint8_t* mer, std::int64_t B, std::int32_t* list,
                                       std::uint8_t* part) {
    constexpr std::size_t R = H > 0 ? H : 1;
    const std::size_t h = H > 0 ? H : f.head;
    const std::uint8_t* T = f.tables.data();
    const std::int32_t* off = f.offsets.data();
    __m256i held[R];
    const std::uint8_t* x[R];  // the q-mers under each group (kept apart from the stores below)
    for (std::size_t g = 0; g < R; ++g) held[g] = table16(T + 16 * g), x[g] = mer + off[g];
    const __m256i limit = _mm256_set1_epi8(static_cast<char>(f.limits[h - 1]));
    std::int64_t count = 0;
    for (std::int32_t s = 0; s < B; s += kBatch) {
        __m256i a0 = lookup32(held[0], x[0] + s);
        __m256i a1 = lookup32(held[0], x[0] + s + 32);
        for (std::size_t g = 1; g < h; ++g) {
            const __m256i t = H > 0 ? held[g] : table16(T + 16 * g);
            const std::uint8_t* xg = H > 0 ? x[g] : mer + off[g];
            a0 = _mm256_adds_epu8(a0, lookup32(t, xg + s));
            a1 = _mm256_adds_epu8(a1, lookup32(t, xg + s + 32));
        }
        const std::uint64_t mask = (at_least32(a0, limit) | at_least32(a1, limit) << 32) & inside(s, B);
        if (mask) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(part + s), a0);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(part + s + 32), a1);
            count = keep_bits(mask, s, list, count);
        }
    }
    return count;
}

// Table t of 64 entries looked up for the 64 windows whose indexes are x.
MORVANE_AVX512_VBMI inline __m512i permute64(__m512i t, __m512i x) {
    // The masked form: the plain one passes an "undefined" source gcc 12 flags.
    return _mm512_mask_permutexvar_epi8(t, ~__mmask64{0}, x, t);
}

// The head on AVX-512 with byte permutes (VBMI): groups of three columns,
// a 64-entry table in one register, 64 windows per permute. H as above.
template <std::size_t H>
MORVANE_AVX512_VBMI std::int64_t head_vbmi_of(const Filter& f, const std::uint8_t* mer, std::int64_t B,
                                              std::int32_t* list, std::uint8_t* part) {
    constexpr std::size_t R = H > 0 ? H : 1;
    const std::size_t h = H > 0 ? H : f.head;
    const std::uint8_t* T = f.tables.data();
    const std::int32_t* off = f.offsets.data();
    __m512i held[R];
    const std::uint8_t* x[R];  // the q-mers under each group (kept apart from the stores below)
    for (std::size_t g = 0; g < R; ++g) held[g] = _mm512_loadu_si512(T + 64 * g), x[g] = mer + off[g];
    const __m512i limit = _mm512_set1_epi8(static_cast<char>(f.limits[h - 1]));
    std::int64_t count = 0;
    for (std::int32_t s = 0; s < B; s += kBatch) {
        __m512i acc = permute64(held[0], _mm512_loadu_si512(x[0] + s));
        for (std::size_t g = 1; g < h; ++g) {
            const __m512i t = H > 0 ? held[g] : _mm512_loadu_si512(T + 64 * g);
            const std::uint8_t* xg = H > 0 ? x[g] : mer + off[g];
            acc = _mm512_adds_epu8(acc, permute64(t, _mm512_loadu_si512(xg + s)));
        }
        const std::uint64_t mask = _mm512_cmpge_epu8_mask(acc, limit) & inside(s, B);
        if (mask) {
            _mm512_storeu_si512(part + s, acc);
            count = keep_bits(mask, s, list, count);
        }
    }
    return count;
}

// The windows list[0..count) of one side that reach its threshold, as hits
// in out (room for count), in list order; returns their number. A window's
// score is the ordered sum from 0.0, as the module's scorer adds it; four
// windows go at once, so that four chains of dependent additions overlap.
template <int Sign>
std::int64_t score(const Side& sd, std::int32_t k, std::int64_t b0, const std::int32_t* list, std::int64_t count,
                   const std::uint8_t* c, Hit* out) {
    const std::int64_t L = sd.L;
    const double* cols = sd.cols.data();
    const double t = sd.threshold;
    // The code that column m reads in the window at s.
    const auto code = [c, L](std::int32_t s, std::int64_t m) { return c[Sign > 0 ? s + m : s + L - 1 - m]; };
    std::int64_t i = 0, got = 0;
    for (; i + 4 <= count; i += 4) {
        const std::int32_t s0 = list[i], s1 = list[i + 1], s2 = list[i + 2], s3 = list[i + 3];
        double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
        for (std::int64_t m = 0; m < L; ++m) {
            const double* col = cols + m * 4;
            a0 += col[code(s0, m)];
            a1 += col[code(s1, m)];
            a2 += col[code(s2, m)];
            a3 += col[code(s3, m)];
        }
        // Written whatever the outcome, kept only if a hit: no branch to mispredict.
        out[got] = {b0 + s0, k, static_cast<std::int8_t>(Sign), a0}, got += a0 >= t;
        out[got] = {b0 + s1, k, static_cast<std::int8_t>(Sign), a1}, got += a1 >= t;
        out[got] = {b0 + s2, k, static_cast<std::int8_t>(Sign), a2}, got += a2 >= t;
        out[got] = {b0 + s3, k, static_cast<std::int8_t>(Sign), a3}, got += a3 >= t;
    }
    for (; i < count; ++i) {
        const std::int32_t s = list[i];
        double a = 0.0;
        for (std::int64_t m = 0; m < L; ++m) a += cols[m * 4 + code(s, m)];
        out[got] = {b0 + s, k, static_cast<std::int8_t>(Sign), a}, got += a >= t;
    }
    return got;
}

// Hits of one side in the block at b0: filter, then score the survivors.
// The filter head is the level's; by is the filter it reads (0: groups of two
// columns, 1: of three).
void scan_side(const Side& sd, std::int32_t k, std::int64_t b0, std::int64_t B, cpu::ScanHead head, int by, Work& w) {
    const std::int64_t L = sd.L;
    std::int32_t* list = w.list.data();
    std::int64_t count = 0;
    if (!sd.prune) {
        for (std::int32_t s = 0; s < B; ++s) list[count++] = s;
    } else {
        const Filter& f = sd.by[by];
        const std::uint8_t* mer = w.mer[by].data();
        count = head(f, mer, B, list, w.part.data());
        // The groups after the head, for the few windows left.
        const std::uint8_t* T = f.tables.data();
        const std::int32_t* off = f.offsets.data();
        const std::size_t G = f.limits.size(), size = f.size();
        std::int64_t kept = 0;
        for (std::int64_t i = 0; i < count; ++i) {
            const std::int32_t s = list[i];
            int acc = w.part[s];
            for (std::size_t g = f.head; g < G; ++g) acc = std::min(255, acc + T[size * g + mer[s + off[g]]]);
            list[kept] = s;
            kept += acc >= f.limits[G - 1];
        }
        count = kept;
    }
    // Windows holding N are no hits.
    if (!w.clean) {
        std::int64_t kept = 0;
        for (std::int64_t i = 0; i < count; ++i) {
            list[kept] = list[i];
            kept += w.run[list[i]] >= L;
        }
        count = kept;
    }
    if (w.found + count > static_cast<std::int64_t>(w.hits.size()))
        w.hits.resize(static_cast<std::size_t>(std::max<std::int64_t>(w.found + count, 2 * w.found)));
    Hit* out = w.hits.data() + w.found;
    w.found +=
        sd.sign > 0 ? score<1>(sd, k, b0, list, count, w.codes, out) : score<-1>(sd, k, b0, list, count, w.codes, out);
}

constexpr std::int64_t kSlack = kBatch;  // positions past the span a batch may read

// Fills w for the block of windows at b0 whose windows touch span positions,
// with the q-mers of the groups the level reads.
void stage_block(const std::uint8_t* codes, std::int64_t n, std::int64_t b0, std::int64_t span, int by, Work& w) {
    const std::int64_t len = span + kSlack;       // positions that get q-mers
    const std::int64_t need = len + kWidest - 1;  // codes those q-mers read
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
    std::uint8_t* x = w.mer[by].data();
    static_assert(kWidest == 3, "the indexes below spell out two and three bases");
    if (by == 0) {
        for (std::int64_t i = 0; i < len; ++i) x[i] = static_cast<std::uint8_t>((c[i] & 3) << 2 | (c[i + 1] & 3));
    } else {
        for (std::int64_t i = 0; i < len; ++i)
            x[i] = static_cast<std::uint8_t>((c[i] & 3) << 4 | (c[i + 1] & 3) << 2 | (c[i + 2] & 3));
    }
}

}  // namespace

void Scanner::scan(const std::uint8_t* codes, std::int64_t n, std::int64_t limit, Records& out,
                   std::int64_t* tested) const {
    const std::int64_t end = std::min(limit, n);
    const std::int32_t K = static_cast<std::int32_t>(motifs_.size());
    if (K == 0 || end <= 0) return;
    const cpu::Table& lv = cpu::table();
    const cpu::ScanHead head = lv.scan_head;
    const int by = lv.scan_group - 2;
    const int sides = (strands_ & kForward ? 1 : 0) + (strands_ & kReverse ? 1 : 0);
    const std::int64_t span = kBlock + widest_ - 1;  // positions a block's windows touch
    const auto len = static_cast<std::size_t>(span + kSlack);
    Work w;
    w.pad.resize(len + kWidest);
    w.run.resize(len);
    w.mer[0].resize(len);
    w.mer[1].resize(len);
    w.list.resize(static_cast<std::size_t>(kBlock));
    w.part.resize(static_cast<std::size_t>(kBlock + kBatch));
    for (std::int64_t b0 = 0; b0 < end; b0 += kBlock) {
        const std::int64_t B = std::min(kBlock, end - b0);
        stage_block(codes, n, b0, B + widest_ - 1, by, w);
        w.found = 0;
        for (std::int32_t k = 0; k < K; ++k) {
            const Motif& mo = motifs_[k];
            const std::int32_t L = static_cast<std::int32_t>(mo.side[0].L);
            std::int64_t t = B;
            if (!w.clean) {
                t = 0;
                for (std::int64_t s = 0; s < B; ++s) t += w.run[s] >= L;
            }
            tested[k] += t * sides;
            if (!mo.reachable) continue;
            if (strands_ & kForward) scan_side(mo.side[0], k, b0, B, head, by, w);
            if (strands_ & kReverse) scan_side(mo.side[1], k, b0, B, head, by, w);
        }
        out.add_block(w.hits.data(), w.found, b0, codes, n);
    }
}

// Few windows, each scored in full: no filter pays for itself on a handful. The ordered sums
// are those of scan_side, so a best window's score is the double its hit would carry.
Scanner::Best Scanner::best(const std::uint8_t* codes, std::int64_t first, std::int64_t count,
                            std::int32_t motif) const {
    const Side& fw = motifs_[static_cast<std::size_t>(motif)].side[0];
    const Side& rv = motifs_[static_cast<std::size_t>(motif)].side[1];
    const std::int64_t L = fw.L;
    Best out{std::numeric_limits<double>::quiet_NaN(), -1, 0, 0};
    if (count <= 0) return out;  // first may then lie anywhere
    std::int64_t clean = 0;      // bases without N ending at the window's last one
    for (std::int64_t i = first; i < first + L - 1; ++i) clean = codes[i] > 3 ? 0 : clean + 1;
    for (std::int64_t s = first; s < first + count; ++s) {
        clean = codes[s + L - 1] > 3 ? 0 : clean + 1;
        if (clean < L) continue;
        const std::uint8_t* c = codes + s;
        double f = 0.0, r = 0.0;
        for (std::int64_t m = 0; m < L; ++m) {
            f += fw.cols[static_cast<std::size_t>(m * 4 + c[m])];
            r += rv.cols[static_cast<std::size_t>(m * 4 + c[L - 1 - m])];
        }
        out.windows += 2;
        // A NaN sum ranks below every number: held first, it would never give way.
        const auto above = [&out](double x) { return x > out.score || (std::isnan(out.score) && !std::isnan(x)); };
        if (out.strand == 0 || above(f)) out = {f, s, 1, out.windows};
        if (above(r)) out = {r, s, -1, out.windows};
    }
    return out;
}

namespace {

// The letters of sixteen codes (their low two bits) with SSE2: 'A' plus 19
// for T, 2 for C, 6 for G.
inline __m128i letters16(__m128i v) {
    v = _mm_and_si128(v, _mm_set1_epi8(3));
    const __m128i t = _mm_and_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(1)), _mm_set1_epi8(19));
    const __m128i c = _mm_and_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(2)), _mm_set1_epi8(2));
    const __m128i g = _mm_and_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(3)), _mm_set1_epi8(6));
    return _mm_add_epi8(_mm_set1_epi8('A'), _mm_or_si128(t, _mm_or_si128(c, g)));
}

// The sixteen bytes in reverse order (SSE2 has no byte shuffle).
inline __m128i reversed16(__m128i v) {
    v = _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3));
    v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1)), _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}

// codes[p .. p + 16) where they reach past either end of codes[0..n): those
// outside read as 0.
__attribute__((noinline)) __m128i codes16_at_edge(const std::uint8_t* codes, std::int64_t n, std::int64_t p) {
    alignas(16) std::uint8_t b[16] = {};
    for (std::int64_t i = std::max<std::int64_t>(p, 0); i < std::min(p + 16, n); ++i) b[i - p] = codes[i];
    return _mm_load_si128(reinterpret_cast<const __m128i*>(b));
}

inline __m128i codes16(const std::uint8_t* codes, std::int64_t n, std::int64_t p) {
    if (p >= 0 && p + 16 <= n) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + p));
    return codes16_at_edge(codes, n, p);
}

}  // namespace

Records::Records(const std::vector<std::int64_t>& widths, std::int64_t offset, Buffer start)
    : widths_(widths.data()), offset_(offset), buffer_(start), at_(static_cast<std::size_t>(kBlock + 1)) {
    for (std::int64_t L : widths) widest_ = std::max(widest_, L);
    size_ = record_bytes(widest_);
    capacity_ = std::max<std::int64_t>(0, (buffer_.bytes - 16) / size_);
    // Room for the windows a block's hits touch, and for whole pieces read
    // past them: before (kFront), and after.
    const auto room = static_cast<std::size_t>(kFront + kBlock + 2 * widest_ + 48);
    forward_.resize(room);
    reverse_.resize(room);
    // kFront + widest bytes of ones, then NUL for the longest piece read past a window.
    mask_.assign(static_cast<std::size_t>(kFront + 2 * widest_ + 48), '\0');
    std::fill(mask_.begin(), mask_.begin() + kFront + widest_, '\xff');
}

Records::~Records() { std::free(buffer_.data); }

// The buffer keeps 16 bytes past its last record for the spill of its window's last piece.
void Records::reserve(std::int64_t records) {
    if (records <= capacity_) return;
    const std::int64_t want = std::max({records, 2 * capacity_, std::int64_t{1024}});
    const std::int64_t bytes = want * size_ + 16;
    void* grown = std::realloc(buffer_.data, static_cast<std::size_t>(bytes));
    if (!grown) throw std::bad_alloc();
    buffer_.data = static_cast<char*>(grown);
    buffer_.bytes = bytes;
    capacity_ = want;
}

Buffer Records::release() { return std::exchange(buffer_, Buffer{}); }

// A stable counting sort on the start within the block, then each record in
// order: its window's pieces of sixteen bytes are stored whole, the last one
// spilling into the next record, which is written after it (past the last
// record, into the buffer's spare bytes).
void Records::add_block(const Hit* found, std::int64_t count, std::int64_t b0, const std::uint8_t* codes,
                        std::int64_t n) {
    if (count == 0) return;
    std::int32_t* at = at_.data();
    std::fill(at, at + kBlock + 1, 0);
    for (std::int64_t i = 0; i < count; ++i) ++at[found[i].start - b0 + 1];
    for (std::int64_t d = 0; d < kBlock; ++d) at[d + 1] += at[d];
    if (static_cast<std::int64_t>(sorted_.size()) < count) sorted_.resize(static_cast<std::size_t>(count));
    Hit* sorted = sorted_.data();
    for (std::int64_t i = 0; i < count; ++i) sorted[at[found[i].start - b0]++] = found[i];

    // The letters of the positions the block's windows touch, read forward and
    // as the reverse complement (reverse[i] complements position span - 1 - i).
    const std::int64_t span = std::min(n, b0 + kBlock + widest_ - 1) - b0;
    char* fw = forward_.data() + kFront;
    char* rv = reverse_.data() + kFront;
    for (std::int64_t i = 0; i < span; i += 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(fw + i), letters16(codes16(codes, n, b0 + i)));
        const __m128i back = reversed16(codes16(codes, n, b0 + span - 16 - i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(rv + i), letters16(_mm_xor_si128(back, _mm_set1_epi8(1))));
    }

    reserve(count_ + count);
    // A record as pieces of sixteen bytes: the fields in the first and the
    // start of the second, the window from there, read from the letters at
    // the offset each piece falls on. Bytes past the window are masked rather
    // than skipped: whether a piece holds any would be a branch as
    // unpredictable as the hits' widths.
    static_assert(record::kMotif == 0 && record::kStart == 4 && record::kStrand == 12 && record::kScore == 13 &&
                      record::kWindow == 21,
                  "the fields fill 16 bytes and 5 more, in this order");
    const std::int64_t pieces = (size_ + 15) / 16;
    const char* ones = mask_.data() + kFront + widest_;  // ones - L + j: keeps window bytes j.. of width L
    const __m128i past_fields = _mm_set_epi64x(-1, static_cast<long long>(~std::uint64_t{0} << 40));
    char* out = buffer_.data + count_ * size_;
    for (std::int64_t i = 0; i < count; ++i, out += size_) {
        const Hit& h = sorted[i];
        const auto start = static_cast<std::uint64_t>(h.start + offset_);
        std::uint64_t score;
        std::memcpy(&score, &h.score, sizeof score);
        const std::int64_t L = widths_[h.motif], s = h.start - b0;
        const char* letters = (h.strand > 0 ? fw + s : rv + (span - s - L)) - record::kWindow;
        const char* keep = ones - L - record::kWindow;
        const auto piece = [&](std::int64_t at) {
            return _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(letters + at)),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(keep + at)));
        };
        const std::uint64_t head[2] = {
            static_cast<std::uint32_t>(h.motif) | start << 32,
            start >> 32 | std::uint64_t{static_cast<std::uint8_t>(h.strand)} << 32 | (score & 0xffffff) << 40};
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                         _mm_set_epi64x(static_cast<long long>(head[1]), static_cast<long long>(head[0])));
        const __m128i tail = _mm_set_epi64x(0, static_cast<long long>(score >> 24));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16),
                         _mm_or_si128(tail, _mm_and_si128(piece(16), past_fields)));
        for (std::int64_t q = 2; q < pieces; ++q)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * q), piece(16 * q));
    }
    count_ += count;
    buffer_.written = std::max(buffer_.written, count_ * size_ + 16);
}

}  // namespace morvane::kernels::scan

namespace morvane::kernels::cpu {

template <Level level>
std::int64_t scan_head_at(const scan::Filter& f, const std::uint8_t* mer, std::int64_t B, std::int32_t* list,
                          std::uint8_t* part) {
    return scan::by_head(f.head, [&](auto H) {
        if constexpr (level == Level::Avx512Vbmi)
            return scan::head_vbmi_of<H()>(f, mer, B, list, part);
        else if constexpr (level == Level::Base)
            return scan::head_base_of<H()>(f, mer, B, list, part);
        else  // AVX-512 without byte permutes filters as AVX2 does
            return scan::head_avx2_of<H()>(f, mer, B, list, part);
    });
}

// The forms the dispatch table holds.
template std::int64_t scan_head_at<Level::Base>(const scan::Filter&, const std::uint8_t*, std::int64_t, std::int32_t*,
                                                std::uint8_t*);
template std::int64_t scan_head_at<Level::Avx2>(const scan::Filter&, const std::uint8_t*, std::int64_t, std::int32_t*,
                                                std::uint8_t*);
template std::int64_t scan_head_at<Level::Avx512>(const scan::Filter&, const std::uint8_t*, std::int64_t, std::int32_t*,
                                                  std::uint8_t*);
template std::int64_t scan_head_at<Level::Avx512Vbmi>(const scan::Filter&, const std::uint8_t*, std::int64_t,
                                                      std::int32_t*, std::uint8_t*);

}  // namespace morvane::kernels::cpu
