// PWM counting and scoring.
//
// Scoring runs across windows: each SIMD lane is one window and adds its L
// terms from 0.0 in ascending m, so every lane performs exactly the additions
// of the one-window-at-a-time loop and the results are the same doubles. The
// matrix is read once per call into per-position SIMD rows; a lane also folds
// its codes together (AVX-512: unsigned maximum of the raw codes; AVX2: OR of
// staged indexes whose sign bit marks an N) and so knows at the end whether its
// window held a code >= 4, whose element is then NaN whatever was summed.
#include <immintrin.h>

#include <cmath>
#include <limits>
#include <vector>

#include "cpu.hpp"
#include "kernels.hpp"

namespace morvane::kernels {

void pwm_count(Strided<std::int64_t> seq, std::int32_t L, Grid2 counts, double amount) {
    for (std::int32_t m = 0; m < L; ++m) {
        const std::int64_t c = seq.load(m);
        counts.store(c, m, counts.load(c, m) + amount);
    }
}

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t kBlock = 2048;  // windows per staged block: buffer stays in L1
constexpr std::uint64_t kNBit = std::uint64_t{1} << 63;

std::int64_t first_negative(Strided<std::int64_t> seq, std::int64_t lo, std::int64_t hi) {
    for (std::int64_t i = lo; i < hi; ++i)
        if (seq.load(i) < 0) return i;
    return -1;
}

// Table index of one code for AVX2, which permutes dwords: the double c is the
// dword pair (2c, 2c+1).
inline std::uint64_t index256(std::int64_t c) {
    if (c > 3) return kNBit;
    const auto d = static_cast<std::uint64_t>(c) << 1;
    return d | ((d + 1) << 32);
}

// Fills idx[0..len) from seq[lo..lo+len) with the layout's indexes. Returns the
// position of the first negative code in that range, or -1.
template <std::uint64_t (*Index)(std::int64_t)>
std::int64_t stage_scalar(Strided<std::int64_t> seq, std::int64_t lo, std::int64_t len, std::uint64_t* idx) {
    std::uint64_t neg = 0;
    for (std::int64_t i = 0; i < len; ++i) {
        const std::int64_t c = seq.load(lo + i);
        neg |= static_cast<std::uint64_t>(c);
        idx[i] = Index(c);
    }
    return (neg & kNBit) ? first_negative(seq, lo, lo + len) : -1;
}

// ------------------------------------------------------------ AVX-512
// The unmasked intrinsics pass an "undefined" source that gcc 12 flags as
// uninitialised; full-mask forms are the same instructions.
MORVANE_AVX512 inline __m512d lookup512(__m512i i, __m512d t) {
    return _mm512_mask_permutexvar_pd(t, static_cast<__mmask8>(0xFF), i, t);
}
MORVANE_AVX512 inline __m512i maxu512(__m512i a, __m512i b) {
    return _mm512_mask_max_epu64(a, static_cast<__mmask8>(0xFF), a, b);
}

// Windows [0, count) with their codes at codes[0 .. count + L - 1); count is
// a multiple of 32. The raw codes serve as permute indexes (only their low
// three bits count); a lane's unsigned maximum code tells whether its window
// held an N, and a maximum with the sign bit set, a negative code. Returns the
// OR of all maxima.
//
// Without Track, T's lanes 4..7 hold NaN instead and every code is known to
// lie in 0..7: a window holding N then sums to that very NaN and no maxima
// are needed (the caller checked that no other sum can be NaN).
template <bool Track>
MORVANE_AVX512 std::uint64_t windows512(const char* codes, std::int64_t count, const double* T, std::int64_t L,
                                        double* out) {
    const __m512d nan = _mm512_set1_pd(kNaN);
    const __m512i three = _mm512_set1_epi64(3);
    __m512i seen = _mm512_setzero_si512();
    for (std::int64_t g = 0; g < count; g += 32) {
        __m512d a0 = _mm512_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
        __m512i x0 = _mm512_setzero_si512(), x1 = x0, x2 = x0, x3 = x0;
        const char* q = codes + g * 8;
        for (std::int64_t m = 0; m < L; ++m, q += 8) {
            const __m512d t = _mm512_load_pd(T + m * 8);
            const __m512i i0 = _mm512_loadu_si512(q);
            const __m512i i1 = _mm512_loadu_si512(q + 64);
            const __m512i i2 = _mm512_loadu_si512(q + 128);
            const __m512i i3 = _mm512_loadu_si512(q + 192);
            a0 = _mm512_add_pd(a0, lookup512(i0, t));
            a1 = _mm512_add_pd(a1, lookup512(i1, t));
            a2 = _mm512_add_pd(a2, lookup512(i2, t));
            a3 = _mm512_add_pd(a3, lookup512(i3, t));
            if (Track) {
                x0 = maxu512(x0, i0);
                x1 = maxu512(x1, i1);
                x2 = maxu512(x2, i2);
                x3 = maxu512(x3, i3);
            }
        }
        if (!Track) {
            _mm512_storeu_pd(out + g, a0);
            _mm512_storeu_pd(out + g + 8, a1);
            _mm512_storeu_pd(out + g + 16, a2);
            _mm512_storeu_pd(out + g + 24, a3);
            continue;
        }
        _mm512_storeu_pd(out + g, _mm512_mask_mov_pd(a0, _mm512_cmpgt_epu64_mask(x0, three), nan));
        _mm512_storeu_pd(out + g + 8, _mm512_mask_mov_pd(a1, _mm512_cmpgt_epu64_mask(x1, three), nan));
        _mm512_storeu_pd(out + g + 16, _mm512_mask_mov_pd(a2, _mm512_cmpgt_epu64_mask(x2, three), nan));
        _mm512_storeu_pd(out + g + 24, _mm512_mask_mov_pd(a3, _mm512_cmpgt_epu64_mask(x3, three), nan));
        seen = _mm512_or_si512(seen, _mm512_or_si512(_mm512_or_si512(x0, x1), _mm512_or_si512(x2, x3)));
    }
    alignas(64) std::uint64_t lanes[8];
    _mm512_store_si512(lanes, seen);
    std::uint64_t any = 0;
    for (std::uint64_t v : lanes) any |= v;
    return any;
}

// Contiguous codes are read in place; strided ones are first gathered into a
// block buffer. The last partial group of a block runs on a zero-padded copy.
// True when every code of codes[0, len) lies in 0..7.
MORVANE_AVX512 bool within7(const char* codes, std::int64_t len) {
    __m512i any = _mm512_setzero_si512();
    std::int64_t i = 0;
    for (; i + 8 <= len; i += 8) any = _mm512_or_si512(any, _mm512_loadu_si512(codes + i * 8));
    alignas(64) std::uint64_t lanes[8];
    _mm512_store_si512(lanes, any);
    std::uint64_t bits = 0;
    for (std::uint64_t v : lanes) bits |= v;
    for (; i < len; ++i) {
        std::uint64_t c;
        std::memcpy(&c, codes + i * 8, 8);
        bits |= c;
    }
    return (bits & ~std::uint64_t{7}) == 0;
}

// T has zeros in lanes 4..7; TN, when not null, the same rows with NaN there,
// usable on blocks whose codes all lie in 0..7.
std::int64_t score512(Strided<std::int64_t> seq, std::int64_t n, std::int64_t L, const double* T, const double* TN,
                      double* out) {
    constexpr std::int64_t Group = 32;
    const std::int64_t nw = n - L + 1;
    const bool direct = seq.step == 8;
    std::vector<std::int64_t> block(direct ? 0 : static_cast<std::size_t>(kBlock + L));
    std::vector<std::int64_t> pad(static_cast<std::size_t>(Group + L), 0);
    double tail[Group];
    for (std::int64_t s0 = 0; s0 < nw; s0 += kBlock) {
        const std::int64_t B = nw - s0 < kBlock ? nw - s0 : kBlock;
        const std::int64_t len = B + L - 1;
        const char* codes;
        if (direct) {
            codes = seq.base + s0 * 8;
        } else {
            for (std::int64_t i = 0; i < len; ++i) block[i] = seq.load(s0 + i);
            codes = reinterpret_cast<const char*>(block.data());
        }
        const std::int64_t full = B / Group * Group;
        const bool plain = TN && within7(codes, len);
        auto windows = plain ? windows512<false> : windows512<true>;
        std::uint64_t seen = windows(codes, full, plain ? TN : T, L, out);
        if (full < B) {
            std::memcpy(pad.data(), codes + full * 8, static_cast<std::size_t>(len - full) * 8);
            seen |= windows(reinterpret_cast<const char*>(pad.data()), Group, plain ? TN : T, L, tail);
            std::memcpy(out + full, tail, static_cast<std::size_t>(B - full) * sizeof(double));
        }
        if (seen & kNBit) return first_negative(seq, s0, s0 + len);
        out += B;
    }
    return -1;
}

// ------------------------------------------------------------ AVX2
MORVANE_AVX2 std::int64_t stage256(Strided<std::int64_t> seq, std::int64_t lo, std::int64_t len, std::uint64_t* idx) {
    if (seq.step != 8) return stage_scalar<index256>(seq, lo, len, idx);
    const char* p = seq.base + lo * 8;
    const __m256i three = _mm256_set1_epi64x(3);
    const __m256i nbit = _mm256_set1_epi64x(static_cast<long long>(kNBit));
    const __m256i hi1 = _mm256_set1_epi64x(std::int64_t{1} << 32);
    __m256i neg = _mm256_setzero_si256();
    std::int64_t i = 0;
    for (; i + 4 <= len; i += 4) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i * 8));
        neg = _mm256_or_si256(neg, c);
        const __m256i isn = _mm256_cmpgt_epi64(c, three);
        const __m256i d = _mm256_slli_epi64(_mm256_andnot_si256(isn, c), 1);  // 2c, or 0 for N
        __m256i v = _mm256_or_si256(d, _mm256_add_epi64(_mm256_slli_epi64(d, 32), hi1));
        v = _mm256_blendv_epi8(v, nbit, isn);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(idx + i), v);
    }
    std::uint64_t lanes[4];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), neg);
    std::uint64_t any = lanes[0] | lanes[1] | lanes[2] | lanes[3];
    for (; i < len; ++i) {
        std::int64_t c;
        std::memcpy(&c, p + i * 8, 8);
        any |= static_cast<std::uint64_t>(c);
        idx[i] = index256(c);
    }
    return (any & kNBit) ? first_negative(seq, lo, lo + len) : -1;
}

// Windows [0, count) of one block; count is a multiple of 16 (idx is padded).
MORVANE_AVX2 void windows256(const std::uint64_t* idx, std::int64_t count, const double* T, std::int64_t L,
                             double* out) {
    const __m256d nan = _mm256_set1_pd(kNaN);
    for (std::int64_t g = 0; g < count; g += 16) {
        __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
        __m256i n0 = _mm256_setzero_si256(), n1 = n0, n2 = n0, n3 = n0;
        const std::uint64_t* q = idx + g;
        for (std::int64_t m = 0; m < L; ++m, ++q) {
            const __m256i t = _mm256_load_si256(reinterpret_cast<const __m256i*>(T + m * 4));
            const __m256i i0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
            const __m256i i1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 4));
            const __m256i i2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 8));
            const __m256i i3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 12));
            a0 = _mm256_add_pd(a0, _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(t, i0)));
            a1 = _mm256_add_pd(a1, _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(t, i1)));
            a2 = _mm256_add_pd(a2, _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(t, i2)));
            a3 = _mm256_add_pd(a3, _mm256_castsi256_pd(_mm256_permutevar8x32_epi32(t, i3)));
            n0 = _mm256_or_si256(n0, i0);
            n1 = _mm256_or_si256(n1, i1);
            n2 = _mm256_or_si256(n2, i2);
            n3 = _mm256_or_si256(n3, i3);
        }
        _mm256_storeu_pd(out + g, _mm256_blendv_pd(a0, nan, _mm256_castsi256_pd(n0)));
        _mm256_storeu_pd(out + g + 4, _mm256_blendv_pd(a1, nan, _mm256_castsi256_pd(n1)));
        _mm256_storeu_pd(out + g + 8, _mm256_blendv_pd(a2, nan, _mm256_castsi256_pd(n2)));
        _mm256_storeu_pd(out + g + 12, _mm256_blendv_pd(a3, nan, _mm256_castsi256_pd(n3)));
    }
}

// ------------------------------------------------------------ baseline
// Codes staged as bytes (4 for N); T rows hold codes 0..3, so an N window skips
// the matrix by never being summed.
std::int64_t score_base(Strided<std::int64_t> seq, std::int64_t n, std::int64_t L, const double* T, double* out) {
    const std::int64_t nw = n - L + 1;
    std::vector<std::uint8_t> b(static_cast<std::size_t>(kBlock + L));
    for (std::int64_t s0 = 0; s0 < nw; s0 += kBlock) {
        const std::int64_t B = nw - s0 < kBlock ? nw - s0 : kBlock;
        const std::int64_t len = B + L - 1;
        std::uint64_t neg = 0;
        for (std::int64_t i = 0; i < len; ++i) {
            const std::int64_t c = seq.load(s0 + i);
            neg |= static_cast<std::uint64_t>(c);
            b[i] = static_cast<std::uint8_t>(c > 3 ? 4 : c);
        }
        if (neg & kNBit) return first_negative(seq, s0, s0 + len);
        // last: latest N position seen so far within the block (or -1).
        std::int64_t last = -1;
        for (std::int64_t j = 0; j < L - 1; ++j)
            if (b[j] == 4) last = j;
        for (std::int64_t s = 0; s < B; ++s) {
            if (b[s + L - 1] == 4) last = s + L - 1;
            if (last >= s) {
                out[s] = kNaN;
                continue;
            }
            const std::uint8_t* w = b.data() + s;
            double sum = 0.0;
            for (std::int64_t m = 0; m < L; ++m) sum += T[m * 4 + w[m]];
            out[s] = sum;
        }
        out += B;
    }
    return -1;
}

std::int64_t score256(Strided<std::int64_t> seq, std::int64_t n, std::int64_t L, const double* T, double* out) {
    constexpr std::int64_t Group = 16;
    const std::int64_t nw = n - L + 1;
    std::vector<std::uint64_t> idx(static_cast<std::size_t>(kBlock + Group + L));
    double tail[Group];
    for (std::int64_t s0 = 0; s0 < nw; s0 += kBlock) {
        const std::int64_t B = nw - s0 < kBlock ? nw - s0 : kBlock;
        const std::int64_t len = B + L - 1;
        const std::int64_t neg = stage256(seq, s0, len, idx.data());
        if (neg >= 0) return neg;
        const std::int64_t full = B / Group * Group;
        windows256(idx.data(), full, T, L, out);
        if (full < B) {
            // The last partial group also reads the buffer's spare tail (stale
            // or zero indexes); only its real windows are copied out.
            windows256(idx.data() + full, Group, T, L, tail);
            std::memcpy(out + full, tail, static_cast<std::size_t>(B - full) * sizeof(double));
        }
        out += B;
    }
    return -1;
}

}  // namespace

namespace cpu {

template <Level level>
std::int64_t pwm_score_at(Strided<std::int64_t> seq, Grid2 pssm, double* out) {
    const std::int64_t n = seq.size;
    const std::int64_t L = pssm.shape[1];
    const std::int64_t F = L / 2;
    if (L == 0 || n < L) {
        const std::int64_t neg = first_negative(seq, 0, n);
        if (neg >= 0) return neg;
        const double fill = L == 0 ? 0.0 : kNaN;
        for (std::int64_t i = 0; i < n; ++i) out[i] = fill;
        return -1;
    }
    const std::int64_t nw = n - L + 1;
    for (std::int64_t i = 0; i < F; ++i) out[i] = kNaN;
    for (std::int64_t i = nw + F; i < n; ++i) out[i] = kNaN;

    if constexpr (level == Level::Base) {
        std::vector<double> T(table_size({L, 4}));
        for (std::int64_t m = 0; m < L; ++m)
            for (int c = 0; c < 4; ++c) T[m * 4 + c] = pssm.load(c, m);
        return score_base(seq, n, L, T.data(), out + F);
    }
    // Per-position rows of the matrix, one SIMD register each, at the lane of
    // each code; the spare AVX-512 lanes (codes 4..7) only feed windows that
    // end up NaN.
    constexpr int width = level == Level::Avx512 ? 8 : 4;
    std::vector<double> rows(table_size({2, L, width}) + 8);
    double* T = rows.data();
    while (reinterpret_cast<std::uintptr_t>(T) % 64) ++T;
    for (std::int64_t m = 0; m < L; ++m)
        for (int c = 0; c < width; ++c) T[m * width + c] = c < 4 ? pssm.load(c, m) : 0.0;
    if constexpr (level == Level::Avx512) {
        // With finite entries whose largest per-position magnitudes sum to far
        // below overflow, no window of bases can sum to NaN, so N lanes may
        // carry NaN into their windows' sums directly.
        double bound = 0.0;
        for (std::int64_t m = 0; m < L; ++m) {
            double big = 0.0;
            for (int c = 0; c < 4; ++c) big = std::fmax(big, std::fabs(T[m * width + c]));
            bound += big;
        }
        if (!(bound < 1e300)) return score512(seq, n, L, T, nullptr, out + F);
        double* TN = T + L * width;
        for (std::int64_t m = 0; m < L; ++m)
            for (int c = 0; c < width; ++c) TN[m * width + c] = c < 4 ? T[m * width + c] : kNaN;
        return score512(seq, n, L, T, TN, out + F);
    }
    return score256(seq, n, L, T, out + F);
}

// The forms the dispatch table holds.
template std::int64_t pwm_score_at<Level::Base>(Strided<std::int64_t>, Grid2, double*);
template std::int64_t pwm_score_at<Level::Avx2>(Strided<std::int64_t>, Grid2, double*);
template std::int64_t pwm_score_at<Level::Avx512>(Strided<std::int64_t>, Grid2, double*);

}  // namespace cpu

}  // namespace morvane::kernels
