// pow(2.0, x) for eight (AVX-512) or four (AVX2 + FMA) doubles at once,
// bit-identical to the C library.
//
// DWM scoring spends most of its time in pow(2.0, x), and its results must be
// the C library's to the last bit. glibc's x86-64 pow (the variant it selects on
// any processor with AVX2 and FMA, so on every AVX-512 one) computes log(2) as a fixed
// double-double and then an exp kernel: a 128-entry table of 2^(k/128) and a
// degree-5 polynomial, evaluated with fused multiply-adds. For finite x whose
// exponent and product with log(2) stay in that kernel's main range this header
// repeats those operations lane by lane, fused where glibc fuses, so every lane
// performs the same IEEE operations; other lanes call pow itself. available()
// compares each width against the pow this process calls (glibc picks its
// variant when it is loaded) at first use, and the caller keeps calling pow
// unless it agrees on every probe.
#pragma once

#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "cpu.hpp"

namespace morvane::kernels::pow2 {

// Interleaved per k < 128: the relative tail of 2^(k/128), then the bits of
// 2^(k/128) rounded to double minus k << 45 (the exponent is added back).
extern const std::uint64_t kTable[256];

namespace c {
constexpr std::uint64_t kLog2Hi = 0x3fe62e42fefa39efull;     // log(2) as glibc's pow holds it: head
constexpr std::uint64_t kLog2Lo = 0x3c7abc9e3b398000ull;     // and tail
constexpr std::uint64_t kInvLn2N = 0x40671547652b82feull;    // 128 / ln 2
constexpr std::uint64_t kNegLn2HiN = 0xbf762e42fefa0000ull;  // -ln 2 / 128, head
constexpr std::uint64_t kNegLn2LoN = 0xbd0cf79abc9e3b3aull;  // and tail
constexpr std::uint64_t kShift = 0x4338000000000000ull;      // 0x1.8p52: rounds to integer
constexpr std::uint64_t kC2 = 0x3fdffffffffffdbdull;
constexpr std::uint64_t kC3 = 0x3fc555555555543cull;
constexpr std::uint64_t kC4 = 0x3fa55555cf172b91ull;
constexpr std::uint64_t kC5 = 0x3f81111167a4d017ull;
}  // namespace c

// True when the lanes of this level (eval8 for Avx512, eval4 for Avx2) run on
// this processor and reproduce this process's pow(2.0, x); checked once a level.
bool available(cpu::Level level);

// out[i] = pow(2.0, x[i]) for i < n, n a multiple of eight, by the lanes of a
// level this processor runs (Base: pow itself), whether or not they agree with
// pow: the probe and the tests run every input through this.
void apply(cpu::Level level, const double* x, double* out, std::size_t n);

MORVANE_AVX512 __attribute__((always_inline)) inline __m512d dbl(std::uint64_t bits) {
    return _mm512_castsi512_pd(_mm512_set1_epi64(static_cast<long long>(bits)));
}

// gcc 12 reports the "undefined" pass-through source of the plain shift and
// gather intrinsics as uninitialised; full-mask forms are the same instructions.
MORVANE_AVX512 __attribute__((always_inline)) inline __m512i srl(__m512i v, unsigned n) {
    return _mm512_mask_srli_epi64(v, static_cast<__mmask8>(0xFF), v, n);
}
MORVANE_AVX512 __attribute__((always_inline)) inline __m512i sll(__m512i v, unsigned n) {
    return _mm512_mask_slli_epi64(v, static_cast<__mmask8>(0xFF), v, n);
}

// pow(2.0, y[k]) for the eight lanes of y.
MORVANE_AVX512 __attribute__((always_inline)) inline __m512d eval8(__m512d y) {
    const __m512i mask11 = _mm512_set1_epi64(0x7ff);
    const __m512i yb = _mm512_castpd_si512(y);
    const __m512i ty = _mm512_and_si512(srl(yb, 52), mask11);
    __mmask8 ok = _mm512_cmple_epu64_mask(_mm512_sub_epi64(ty, _mm512_set1_epi64(0x3be)), _mm512_set1_epi64(0x7f));

    const __m512d hi = dbl(c::kLog2Hi);
    const __m512d ehi = _mm512_mul_pd(y, hi);
    const __m512d elo = _mm512_fmadd_pd(y, dbl(c::kLog2Lo), _mm512_fmsub_pd(hi, y, ehi));
    const __m512i te = _mm512_and_si512(srl(_mm512_castpd_si512(ehi), 52), mask11);
    ok &= _mm512_cmple_epu64_mask(_mm512_sub_epi64(te, _mm512_set1_epi64(0x3c9)), _mm512_set1_epi64(0x3e));

    const __m512d shift = dbl(c::kShift);
    const __m512d kds = _mm512_fmadd_pd(ehi, dbl(c::kInvLn2N), shift);
    const __m512i ki = _mm512_castpd_si512(kds);
    const __m512d kd = _mm512_sub_pd(kds, shift);
    __m512d r = _mm512_fmadd_pd(kd, dbl(c::kNegLn2HiN), ehi);
    r = _mm512_fmadd_pd(kd, dbl(c::kNegLn2LoN), r);
    r = _mm512_add_pd(elo, r);
    const __m512i idx = sll(_mm512_and_si512(ki, _mm512_set1_epi64(127)), 1);
    const __mmask8 all = 0xFF;
    const __m512d tail = _mm512_mask_i64gather_pd(y, all, idx, reinterpret_cast<const double*>(kTable), 8);
    const __m512i sbits = _mm512_add_epi64(
        _mm512_mask_i64gather_epi64(idx, all, idx, reinterpret_cast<const long long*>(kTable + 1), 8), sll(ki, 45));
    const __m512d p1 = _mm512_fmadd_pd(r, dbl(c::kC3), dbl(c::kC2));
    const __m512d t = _mm512_add_pd(r, tail);
    const __m512d r2 = _mm512_mul_pd(r, r);
    const __m512d p2 = _mm512_fmadd_pd(r, dbl(c::kC5), dbl(c::kC4));
    const __m512d u = _mm512_fmadd_pd(p1, r2, t);
    const __m512d r4 = _mm512_mul_pd(r2, r2);
    const __m512d tmp = _mm512_fmadd_pd(p2, r4, u);
    const __m512d scale = _mm512_castsi512_pd(sbits);
    __m512d out = _mm512_fmadd_pd(tmp, scale, scale);
    if (ok != 0xFF) {
        alignas(64) double ys[8], os[8];
        _mm512_store_pd(ys, y);
        _mm512_store_pd(os, out);
        for (int k = 0; k < 8; ++k)
            if (!((ok >> k) & 1)) os[k] = std::pow(2.0, ys[k]);
        out = _mm512_load_pd(os);
    }
    return out;
}

// The same operations four lanes at a time. AVX2 has no unsigned 64-bit
// compare, so the range tests flip the sign bit and compare signed.
MORVANE_AVX2_FMA __attribute__((always_inline)) inline __m256d dbl4(std::uint64_t bits) {
    return _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(bits)));
}

// All ones in the lanes where a <= b as unsigned 64-bit integers.
MORVANE_AVX2_FMA __attribute__((always_inline)) inline __m256i cmple_epu64(__m256i a, __m256i b) {
    const __m256i sign = _mm256_set1_epi64x(static_cast<long long>(0x8000000000000000ull));
    return _mm256_andnot_si256(_mm256_cmpgt_epi64(_mm256_xor_si256(a, sign), _mm256_xor_si256(b, sign)),
                               _mm256_set1_epi64x(-1));
}

// pow(2.0, y[k]) for the four lanes of y.
MORVANE_AVX2_FMA __attribute__((always_inline)) inline __m256d eval4(__m256d y) {
    const __m256i mask11 = _mm256_set1_epi64x(0x7ff);
    const __m256i yb = _mm256_castpd_si256(y);
    const __m256i ty = _mm256_and_si256(_mm256_srli_epi64(yb, 52), mask11);
    __m256i ok = cmple_epu64(_mm256_sub_epi64(ty, _mm256_set1_epi64x(0x3be)), _mm256_set1_epi64x(0x7f));

    const __m256d hi = dbl4(c::kLog2Hi);
    const __m256d ehi = _mm256_mul_pd(y, hi);
    const __m256d elo = _mm256_fmadd_pd(y, dbl4(c::kLog2Lo), _mm256_fmsub_pd(hi, y, ehi));
    const __m256i te = _mm256_and_si256(_mm256_srli_epi64(_mm256_castpd_si256(ehi), 52), mask11);
    ok = _mm256_and_si256(ok, cmple_epu64(_mm256_sub_epi64(te, _mm256_set1_epi64x(0x3c9)), _mm256_set1_epi64x(0x3e)));

    const __m256d shift = dbl4(c::kShift);
    const __m256d kds = _mm256_fmadd_pd(ehi, dbl4(c::kInvLn2N), shift);
    const __m256i ki = _mm256_castpd_si256(kds);
    const __m256d kd = _mm256_sub_pd(kds, shift);
    __m256d r = _mm256_fmadd_pd(kd, dbl4(c::kNegLn2HiN), ehi);
    r = _mm256_fmadd_pd(kd, dbl4(c::kNegLn2LoN), r);
    r = _mm256_add_pd(elo, r);
    const __m256i idx = _mm256_slli_epi64(_mm256_and_si256(ki, _mm256_set1_epi64x(127)), 1);
    const __m256d tail = _mm256_i64gather_pd(reinterpret_cast<const double*>(kTable), idx, 8);
    const __m256i sbits = _mm256_add_epi64(
        _mm256_i64gather_epi64(reinterpret_cast<const long long*>(kTable + 1), idx, 8), _mm256_slli_epi64(ki, 45));
    const __m256d p1 = _mm256_fmadd_pd(r, dbl4(c::kC3), dbl4(c::kC2));
    const __m256d t = _mm256_add_pd(r, tail);
    const __m256d r2 = _mm256_mul_pd(r, r);
    const __m256d p2 = _mm256_fmadd_pd(r, dbl4(c::kC5), dbl4(c::kC4));
    const __m256d u = _mm256_fmadd_pd(p1, r2, t);
    const __m256d r4 = _mm256_mul_pd(r2, r2);
    const __m256d tmp = _mm256_fmadd_pd(p2, r4, u);
    const __m256d scale = _mm256_castsi256_pd(sbits);
    __m256d out = _mm256_fmadd_pd(tmp, scale, scale);
    const int good = _mm256_movemask_pd(_mm256_castsi256_pd(ok));
    if (good != 0xF) {
        alignas(32) double ys[4], os[4];
        _mm256_store_pd(ys, y);
        _mm256_store_pd(os, out);
        for (int k = 0; k < 4; ++k)
            if (!((good >> k) & 1)) os[k] = std::pow(2.0, ys[k]);
        out = _mm256_load_pd(os);
    }
    return out;
}

}  // namespace morvane::kernels::pow2
